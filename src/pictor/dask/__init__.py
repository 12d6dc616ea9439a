"""pictor's functions and the lumenops tools on Dask arrays: lazy, chunked,
and equal to the whole call.

    import dask.array as da
    from pictor import dask as pd

    x = da.from_zarr("scan.zarr")                       # or any dask/NumPy array
    b = pd.gaussian_blur(x, ksize=5)                      # pictor.gaussian_blur: checked, full depth
    y = pd.ImageSmoother().gaussian_blur(src=x, ksize=5)  # the tool method: 8-bit working copy
    z = pd.apply(x, "ImageEnhancer.auto_level", low_percent=0.02)

For every chunking of ``x``, ``b.compute()`` equals ``pictor.gaussian_blur(
x.compute(), ksize=5)`` and ``y.compute()`` equals
``lumenops.ImageSmoother().gaussian_blur(src=x.compute(), ksize=5)`` bit for
bit. ``pd.NAME`` checks its keywords and image as ``pictor.NAME`` does, before
any work; ``apply`` takes either name ("gaussian_blur" for the function,
"ImageSmoother.gaussian_blur" for the tool method). Each call runs one of
these routes, which the catalogue (pictor.chunks) assigns and
pictor.dask.routes makes graphs of (``route_of`` names it); a full-depth
function takes its tool method's route with its own steps, and "level table"
where the tool counts working levels:

- "pointwise": samples depend on their own level and the element type only;
  the method runs on each chunk as it is.
- "neighbourhood": the method runs on the input's own 2-D chunks (joined
  where they are narrower than a few halos) with a halo of rows and columns
  from the chunks around them, as ``map_overlap`` gives it
  (``boundary='none'``, so that OpenCV applies its own border at the true
  image edge; Dask's borders are not OpenCV's).
- "pyramid": the method on full-width row stripes with a halo of rows,
  stripes and halo aligned to 32 rows, so that each pyramid level of a stripe
  lies on the rows of the whole image's level. Full width, because OpenCV's
  float pyrDown rounds the last columns of a tile differently when its width
  differs from the image's modulo 8.
- "components": canny_edge. The cell states before hysteresis (weak and
  strong candidates) are local: each stripe's, from the stripe with a halo
  of 3 rows. Hysteresis keeps the 8-connected components of candidates that
  hold a strong one: the components touching each stripe's first or last row
  are joined across the seams (pictor.chunks.seams), then each stripe is
  traced from its strong cells and the kept cells at its ends. At full
  depth the whole image's level range (from its level counts) comes first.
- "labels": label. Each stripe of the mask is labelled on its own; the
  labels of its first and last rows are joined across the seams, then each
  stripe is labelled again and renumbered in the whole image's scan order.
  pd.label gives (labels, count), the count lazily (the largest label).
- "level counts", "level": threshold and threshold_level. The whole image's
  counts of its own levels (256 or 65,536), then the method's table of them
  mapped over the chunks, or its level (a dask.delayed float).
- "maximum", "order statistics", "working-level table", "float mean":
  a statistic of the whole image first (exact integer reductions: the maximum,
  the level counts, channel 0's for the local-histogram threshold;
  brightness_transfer's float mean as NumPy sums it: runs of 8192 consecutive
  samples summed pairwise, the runs' sums added in order), then each chunk
  with it; the threshold searches run in the worker's own ImageSegmenter.
- "level table" (full depth): the whole image's counts of its 65,536 levels,
  the method's table of them, then each chunk mapped through the table.
- "fuse": multi_scale_fuse_enhancement on stripes aligned as for "pyramid",
  twice: first for its two coarsest detail levels, whose whole-image mean (in
  NumPy's order) or maximum bounds their truncation, then with those bounds.
- "flip", "crop": the chunks rearranged or sliced, no arithmetic of our own.
- "one block": the whole image as one task. rotate, resize, make_data and
  super_resolution need window-aware kernels to tile exactly. Inputs other
  than non-empty 8/16-bit grey or 3-channel images, or keywords of unusual
  types, also run as one block, so they fail (or not) exactly as the whole
  call does.

With ``axes=`` (letters T Z C Y X S, as for the functions of pictor), a
stack is a set of planes: each Y x X (x S) plane takes its route above, and
the results are restacked with the input's axes; chunks along T, Z and C
select planes. ``pd.apply(x, "ImageSmoother.gaussian_blur", axes="ZYX")``
equals the method on each plane of ``x``.

Every result comes in the input's chunks (a route on row stripes has its
stripes cut again at the input's cuts), so that a store written from it
takes the input's chunking; the statistics are reductions of per-chunk
summaries (counts, maxima), except brightness_transfer's float mean, which
follows NumPy's order over the flat image.

Tasks carry only the method's name and keywords; each worker looks up its own
tool (``pictor._lookup``), so no tool or method object is shipped.

On a distributed cluster, the workers' allocator sets much of the pace. The
nanny starts each worker with a small ``MALLOC_TRIM_THRESHOLD_``, which also
fixes glibc's threshold for mapping an allocation of its own at 128 KiB: every
chunk-sized array (a chunk read, its framed copy, the method's result) is
then mapped afresh and faulted in page by page, which made the tasks of a
Gaussian on 1000 x 1000 chunks two to three times slower than in a threaded
process. Workers started with a larger mapping threshold do not pay it::

    dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 64 << 20})
    cluster = distributed.LocalCluster(...)   # or MALLOC_MMAP_THRESHOLD_ in a dask worker's environment
"""

from pictor.chunks import TOOL_ROUTES as _TOOL_ROUTES
from pictor.dask.functions import function_by_name, lazy_functions, plan_function
from pictor.dask.planes import planewise as _planewise, take_plane as _take_plane
from pictor.dask.routes import plan

# {"Class.method": (route name, result type)} of every tool method (pictor.chunks has their routes).
METHODS = {operation: (route.name, route.result) for operation, route in _TOOL_ROUTES.items()}

_lazy_functions = lazy_functions()
globals().update(_lazy_functions)

__all__ = ["apply", "apply_rereading", "route_of", "METHODS"] + [
    "UtilityTool", "ImageEnhancer", "ImageFusion", "ImageSmoother", "ImageSegmenter", "DeepLearning",
    "FeatureDetection", "GeometricTransformation",
] + sorted(_lazy_functions)


def _plan(method_name, src, keywords, reread=None):
    """A bare function name ("gaussian_blur") plans the checked function, as
    pictor.dask.NAME does; "Class.method" the tool method."""
    function = function_by_name(method_name)
    if function is None:
        return plan(method_name, src, keywords, reread)
    return plan_function(function, src, keywords, reread)


def apply_rereading(read, method_name, axes=None, **keywords):
    """apply(read(), method_name, **keywords), where a whole-image statistic is
    computed from a second read() of the source: for arrays larger than memory.

    read() must return the same dask array (values and chunks) each time.
    """
    source = read()
    axes = _plane_axes(method_name, source, axes)
    if axes is None:
        return _plan(method_name, source, keywords, reread=read)[1]
    return _planewise(source, axes, lambda plane, index: _plan(
        method_name, plane, keywords, reread=lambda: _take_plane(read(), axes, index))[1])


def _plane_axes(method_name, src, axes):
    """The checked axes letters of SRC, or None for one plane in the methods' layout."""
    from pictor import axes as named_axes

    if axes is None:
        return None  # as before: the method's own handling of any shape
    function = function_by_name(method_name.rpartition(".")[2])
    return named_axes.validated_axes(method_name, getattr(src, "shape", ()), axes,
                                     getattr(function, "grey_only", False))


def route_of(method_name, src, **keywords):
    """The route that apply() takes for this call (see the module documentation)."""
    return _plan(method_name, src, keywords)[0]


def apply(src, method_name, axes=None, **keywords):
    """The lazy result of lumenops.<Class>().<method>(src=src, **keywords) as a dask array.

    method_name is "Class.method", for example "ImageSmoother.gaussian_blur";
    src is a dask array or anything np.asarray accepts. A bare function name
    ("gaussian_blur") means pictor's checked function, as pictor.dask.NAME:
    its checks, and full depth for uint16 images by default. axes names the
    axes (e.g. "ZYX", "TCZYX"): then the call runs on each Y x X (x S) plane.
    """
    if axes is not None and not hasattr(src, "shape"):
        import numpy as np

        src = np.asarray(src)
    axes = _plane_axes(method_name, src, axes)
    if axes is None:
        return _plan(method_name, src, keywords)[1]
    return _planewise(src, axes, lambda plane, index: _plan(method_name, plane, keywords)[1])


def _method(method_name):
    class_name, _, name = method_name.partition(".")

    def method(self, *, src=None, axes=None, **keywords):
        return apply(src, method_name, axes=axes, **keywords)

    method.__name__ = name
    method.__qualname__ = method_name
    method.__doc__ = "Lazy, chunked {} (route: {}); keywords as in lumenops.".format(
        method_name, METHODS[method_name][0])
    return method


def _tool_class(class_name):
    namespace = {"__module__": __name__, "__doc__": "lumenops.{} on dask arrays.".format(class_name)}
    for method_name in METHODS:
        if method_name.startswith(class_name + "."):
            namespace[method_name.partition(".")[2]] = _method(method_name)
    return type(class_name, (), namespace)


UtilityTool = _tool_class("UtilityTool")  # no image methods: for a complete set of names
ImageEnhancer = _tool_class("ImageEnhancer")
ImageFusion = _tool_class("ImageFusion")
ImageSmoother = _tool_class("ImageSmoother")
ImageSegmenter = _tool_class("ImageSegmenter")
DeepLearning = _tool_class("DeepLearning")
FeatureDetection = _tool_class("FeatureDetection")
GeometricTransformation = _tool_class("GeometricTransformation")
