"""Running one checked function on a napari layer's data: no Qt here.

napari holds N-D data with the image plane last (an RGB layer: plane and
channels last, in RGB order); its leading dimensions are planes. The
functions take such a stack with its axes named (axes="ZYX", "TZYXS", ...),
in OpenCV's channel order. A call is checked before any work, so a wrong
keyword or image is reported at once, not after a long run.
"""

import numpy as np

from pictor.axes import validated_axes
from pictor.functions import check_image_layout, check_keywords

# Binary masks (0 and the full-scale value) shown as labels, not as an image.
MASK_FAMILIES = ("ImageSegmenter", "FeatureDetection")
# Names for napari's leading dimensions, outermost first (OME's T, C, Z).
LEADING_LETTERS = "TCZ"
# A long stack runs in about this many calls, each over its planes in
# parallel, so that the progress bar moves.
PROGRESS_STEPS = 20


class LayerCall:
    """function(**keywords) on every plane of data; `rgb` as napari says."""

    def __init__(self, function, data, rgb, keywords):
        self.function, self.data, self.rgb, self.keywords = function, data, rgb, dict(keywords)
        self.leading = tuple(data.shape[:max(0, data.ndim - (3 if rgb else 2))])
        self.lazy = type(data).__module__.split(".")[0] == "dask"

    @property
    def axes(self):
        """The layer's axes by name, e.g. "YX", "ZYX" or "TZYXS"."""
        return LEADING_LETTERS[len(LEADING_LETTERS) - len(self.leading):] + ("YXS" if self.rgb else "YX")

    @property
    def steps(self):
        return 1 if self.lazy or not self.leading else min(self.leading[0], PROGRESS_STEPS)

    def check(self):
        """Raises the function's own TypeError/ValueError for a call that cannot run."""
        name = self.function.__name__
        check_keywords(name, self.function.keywords, self.keywords)
        if len(self.leading) > len(LEADING_LETTERS):
            raise ValueError("{}(): the layer has {} dimensions; accepted: up to {} before the image plane".format(
                name, self.data.ndim, len(LEADING_LETTERS)))
        check_image_layout(name, self.data.dtype, self.data.shape[len(self.leading):], self.function.grey_only)
        validated_axes(name, self.data.shape, self.axes, self.function.grey_only)

    def is_mask(self, result_plane_ndim):
        return self.function.tool_method[0].__name__ in MASK_FAMILIES and result_plane_ndim == 2

    def run(self):
        """Yields after each part of the stack; returns the whole result (a
        dask array, not computed, for a dask layer)."""
        if self.lazy:
            from pictor import dask as pictor_dask

            return self.call(getattr(pictor_dask, self.function.__name__), self.data)
        if not self.leading:
            return self.call(self.function, np.asarray(self.data))
        parts = []
        for slab in np.array_split(np.arange(self.leading[0]), self.steps):
            parts.append(self.call(self.function, np.asarray(self.data[slab[0]:slab[-1] + 1])))
            yield len(parts)
        return np.concatenate(parts)

    def call(self, function, data):
        if self.rgb:  # napari's RGB, OpenCV's BGR
            data = data[..., ::-1]
        result = function(data, axes=self.axes, **self.keywords)
        return result[..., ::-1] if self.rgb and result.ndim == data.ndim else result
