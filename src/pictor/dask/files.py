"""Image files through pictor.dask's graphs, for clusters and the chains
without a stripe form: a file as a dask array of row stripes, a result
stored into a Zarr store, or handed in row order to the TIFF writer of the
stream (computed on the cluster when a client is active). Only Dask's
public API is used; the files are pictor.io's."""

import errno
import sys
import threading
import uuid
from pathlib import Path

import numpy as np

from pictor import _lookup
from pictor.functions import image_functions
from pictor.io import imagej, kinds, ome_tiff, ome_zarr, safety
from pictor.io.progress import Bar, counted
from pictor.io.stores import has_named_axes, new_zarr_array, open_regions
from pictor.io.tiff import output_layout, tiff_rows

# Samples per stripe, or per 2-D block of one big file, read at once (Dask's graphs).
STRIPE_SAMPLES = 1 << 22


def write_zarr(result, path, show_progress):
    import dask.array as da

    # Regular chunks, one Zarr chunk per task: no two tasks write one chunk.
    chunks = tuple(max(c) if c else 1 for c in result.chunks)
    result = result.rechunk(chunks)
    target = new_zarr_array(path, result.shape, result.dtype, chunks)
    stored = da.store(result, target, lock=False, compute=False)
    with _progress(show_progress, stored), safety.writers_finished():
        stored.compute()


class _progress:
    """A bar (pictor.io.progress) that counts the chunks stored out of the
    store's true total, under the local schedulers."""

    def __init__(self, show, stored):
        self.callback = self.bar = None
        if show:
            from dask.callbacks import Callback

            storing = {key for key in stored.__dask_graph__() if "store-map" in _key_name(key)}
            done = set()
            self.bar = Bar(len(storing), "chunks")

            def count(key, *_):
                if key in storing and key not in done:
                    done.add(key)
                    self.bar.advance()

            self.callback = Callback(posttask=count)

    def __enter__(self):
        if self.callback is not None:
            self.callback.__enter__()

    def __exit__(self, *exc):
        if self.callback is not None:
            self.callback.__exit__(*exc)
            self.bar.close()


def _key_name(key):
    return str(key[0] if isinstance(key, tuple) else key)


def run_graph(pipe, source, partial, kind, layout, threads):
    """The pipeline as pictor.dask's graph, on a distributed client when one
    is active, else on this process's threads."""
    import dask

    def read():
        return read_stripes(source)

    result = pipe.lazy(read(), read)
    with dask.config.set(scheduler="threads", num_workers=threads):
        if kind == "zarr":
            write_zarr(result, partial, show_progress=False)
        else:
            write_tiff(result, partial, **layout)


def read_stripes(path, samples=None):
    """A (tiled) TIFF or Zarr array as a dask array of full-width row stripes,
    each read by a task of its own straight from the file, as high as a whole
    number of the file's tile (chunk) rows; each call's tasks are its own."""
    import uuid

    import dask.array as da

    stored = open_regions(path)
    per_row = max(1, int(np.prod(stored.shape[1:])))
    tile_rows = max(1, stored.chunks[0])
    rows = max(tile_rows, (samples or STRIPE_SAMPLES) // per_row // tile_rows * tile_rows)
    return da.from_array(stored, chunks=(min(rows, stored.shape[0]),) + tuple(stored.shape[1:]),
                         name="read-{}-{}".format(path.name, uuid.uuid4().hex), asarray=False, lock=False,
                         fancy=False)


class _InOrder:
    """A target for dask.array.store that hands full-width row blocks to
    put() in row order, whatever order the threads finish them in."""

    def __init__(self, shape, dtype, put):
        self.shape, self.dtype, self.ndim = shape, dtype, len(shape)
        self.put = put
        self.waiting, self.next_row = {}, 0
        self.lock = threading.Lock()

    def __setitem__(self, region, block):
        # No thread waits here for the stripes before its own: the thread
        # computing those may be the one that would wait. The lock, held
        # while put() waits for the writer, keeps the blocks in order.
        top = region[0].start or 0
        with self.lock:
            self.waiting[top] = np.ascontiguousarray(block)
            while self.next_row in self.waiting:
                ready = self.waiting.pop(self.next_row)
                self.put(ready)
                self.next_row += ready.shape[0]


def write_tiff(result, path, tile, compression, ome=False):
    """result (a dask array) into a tiled BigTIFF, tile row by tile row, while
    later stripes are computed: the writer runs on its own thread."""
    result = result.rechunk({1: -1} if result.ndim == 2 else {1: -1, 2: -1})
    bar = Bar(result.shape[0], "rows")
    try:
        with tiff_rows(path, result.shape, result.dtype, tile, compression, ome) as rows:
            _store(result, _InOrder(result.shape, result.dtype, counted(rows.put, bar)))
    finally:
        bar.close()


def _store(result, target):
    """Every row block of result into target: on this process's threads, or,
    under a distributed client, computed on the cluster and handed over here."""
    client = _lookup.distributed_client()
    if client is None:
        _store_in_order(result, target)
        return
    tops = np.cumsum((0,) + result.chunks[0])
    from distributed import as_completed

    futures = client.compute(list(result.to_delayed().ravel()))
    index = {future.key: position for position, future in enumerate(futures)}
    for future in as_completed(futures):
        top = int(tops[index[future.key]])
        block = future.result()
        target[(slice(top, top + block.shape[0]),)] = block
        future.release()


def _ancestors(keys, dependencies, known=()):
    """The keys that `keys` need, themselves included, not looking past `known`."""
    found, stack = set(), list(keys)
    while stack:
        key = stack.pop()
        if key in found:
            continue
        found.add(key)
        if key not in known:
            stack.extend(dependencies[key])
    return found


class _Held:
    """A value already computed, handed to a graph as the argument of a task
    (an opaque object: Dask does not look inside it for keys or tasks)."""

    def __init__(self, value):
        self.value = value


def _held_value(held):
    return held.value


# A result that serves this many windows of rows is shared: made once and kept.
SHARED = 3


def _store_in_order(result, target):
    """The row blocks of result computed a few at a time, top to bottom, on
    this process's threads: Dask alone finishes them in an order of its own,
    and every block finished before the first would wait in memory.

    A result that serves three or more windows (a whole-image statistic,
    Canny's seam seeds) is kept until no later window needs it, so it is
    computed once, and so is one that the next window needs (the rows around
    a cut); other stripes that a statistic came from are not kept, and a later
    window computes its own again (recomputing is cheaper than holding them).
    """
    import os
    from collections import defaultdict

    import dask
    from dask.callbacks import Callback
    from dask.core import flatten, get_deps
    from dask.threaded import get

    graph = dict(result.__dask_graph__())
    dependencies, dependents = get_deps(graph)
    outputs = list(flatten(result.__dask_keys__()))
    threads = dask.config.get("num_workers", None) or os.cpu_count() or 1
    size = max(2, 2 * threads)
    windows = [outputs[start:start + size] for start in range(0, len(outputs), size)]
    serving = defaultdict(set)  # key: the windows that need it
    for index, keys in enumerate(windows):
        for key in _ancestors(keys, dependencies):
            serving[key].add(index)
    kept, done = {}, set()

    def keeping(index):
        """Callback(posttask=...) of the window at index: what it makes that later windows need is kept."""
        def posttask(key, value, *_):
            if key in outputs_of_window:
                return
            if len(serving[key]) >= SHARED or index + 1 in serving[key]:
                kept[key] = value
            if len(serving[key]) >= SHARED:
                done.add(key)
            for dependency in dependencies[key]:
                # An input whose shared users are all made is dropped: a window
                # that needs it for its own rows makes it again.
                if dependency in kept and all(user in done for user in dependents[dependency]
                                              if len(serving[user]) >= SHARED):
                    del kept[dependency]

        return Callback(posttask=posttask)

    def computed(keys, index):
        needed = _ancestors(keys, dependencies, known=kept)
        subgraph = {key: (_held_value, _Held(kept[key])) if key in kept else graph[key] for key in needed}
        with keeping(index):
            return get(subgraph, keys, num_workers=threads)

    # The results that serve every window are made first, a few at a time in
    # the graph's own order, so that the stripes they come from are not all
    # held at once (a statistic's per-stripe parts, Canny's seam summaries).
    from dask.order import order

    priority = order(graph)
    shared = sorted((key for key, users in serving.items() if len(users) >= SHARED), key=priority.get)
    outputs_of_window = set()
    for start in range(0, len(shared), size):
        computed(shared[start:start + size], -1)

    tops = np.cumsum((0,) + result.chunks[0])
    for index, keys in enumerate(windows):
        outputs_of_window = set(keys)
        values = computed(keys, index)
        for key, block in zip(keys, values):
            top = int(tops[key[1]])
            target[(slice(top, top + block.shape[0]),)] = block
        for key in [key for key in kept if max(serving[key]) <= index]:
            del kept[key]


# --- one image out of core, by pictor.dask's graphs ------------------------------------------


def read_lazy(path):
    """A dask array over a Zarr array or a (tiled) TIFF file, read chunk by chunk;
    each call's chunks are read by tasks of their own (see apply_rereading)."""
    import dask.array as da

    path = Path(path)
    regions = open_regions(path)
    return da.from_array(regions, chunks=regions.chunks, name="read-{}-{}".format(path.name, uuid.uuid4().hex),
                         asarray=False, lock=False, fancy=False)


def chunked_output_path(source, output):
    """OUT itself when it names a .zarr or .tif(f) file, else the input's name in the folder OUT."""
    output, source = Path(output), Path(source)
    if output.suffix.lower() in kinds.CHUNKED_SUFFIXES:
        return output
    name = source.name if source.suffix.lower() in kinds.CHUNKED_SUFFIXES else source.stem + ".tif"
    return output / name


def _as_blocks(x):
    """x in 2-D blocks of whole stored chunks (tiles), about STRIPE_SAMPLES
    samples each and as square as the chunks allow: pictor.dask runs its
    routes on them and gives its result in them, so no full-width stripe is
    assembled before the writer's own (a TIFF's row of tiles)."""
    per_pixel = max(1, int(np.prod(x.shape[2:], dtype=np.int64)))
    pixels = max(1, STRIPE_SAMPLES // per_pixel)
    columns = _whole_chunks(int(pixels ** 0.5), x.chunks[1][0], x.shape[1])
    rows = _whole_chunks(pixels // columns, x.chunks[0][0], x.shape[0])
    return x.rechunk({0: rows, 1: columns})


def _whole_chunks(least, chunk, length):
    """The smallest whole number of chunks that holds `least`, within `length`."""
    return max(1, min(length, -(-max(1, least) // max(1, chunk)) * chunk))


def _write_tiff(result, path, layout):
    """The result straight into a tiled BigTIFF, tile row by tile row as its stripes are computed."""
    write_tiff(result, path, layout["tile"], layout["compression"], layout["ome"])


def _plane_stripes(x, axes):
    """One plane at a time along T, Z, C; whole-width row stripes within it."""
    row_samples = x.shape[axes.index("X")] * (x.shape[axes.index("S")] if "S" in axes else 1)
    rows = max(1, STRIPE_SAMPLES // max(1, row_samples))
    return x.rechunk({position: (min(rows, x.shape[position]) if letter == "Y" else
                                 -1 if letter in "XS" else 1) for position, letter in enumerate(axes)})


def run_chunked_ome_zarr(apply, function, keywords, source, target, stop=None):
    """An OME-Zarr out of core: its full-resolution level plane by plane, stripe
    by stripe, through a scratch store (see run_named_axes); then the OME-Zarr
    of the result with its pyramid built from that store."""
    import dask.array as da

    image = ome_zarr.read_ome_zarr(source)
    level = str(Path(source) / image.multiscale["datasets"][0]["path"])

    def read():  # a name of its own per read: see read_lazy
        return _plane_stripes(da.from_zarr(level, name="read-{}".format(uuid.uuid4().hex)), image.axes)

    result = apply(read, image.axes)
    with safety.scratch_store(target) as scratch:
        write_zarr(result, scratch, show_progress=_shows_progress())
        stored = da.from_zarr(str(scratch))
        return ome_zarr.write_ome_zarr(target, stored, image, function, keywords, stop)


# How a TIFF of named axes is read, given its result's metadata and written
# (path, image of the result's axes and metadata, data, compression, tile).
OME_TIFF = (ome_tiff.read_ome_tiff, ome_tiff.result_metadata, ome_tiff.write_ome_tiff)
IMAGEJ = (imagej.read_imagej, imagej.result_metadata,
          lambda path, image, data, compression, tile: imagej.write_imagej(path, image, data, compression))


def run_chunked_tiff_stack(kind, apply, function, keywords, source, target, layout, stop=None):
    """The first image of an OME-TIFF or an ImageJ hyperstack out of core,
    plane by plane, stripe by stripe, through a scratch store (see
    run_named_axes); written plane by plane as a file of the same kind with
    the input's metadata (changed where the operation changes it), pyramid,
    tile size and compression."""
    import dask.array as da

    read, metadata_of, write = kind
    images = read(source, samples=False)
    if len(images) > 1:
        raise ValueError("cannot be represented with --chunked: the OME-TIFF holds {} images (give it without "
                         "--chunked)".format(len(images)))
    image = images[0]
    axes = image.axes
    if not axes.endswith(("YX", "YXS")):
        raise ValueError("cannot be represented with --chunked: axes {} (planes must be stored last)".format(axes))

    def read_stripes():
        return _plane_stripes(ome_tiff.opencv_order(read_lazy(source), axes), axes)

    result = apply(read_stripes, axes)
    described = ome_tiff.OmeImage(None, ome_tiff.result_axes(axes, result),
                                  metadata_of(image.metadata, function, keywords), image.layout)
    with safety.scratch_store(target) as scratch:
        write_zarr(result, scratch, show_progress=_shows_progress())
        with safety.written_as(target, stop) as partial:
            write(partial, described, da.from_zarr(str(scratch)), layout["compression"], layout["tile"])
    return target


def _shows_progress():
    return _lookup.distributed_client() is None and sys.stderr.isatty()


def run_named_axes(apply, function, keywords, source, target, compression=None, tile=None, stop=None):
    """A file of named axes (see pictor.io.stores.has_named_axes) out of core,
    its target already checked: apply(read, axes) gives the lazy result of the
    planes read by read() (whose axes are named by the letters axes), read
    again by each plane's statistics; function with keywords (a checked
    function or a pipeline) says how the metadata changes."""
    layout = output_layout(source, target, compression, tile)
    if ome_zarr.is_ome_zarr(source):
        return run_chunked_ome_zarr(apply, function, keywords, source, target, stop)
    if tile is not None and imagej.is_imagej_stack(source):
        raise ValueError("--tile does not apply to an ImageJ hyperstack: ImageJ reads its planes in strips")
    kind = OME_TIFF if ome_tiff.is_ome_tiff(source) else IMAGEJ
    return run_chunked_tiff_stack(kind, apply, function, keywords, source, target, layout, stop)


def run_chunked(method_name, keywords, source, target, compression=None, tile=None, overwrite=False,
                in_place=False, stop=None):
    """pictor.dask's function (or tool method) method_name on one image file
    out of core: read lazily, applied chunk by chunk (on the active
    distributed client, if any), written incrementally at target (a .tif,
    .ome.tif or .zarr path), never over the input or an existing result
    unless asked (see pictor.io.safety)."""
    from pictor import dask as pictor_dask

    source, target = Path(source), Path(target)
    if not source.exists():
        raise FileNotFoundError(errno.ENOENT, "no such file", str(source))
    safety.check_target(target, [source], overwrite, in_place)

    def apply(read, axes=None):
        named = {} if axes is None else {"axes": axes}
        return pictor_dask.apply_rereading(read, method_name, **named, **keywords)

    if has_named_axes(source):
        function = image_functions()[method_name.rpartition(".")[2]]
        return run_named_axes(apply, function, keywords, source, target, compression, tile, stop)
    layout = output_layout(source, target, compression, tile)
    result = apply(lambda: _as_blocks(read_lazy(source)))
    with safety.written_as(target, stop) as partial:
        if kinds.file_kind(target) == "zarr":
            write_zarr(result, partial, show_progress=_shows_progress())
        else:
            _write_tiff(result, partial, layout)
    return target
