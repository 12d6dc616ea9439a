"""Chains of checked functions, built once and applied to anything.

    pipe = pictor.pipeline("auto_level", ("gaussian_blur", {"ksize": 5}), "canny_edge")
    edges = pipe(img)                          # a NumPy image, stripe by stripe
    lazy = pipe(x)                             # a dask array: lazy
    pipe.run_file("scan.tif", "edges.tif")     # out of core: TIFF, OME-TIFF or Zarr by suffix
    stack = pipe(zstack, axes="ZYX")           # N-D data: the chain on each Y x X plane

Every step's name and keywords are checked when the pipeline is built. The
result equals calling the functions one after another, bit for bit.

On a NumPy image or a file, the chain becomes a plan of stripe steps
(pictor.stream): each step's block of rows is made from the previous step's
rows around it (the halo its keywords need), and no whole-size intermediate is
held. A step that needs a whole-image statistic (auto_level's levels, a
threshold, Canny's hysteresis) splits the run into passes: the statistic is
gathered from a pass of the steps before it, then the stream continues. In
memory, that pass keeps its rows in the result's own memory; out of core, the
next pass reads the file again and recomputes the steps before it, which costs
less than storing them. On a dask array, each step is pictor.dask's function
of it, and a cluster runs the same steps as a graph.
"""

from collections.abc import Mapping
from pathlib import Path

import numpy as np

from pictor import axes as _axes
from pictor import chunks, functions as _functions
from pictor.stream import engine
from pictor.stream.plan import NoStripes, block_rows, stripe_steps


class Step:
    """One step: a checked function and the keywords given to it."""

    def __init__(self, name, function, keywords):
        self.name, self.function, self.keywords = name, function, keywords

    def __repr__(self):
        return "{}({})".format(self.name, ", ".join("{}={!r}".format(k, v) for k, v in self.keywords.items()))


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
        available = _functions.package_functions()
        self.steps = tuple(_checked_step(position, step, available) for position, step in enumerate(steps, 1))
        # What the command line's batch reads from a function.
        self.__name__ = " | ".join(step.name for step in self.steps)
        first = self.steps[0].function
        self.grey_only, self.eight_bit_copy, self.full_depth = first.grey_only, first.eight_bit_copy, first.full_depth

    def __repr__(self):
        return "pipeline({})".format(", ".join(repr(step) for step in self.steps))

    def __reduce__(self):
        return pipeline, tuple((step.name, step.keywords) for step in self.steps)

    def __call__(self, image, threads=None, stripe_rows=None, axes=None):
        """The chain on a NumPy image (a new array) or a dask array (lazy).

        axes names the axes of N-D data as for the functions ("ZYX", "TCYX",
        "ZYXS", ...): the chain then runs on each Y x X (x S) plane on its own
        and the result keeps the input's axes, equal to the chain called on
        every plane in turn.

        A NumPy image flows through the steps in stripes of `stripe_rows` rows
        (two million samples' worth by default). Every step runs on the
        caller's thread, each kernel splitting its rows over
        cv2.getNumThreads() threads; with threads > 1, each step runs on a
        thread of its own instead, a block ahead of the next (more memory in
        flight for little gain on few cores). A chain with a step that has no
        stripe form (a change of shape, the fusion's statistic of its coarse
        levels, a float mean) runs step by step, each intermediate dropped
        once the next step has made its own.
        """
        if axes is not None:
            return self.planewise(image, axes, threads=threads, stripe_rows=stripe_rows)
        if not isinstance(image, np.ndarray):
            import dask.array as da

            if isinstance(image, da.Array):
                return self.lazy(image)
        _check_input(self.steps[0], image)
        try:
            plan, inputs, dtype, shape = stripe_steps(self.steps, image.dtype, image.shape, stripe_rows)
        except NoStripes:
            for step in self.steps:
                image = step.function(image, **step.keywords)
            return image
        return _streamed_in_memory(plan, inputs, image, np.empty(shape, dtype), stripe_rows, threads)

    def planewise(self, image, axes, read_again=None, threads=None, stripe_rows=None):
        """The chain on every Y x X (x S) plane of IMAGE (NumPy or dask, its
        axes named by the letters AXES), restacked with the input's axes; the
        planes of a dask array lazily, each plane's statistics from
        read_again() when given (see lazy())."""
        first = self.steps[0]
        if not hasattr(image, "shape"):
            _functions.check_image(first.name, image, first.function.grey_only)  # says what is wrong
        checked = _axes.validated_axes(first.name, image.shape, axes, first.function.grey_only)
        if checked is None:  # one plane in the functions' own layout
            return self(image, threads, stripe_rows) if read_again is None else self.lazy(image, read_again)
        _functions.check_image_layout(first.name, image.dtype, _axes.plane_shape(image.shape, checked),
                                      first.function.grey_only)
        if isinstance(image, np.ndarray):
            return _axes.run_planes(image, checked, lambda plane: self(plane, threads, stripe_rows))
        from pictor.dask.planes import planewise, take_plane

        def plane_read_again(index):
            return None if read_again is None else lambda: take_plane(read_again(), checked, index)

        return planewise(image, checked, lambda plane, index: self.lazy(plane, plane_read_again(index)))

    def _on_planes(self, read, axes):
        """The lazy chain on each plane of read() (axes named by the letters
        axes), each plane's statistics from its plane read again."""
        return self.planewise(read(), axes, read_again=read)

    def lazy(self, x, read_again=None):
        """The chain on the dask array x; read_again(), when given, returns x
        afresh, for steps that gather a whole-image statistic first."""
        for position in range(len(self.steps)):
            step = self.steps[position]
            _check_shape(step, x)
            x = _lazy_step(step, x, self._reading_before(position, read_again))
        return x

    def _reading_before(self, position, read_again):
        """A fresh reading of the chain's input to the step at `position`:
        the file read again and the steps before it computed again."""
        if read_again is None or position == 0:
            return read_again
        return lambda: self._prefix(position).lazy(read_again(), read_again)

    def _prefix(self, count):
        prefix = object.__new__(Pipeline)
        prefix.steps = self.steps[:count]
        return prefix

    def run_file(self, source, target, compression=None, tile=None, threads=None, overwrite=False, in_place=False):
        """The chain from the image file `source` to `target`, out of core:
        (tiled) TIFF or OME-TIFF, or a .zarr store, by their suffixes.

        The file is read a tile row ahead on a thread of its own, and a TIFF
        result is written tile row by tile row behind the computation on
        another, with the input's tile size and compression unless
        `compression` ("none", "zlib", "zstd", "lzw") or `tile` (a multiple of
        16) says otherwise. `threads` as for calling the pipeline. The result
        takes its name only when complete. Under a distributed client, or for a
        chain with a step that has no stripe form, pictor.dask's graph runs
        instead.

        Never writes over `source` (or into a store or folder holding it)
        unless `in_place`, nor over an existing `target` unless `overwrite`;
        nothing is left under `target`'s name when the run fails or is stopped.

        An OME-TIFF, an ImageJ hyperstack or an OME-Zarr runs plane by plane
        as pictor.dask's graph, each plane through the chain as a single-plane
        image, and is written as a file of its kind with the input's metadata.
        """
        from pictor.io import safety
        from pictor.io.stores import has_named_axes
        from pictor.stream import files

        source, target = Path(source), Path(target)
        if has_named_axes(source):
            import dask

            from pictor.dask import files as graph_files

            safety.check_target(target, [source], overwrite, in_place)
            with dask.config.set(num_workers=threads):
                return graph_files.run_named_axes(self._on_planes, self, {}, source, target, compression, tile)

        def graph(partial, kind, layout, threads):
            from pictor.dask import files as graph_files

            graph_files.run_graph(self, source, partial, kind, layout, threads)

        return files.run_file(self.steps, source, target, compression, tile, threads, graph, overwrite,
                              in_place)


def _streamed_in_memory(plan, inputs, image, result, stripe_rows, threads):
    height = image.shape[0]
    rows = block_rows(image.shape, plan, stripe_rows)

    def keep(index):
        """The result's own memory as the store of the intermediate at index,
        each row of it inside the same row of the result: a block of the result
        is written only once the rows it overwrites have been read back."""
        dtype, shape = inputs[index]
        row_bytes = dtype.itemsize * int(np.prod(shape[1:]))
        result_rows = result.reshape(height, -1).view(np.uint8)
        if row_bytes > result_rows.shape[1]:
            return None
        stored = result_rows[:, :row_bytes].view(dtype).reshape(shape)
        return engine.filling(stored), engine.stripes(stored, rows, copied=True)

    # The image is its own stripe: the first step takes views of it, a statistic counts it at once.
    engine.run(plan, lambda: iter((image,)), height, rows, engine.filling(result), threads or 1, keep)
    return result


def _check_input(step, image):
    if not isinstance(image, np.ndarray):
        _functions.check_image(step.name, image, step.function.grey_only)  # says what is wrong
    step.function.check_layout(image.dtype, image.shape)


def _check_shape(step, x):
    """The checks of the step's function on a one-pixel image of x's type and
    layout: a step that cannot take the previous step's result fails before any work."""
    step.function.check_layout(x.dtype, (1, 1) + tuple(x.shape[2:]) if x.ndim >= 2 else x.shape)


def _lazy_step(step, x, read_again):
    """One step on a dask array: pictor.dask's function of the step, its
    whole-image statistic gathered from a fresh reading where one is given."""
    import pictor.dask as pictor_dask

    # A statistic of the step's input, gathered before the pass that uses it:
    # out of core, that first pass reads the file again.
    route = chunks.route_of_function(step.function, x.dtype, step.keywords).route
    if read_again is not None and route.statistic_of_input:
        return pictor_dask.apply_rereading(read_again, step.name, **step.keywords)
    return pictor_dask.apply(x, step.name, **step.keywords)
