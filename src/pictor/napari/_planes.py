"""Running one checked function on a napari layer's data: no Qt here.

napari holds N-D data with the image plane last (an RGB layer: plane and
channels last, in RGB order); its leading dimensions are planes. The
functions take such a stack with its axes named (axes="ZYX", "TZYXS", ...),
in OpenCV's channel order. A call is checked before any work, so a wrong
keyword or image is reported at once, not after a long run.

Three samples are a colour pixel only when the layer says so: an RGB layer of
8-bit samples, or one whose metadata says {"rgb": True}. napari guesses RGB
for any (..., Y, X, 3) data; 16-bit data of that shape is almost always three
fluorescence channels, each processed as a grey plane.

The volume filters (pictor.gaussian_filter, ...) filter across the planes of
Z too: they run on the whole stack at once, and a Gaussian without a spacing
of its own takes the layer's scale along the filtered axes as its spacing
(sigma then in the layer's units).
"""

import math

import numpy as np

from pictor._lookup import image_of
from pictor.axes import validated_axes
from pictor.functions import check_keywords
from pictor.napari._operations import MASK_TASKS, task_of
from pictor.volumes import FILTERED_LETTERS, volume_functions

# Names for napari's leading dimensions, outermost first (OME's T, C, Z).
LEADING_LETTERS = "TCZ"
# A stack runs in at least this many parts (as it has planes), each over its
# planes in parallel, so that the progress bar moves.
PROGRESS_STEPS = 20
# ... and in parts of at most this many samples, so that Cancel stops it soon.
PART_SAMPLES = 1 << 21
IMAGE, MASK, LABELS = "image", "mask", "labels"
IMAGE_DTYPES = (np.uint8, np.uint16)
# The keyword of a filter's voxel size along each filtered axis.
SPACING = "spacing"


def is_colour(layer):
    """Whether the layer's last axis is the 3 samples of a colour pixel."""
    if not layer.rgb:
        return False
    return layer.dtype == np.uint8 or bool(layer.metadata.get("rgb", False))


def plane_letters(rgb_layout, colour):
    """The letters of the image plane at the end of the data: napari's RGB
    axis is S for colour, else a C axis of channels."""
    if not rgb_layout:
        return "YX"
    return "YXS" if colour else "YXC"


def full_resolution(layer):
    """The data the operation runs on: a multiscale layer's first level, as a
    dask array unless it is in memory already."""
    if not layer.multiscale:
        return layer.data
    data = layer.data[0]
    if isinstance(data, np.ndarray) or type(data).__module__.split(".")[0] == "dask":
        return data
    import dask.array as da

    return da.from_array(data, chunks=getattr(data, "chunks", "auto"))


class LayerCall:
    """function(**keywords) on every plane of data, whose last axes are
    `plane` ("YX", "YXS" or "YXC")."""

    def __init__(self, function, data, plane, keywords):
        self.function, self.data, self.plane, self.keywords = function, data, plane, dict(keywords)
        self.leading = tuple(data.shape[:max(0, data.ndim - len(plane))])
        self.lazy = type(data).__module__.split(".")[0] == "dask"

    @classmethod
    def of_layer(cls, function, layer, keywords):
        call = cls(function, full_resolution(layer), plane_letters(layer.rgb, is_colour(layer)), keywords)
        if SPACING in function.keywords and call.keywords.get(SPACING) is None:
            call.keywords[SPACING] = call.filtered_scale(layer.scale)
        return call

    @property
    def volume(self):
        """Whether the function filters across planes (a volume filter)."""
        return self.function.__name__ in volume_functions()

    @property
    def whole(self):
        """Whether the function takes the whole stack in one call: a volume
        filter, or a statistic of each plane (threshold_level's levels)."""
        return self.volume or not self.function.gives_image

    def filtered_scale(self, scale):
        """The layer's scale (one value per axis before an RGB axis) along the axes a volume filter filters."""
        return tuple(float(scale[position]) for position, letter in enumerate(self.axes)
                     if letter in FILTERED_LETTERS)

    @property
    def colour(self):
        return "S" in self.plane

    @property
    def leading_letters(self):
        return "".join(letter for letter in LEADING_LETTERS if letter not in self.plane)

    @property
    def axes(self):
        """The layer's axes by name, e.g. "YX", "ZYX", "TZYXS" or "ZYXC"."""
        letters = self.leading_letters
        return letters[len(letters) - len(self.leading):] + self.plane

    @property
    def steps(self):
        """How many parts the run yields after (1 for a lazy run: nothing is computed)."""
        if self.lazy or not self.leading or self.whole:
            return 1
        planes = math.prod(self.leading)
        return min(planes, max(PROGRESS_STEPS, -(-math.prod(self.data.shape) // PART_SAMPLES)))

    def check(self):
        """Raises the function's own TypeError/ValueError for a call that cannot run."""
        name = self.function.__name__
        check_keywords(name, self.function.keywords, self.keywords)
        if len(self.leading) > len(self.leading_letters):
            raise ValueError("{}(): the layer has {} dimensions; accepted: up to {} before the image plane".format(
                name, self.data.ndim, len(self.leading_letters)))
        plane_shape = self.data.shape[len(self.leading):len(self.leading) + (3 if self.colour else 2)]
        self.function.check_layout(self.data.dtype, plane_shape)
        validated_axes(name, self.data.shape, self.axes, self.function.grey_only)

    def result_kind(self, result):
        """IMAGE, MASK (a binary grey result) or LABELS (numbered regions: an
        integer result that is not an image's uint8/uint16, or booleans)."""
        dtype = np.dtype(result.dtype)
        if dtype == bool or (dtype.kind in "iu" and dtype not in IMAGE_DTYPES):
            return LABELS
        grey = result.ndim == len(self.leading) + 2
        return MASK if grey and task_of(self.function) in MASK_TASKS else IMAGE

    def run(self):
        """Yields (parts done, parts) after each part of the stack; returns the
        whole result (a dask array, not computed, for a dask layer)."""
        if self.lazy:
            import dask

            from pictor import dask as pictor_dask

            result = self.call(getattr(pictor_dask, self.function.__name__), self.data, self.axes)
            return result if self.function.gives_image else np.asarray(dask.compute(result)[0])
        data = np.asarray(self.data)
        if not self.leading or self.whole:
            result = self.call(self.function, data, self.axes)
            yield 1, 1
            return result
        planes = data.reshape((-1,) + data.shape[len(self.leading):])
        bounds = np.linspace(0, len(planes), self.steps + 1).astype(int)
        result = None
        for part, (start, end) in enumerate(zip(bounds, bounds[1:]), 1):
            done = self.call(self.function, planes[start:end], "Z" + self.plane)
            if result is None:
                result = np.empty((len(planes),) + done.shape[1:], done.dtype)
            result[start:end] = done
            yield part, self.steps
        return result.reshape(self.leading + result.shape[1:])

    def call(self, function, data, axes):
        if self.colour:  # napari's RGB, OpenCV's BGR
            data = data[..., ::-1]
        result = image_of(function(data, axes=axes, **self.keywords))  # label's labels, without their count
        if not self.function.gives_image:
            return np.asarray(result)
        return result[..., ::-1] if self.colour and result.ndim == data.ndim else result
