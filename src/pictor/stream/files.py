"""Image files in and out of a streamed pipeline: a tiled TIFF read tile row
by tile row straight from the file (other files region by region), and a TIFF
written tile row by tile row in order behind the computation (no scratch
store, no second write), each on a thread of its own. The files themselves
are pictor.io's: its readers and writers, and its rule that a result is
never written over an input or an existing result unasked, and takes its name
only when complete."""

import numpy as np

from pictor import _lookup
from pictor.io import kinds, safety
from pictor.io.progress import Bar, counted
from pictor.io.stores import image_layout, new_zarr_array, open_regions
from pictor.io.tiff import holds_one_image, is_one_plane, output_layout, tiff_bands, tiff_rows
from pictor.stream import engine
from pictor.stream.plan import NoStripes, block_rows, stripe_steps

# Samples per block of a streamed pipeline out of core: small, so that the
# blocks in flight between the reader, the steps and the writer hold little.
BLOCK_SAMPLES = 1 << 20




def run_file(steps, source, target, compression=None, tile=None, threads=None, graph=None, overwrite=False,
             in_place=False):
    """The chain of steps from the image file source to target (see
    Pipeline.run_file), streamed; graph(partial, kind, layout, threads), when
    the chain has no stripe form or a distributed client is active, writes
    the result as a graph instead."""
    kind = kinds.file_kind(target)
    if not source.exists():
        raise FileNotFoundError("{}: no such file".format(source))
    safety.check_target(target, [source], overwrite, in_place)
    layout = output_layout(source, target, compression, tile)
    source_shape, source_dtype = image_layout(source)
    try:
        plan, _, dtype, shape = stripe_steps(steps, source_dtype, source_shape)
    except NoStripes:
        plan = None
    if plan is not None and kind == "tiff" and not holds_one_image(shape):
        raise ValueError("{}: cannot be represented: a result of shape {} is a stack of planes; write it to a "
                         ".zarr store".format(target, shape))
    with safety.written_as(target) as partial:
        if plan is not None and _lookup.distributed_client() is None:
            _run_streamed(plan, source, source_shape, (shape, dtype), partial, kind, layout, threads)
        else:
            graph(partial, kind, layout, threads)
    return target


def _run_streamed(plan, source, source_shape, result_layout, partial, kind, layout, threads):
    """The plan's stripes from the source to partial, read a stripe ahead on
    a thread of their own and written behind on another."""
    height = source_shape[0]
    rows = block_rows(source_shape, plan, samples=BLOCK_SAMPLES)
    if kinds.file_kind(source) == "tiff" and is_one_plane(source):
        def read():
            return engine.ahead(tiff_bands(source), depth=1)
    else:
        stored = open_regions(source)
        reading = _reading_rows(stored, rows)

        def read():
            return engine.ahead((np.asarray(stored[top:top + reading]) for top in range(0, height, reading)),
                                depth=1)

    threads = threads or 1
    shape, dtype = result_layout
    bar = Bar(shape[0], "rows")
    try:
        if kind == "zarr":
            target = new_zarr_array(partial, shape, dtype, (rows,) + shape[1:])
            engine.run(plan, read, height, rows, counted(engine.filling(target), bar), threads)
            return
        with tiff_rows(partial, shape, dtype, **layout) as target:
            engine.run(plan, read, height, rows, counted(target.put, bar), threads)
    finally:
        bar.close()




def _reading_rows(stored, rows):
    """Rows read at once: whole rows of the file's tiles (chunks), at least `rows`."""
    tile_rows = max(1, stored.chunks[0])
    return -(-rows // tile_rows) * tile_rows

