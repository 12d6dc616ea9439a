"""Chains of checked functions, built once and applied to anything.

    pipe = pictor.pipeline("auto_level", ("gaussian_blur", {"ksize": 5}), "canny_edge")
    edges = pipe(img)                          # a NumPy image: step by step, or on stripes (stripe_rows=)
    lazy = pipe(x)                             # a dask array: lazy
    pipe.run_file("scan.tif", "edges.tif")     # out of core: TIFF, OME-TIFF or Zarr by suffix

Every step's name and keywords are checked when the pipeline is built. The
result equals calling the functions one after another, bit for bit.

Each step runs on full-width row stripes through pictor.dask's route for it
(halos from its keywords, stripes aligned for pyramids, a statistic of the
whole image gathered first where the step needs one). Steps are chained
lazily, so a stripe of one step is made from the previous step's stripes with
the halo rows it needs, and an intermediate stripe is dropped as soon as the
stripes after it are made. Out of core, a step that needs a whole-image
statistic gathers it from a streamed pass that reads the file again and
recomputes the steps before it, rather than storing their output.
"""

from collections.abc import Mapping
from pathlib import Path

import numpy as np

from pictor import functions as _functions

# Samples per row stripe of an in-memory image or a file read out of core.
STRIPE_SAMPLES = 1 << 22
# pictor.dask's routes that gather a statistic of the whole image before the
# pass that uses it: out of core, that first pass reads the file again.
WHOLE_IMAGE_STATISTICS = {"maximum", "order statistics", "working-level table", "float mean", "fuse"}


class Step:
    """One step: a checked function and the keywords given to it."""

    def __init__(self, name, function, keywords):
        self.name, self.function, self.keywords = name, function, keywords

    def __repr__(self):
        return "{}({})".format(self.name, ", ".join("{}={!r}".format(k, v) for k, v in self.keywords.items()))


def _available():
    import pictor

    return {name: getattr(pictor, name) for name in pictor.__all__}


def _checked_step(position, step, available):
    if isinstance(step, str):
        name, keywords = step, {}
    elif isinstance(step, tuple) and len(step) == 2 and isinstance(step[0], str) and isinstance(step[1], Mapping):
        name, keywords = step
    else:
        raise TypeError("pipeline(): step {} must be a function name or (name, {{keyword: value}}), got {!r}"
                        .format(position, step))
    where = "pipeline(): step {} ({}): ".format(position, name)
    function = available.get(name)
    if function is None:
        import difflib

        close = difflib.get_close_matches(name, list(available), n=1)
        raise ValueError("pipeline(): step {}: unknown operation {!r}{}".format(
            position, name, "; did you mean '{}'?".format(close[0]) if close else ""))
    try:
        for key, value in keywords.items():
            if key not in function.keywords:
                _functions.refuse_unknown_keyword(name, key, function.keywords)
            function.keywords[key].check(name, value)
    except (TypeError, ValueError) as error:
        raise type(error)(where + str(error)) from None
    return Step(name, function, dict(keywords))


def pipeline(*steps):
    """A chain of the package's functions: each step a name, or (name, {keyword: value})."""
    return Pipeline(steps)


class Pipeline:
    """The chain of steps of pipeline(); call it on an image or a dask array, or run_file()."""

    def __init__(self, steps):
        if not steps:
            raise ValueError("pipeline(): give at least one step")
        available = _available()
        self.steps = tuple(_checked_step(position, step, available) for position, step in enumerate(steps, 1))
        # What the command line's batch reads from a function.
        self.__name__ = " | ".join(step.name for step in self.steps)
        first = self.steps[0].function
        self.grey_only, self.eight_bit_copy = first.grey_only, first.eight_bit_copy

    def __repr__(self):
        return "pipeline({})".format(", ".join(repr(step) for step in self.steps))

    def __reduce__(self):
        return pipeline, tuple((step.name, step.keywords) for step in self.steps)

    def __call__(self, image, threads=None, stripe_rows=None):
        """The chain on a NumPy image (a new array) or a dask array (lazy).

        A NumPy image runs step by step, each intermediate dropped as soon as
        the next step has made its own: measured on a 24000 x 24000 image, that
        is several times faster than the stripes and holds less. With
        stripe_rows, it runs on stripes of that height instead, on `threads`
        threads (all cores by default).
        """
        if not isinstance(image, np.ndarray):
            import dask.array as da

            if isinstance(image, da.Array):
                return self.lazy(image)
        _functions.check_image(self.steps[0].name, image, self.steps[0].function.grey_only)
        if stripe_rows is None:
            for step in self.steps:
                image = step.function(image, **step.keywords)
            return image
        import dask.array as da

        x = da.from_array(image, chunks=(min(stripe_rows, image.shape[0]),) + image.shape[1:], asarray=False)
        return _computed(self.lazy(x), threads)

    def lazy(self, x, read_again=None):
        """The chain on the dask array x; read_again(), when given, returns x
        afresh, for steps that gather a whole-image statistic first."""
        for position in range(len(self.steps)):
            step = self.steps[position]
            _check_shape(step, x)
            again = None
            if read_again is not None and position > 0:
                def again(upto=position):
                    return Pipeline._prefix(self, upto).lazy(read_again(), read_again)
            elif read_again is not None:
                again = read_again
            x = _lazy_step(step, x, again)
        return x

    def _prefix(self, count):
        prefix = object.__new__(Pipeline)
        prefix.steps = self.steps[:count]
        return prefix

    def run_file(self, source, target, compression=None, tile=None, threads=None):
        """The chain from the image file `source` to `target`, out of core:
        (tiled) TIFF or OME-TIFF, or a .zarr store, by their suffixes.

        A TIFF result is written tile row by tile row as the stripes are
        computed, with the input's tile size and compression unless
        `compression` ("none", "zlib", "zstd", "lzw") or `tile` (a multiple of
        16) says otherwise. The result takes its name only when complete.
        """
        from pictor import _streamed_files

        return _streamed_files.run_file(self, Path(source), Path(target), compression, tile, threads)


def _computed(x, threads):
    import dask

    with dask.config.set(scheduler="threads", num_workers=threads):
        return x.compute()


def _check_shape(step, x):
    """The checks of the step's function on a one-pixel image of x's type and
    layout: a step that cannot take the previous step's result fails before any work."""
    shape = (1, 1) + tuple(x.shape[2:])
    _functions.check_image(step.name, np.empty(shape, x.dtype) if x.ndim >= 2 else np.empty(x.shape, x.dtype),
                           step.function.grey_only)


def _at_full_depth(step, dtype):
    return (step.function.full_depth and dtype == np.uint16
            and step.keywords.get(_functions.DEPTH, _functions.FULL_DEPTH) == _functions.FULL_DEPTH)


def _lazy_step(step, x, read_again):
    """One step on a dask array, through its chunked route."""
    import pictor.dask as pictor_dask

    cls, name = step.function.tool_method
    method_name = "{}.{}".format(cls.__name__, name)
    own = getattr(pictor_dask, step.name, None)
    if callable(own) and not isinstance(own, type):  # the package's own lazy function of this step
        return own(x, **step.keywords)
    keywords = {k: v for k, v in step.keywords.items() if k != _functions.DEPTH}
    if not _at_full_depth(step, x.dtype):  # the function returns the tool method's array
        if read_again is not None and pictor_dask.METHODS[method_name][0] in WHOLE_IMAGE_STATISTICS:
            return pictor_dask.apply_rereading(read_again, method_name, **keywords)
        return pictor_dask.apply(x, method_name, **keywords)
    return _full_depth_stripes(step, method_name, x)


def _call_function(block, step_name, keywords):
    import pictor

    return getattr(pictor, step_name)(block, **keywords)


def _full_depth_stripes(step, method_name, x):
    """A full-depth step on row stripes with the halo of the tool method's
    route (the same kernel sizes); a step without one runs as one block."""
    import dask
    import dask.array as da

    from pictor.dask import routes

    merged = dict(routes._defaults(method_name), **step.keywords)
    halo_of = routes.HALOS.get(method_name)
    halo = None
    if halo_of is not None and routes.METHODS[method_name][0] == "neighbourhood":
        try:
            halo = halo_of(merged)
        except routes._OneBlock:
            halo = None
    if halo is None or not routes._is_plain_image(x):
        whole = x.rechunk(-1)
        value = dask.delayed(_call_function, pure=True)(whole, step.name, step.keywords)
        return da.from_delayed(value, shape=x.shape, dtype=np.uint16, meta=np.empty((0,) * x.ndim, np.uint16))
    if x.ndim == 3:
        x = x.rechunk({2: -1})
    stripes = routes._stripes(x, halo)
    if stripes is None:
        stripes = x.rechunk({0: -1, 1: -1})
    meta = np.empty((0,) * x.ndim, np.uint16)
    if halo == 0 or stripes.numblocks[0] == 1:
        return stripes.map_blocks(_call_function, step.name, step.keywords, dtype=np.uint16, meta=meta)
    return _with_halos(stripes, halo, step, meta)


def _stripe_with_halo(above, block, below, halo, step_name, keywords):
    """The function on a stripe with `halo` rows of its neighbours (fewer at the
    image's edges, where OpenCV applies its own border), trimmed back to the stripe."""
    parts = ([above[-halo:]] if above is not None else []) + [block] + ([below[:halo]] if below is not None else [])
    result = _call_function(np.concatenate(parts) if len(parts) > 1 else block, step_name, keywords)
    top = halo if above is not None else 0
    return result[top:top + block.shape[0]]


def _with_halos(stripes, halo, step, meta):
    """One task per stripe taking its two neighbours whole: unlike
    map_overlap's separate slicing tasks, this lets the scheduler drop a
    stripe as soon as the stripes around it are done."""
    import dask
    import dask.array as da

    blocks = stripes.to_delayed().ravel()
    last = len(blocks) - 1
    pieces = []
    for index, (block, height) in enumerate(zip(blocks, stripes.chunks[0])):
        above = blocks[index - 1] if index > 0 else None
        below = blocks[index + 1] if index < last else None
        value = dask.delayed(_stripe_with_halo, pure=True)(above, block, below, halo, step.name, step.keywords)
        pieces.append(da.from_delayed(value, shape=(height,) + stripes.shape[1:], dtype=np.uint16, meta=meta))
    return da.concatenate(pieces)
