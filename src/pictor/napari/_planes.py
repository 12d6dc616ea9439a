"""Running one checked function on a napari layer's data: no Qt here.

napari holds N-D data with the image plane last (an RGB layer: plane and
channels last, in RGB order); the functions take one 2-D plane in OpenCV's
channel order. A call is checked on the first plane's shape before any work,
so a wrong keyword or image is reported at once, not after a long run.
"""

import numpy as np

from pictor.functions import check_image

# Binary masks (0 and the full-scale value) shown as labels, not as an image.
MASK_FAMILIES = ("ImageSegmenter", "FeatureDetection")
COLOUR_CHANNELS = 3


class LayerCall:
    """function(**keywords) on every plane of data; `rgb` as napari says."""

    def __init__(self, function, data, rgb, keywords):
        self.function, self.data, self.rgb, self.keywords = function, data, rgb, dict(keywords)
        self.plane_ndim = 3 if rgb else 2
        self.leading = tuple(data.shape[:data.ndim - self.plane_ndim])
        self.lazy = type(data).__module__.split(".")[0] == "dask"

    @property
    def planes(self):
        return int(np.prod(self.leading, dtype=np.int64))

    @property
    def axes(self):
        """The layer's axes by name, e.g. "ZYX" or "TZYXS": napari's leading
        dimensions are planes (T, C, Z in OME's order), an RGB layer's last is S."""
        return "TCZ"[3 - len(self.leading):] + ("YXS" if self.rgb else "YX")

    def check(self):
        """Raises the function's own TypeError/ValueError for a call that cannot run."""
        name = self.function.__name__
        for key, value in self.keywords.items():
            self.function.keywords[key].check(name, value)
        if self.rgb and self.data.shape[-1] != COLOUR_CHANNELS:
            raise ValueError("{}(): the layer has {} channels; accepted: RGB (3)".format(name, self.data.shape[-1]))
        if self.data.ndim < self.plane_ndim:
            raise ValueError("{}(): the layer has {} dimensions; accepted: 2 or more".format(name, self.data.ndim))
        # Shape and dtype only: a zero-strided stand-in costs no memory.
        plane = np.broadcast_to(np.zeros((), self.data.dtype), self.data.shape[len(self.leading):])
        check_image(name, plane, self.function.grey_only)
        if self.planes == 0:
            raise ValueError("{}(): the layer has no planes (shape {})".format(name, tuple(self.data.shape)))

    def is_mask(self, result_plane_ndim):
        return self.function.tool_method[0].__name__ in MASK_FAMILIES and result_plane_ndim == 2

    def run(self):
        """Yields after each plane computed; returns the whole result (a dask
        array, not computed, for a dask layer)."""
        if self.lazy:
            return self.lazy_result()
        # To be replaced by the functions' own axes= keyword (parallel planes) once it lands.
        results = []
        for index in np.ndindex(*self.leading):
            results.append(self.plane_result(self.data[index]))
            yield len(results)
        if not self.leading:
            return results[0]
        return np.stack(results).reshape(self.leading + results[0].shape)

    def plane_result(self, plane):
        plane = np.ascontiguousarray(plane[..., ::-1] if self.rgb else plane)  # RGB -> OpenCV's BGR
        result = self.function(plane, **self.keywords)
        return result[..., ::-1] if self.rgb and result.ndim == 3 else np.asarray(result)

    def lazy_result(self):
        import dask.array as da

        planes = [self.lazy_plane(self.data[index]) for index in np.ndindex(*self.leading)]
        if not self.leading:
            return planes[0]
        return da.stack(planes).reshape(self.leading + planes[0].shape)

    def lazy_plane(self, plane):
        from pictor import dask as pictor_dask

        cls, method = self.function.tool_method
        keywords = dict(self.keywords)
        full_depth = (self.function.full_depth and plane.dtype == np.uint16
                      and keywords.get("depth", "full") == "full")
        if self.rgb:
            plane = plane[..., ::-1]
        if hasattr(pictor_dask, method):  # the checked function on dask arrays, where there is one
            result = getattr(pictor_dask, method)(plane, **keywords)
        elif full_depth:
            # The whole plane as one block: exactly the function's array, computed when shown.
            result = plane.rechunk(plane.shape).map_blocks(self.function, dtype=np.uint16, **keywords)
        else:
            keywords.pop("depth", None)
            result = pictor_dask.apply(plane, "{}.{}".format(cls.__name__, method), **keywords)
        return result[..., ::-1] if self.rgb and result.ndim == 3 else result
