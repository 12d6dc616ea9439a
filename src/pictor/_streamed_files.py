"""Files in and out of a streamed computation: a tiled TIFF or Zarr store read
stripe by stripe, a TIFF written tile row by tile row in order while later
stripes compute (no scratch store, no second write), on a thread of its own."""

import os
import queue
import shutil
import sys
import threading
import uuid
from pathlib import Path

import numpy as np

ZARR_SUFFIX = ".zarr"
TIFF_SUFFIXES = (".tif", ".tiff")
DEFAULT_TILE = 256
TILE_STEP = 16  # TIFF tiles are multiples of 16 samples
# Row blocks computed but not yet written: beyond this, computing waits for the writer.
WRITER_QUEUE = 4
# tifffile's names of the compressions that may be asked for.
COMPRESSIONS = {"none": None, "zlib": "zlib", "zstd": "zstd", "lzw": "lzw"}
# Samples per stripe read at once.
STRIPE_SAMPLES = 1 << 22


def _temporary_sibling(path):
    return path.with_name(".{}.{}.partial{}".format(path.name, uuid.uuid4().hex[:12], path.suffix))


class TiffRegions:
    """A TIFF file as an array-like for dask.array.from_array: pickles as its
    path, and each process opens the file's Zarr view once."""

    _open = {}
    _lock = threading.Lock()

    def __init__(self, path):
        self.path = str(Path(path).resolve())
        stored = self._stored()
        self.shape, self.dtype, self.ndim = stored.shape, stored.dtype, stored.ndim
        self.chunks = stored.chunks

    def _stored(self):
        status = os.stat(self.path)
        key = (self.path, status.st_mtime_ns, status.st_size)  # a rewritten file is opened anew
        with self._lock:
            if key not in self._open:
                import tifffile
                import zarr

                self._open[key] = zarr.open(tifffile.imread(self.path, aszarr=True), mode="r")
            return self._open[key]

    def __getitem__(self, region):
        return self._stored()[region]

    def __getstate__(self):
        return {"path": self.path, "shape": self.shape, "dtype": self.dtype, "ndim": self.ndim,
                "chunks": self.chunks}


def _write_zarr(result, path, show_progress):
    import dask.array as da
    import zarr

    # Regular chunks, one Zarr chunk per task: no two tasks write one chunk.
    chunks = tuple(max(c) if c else 1 for c in result.chunks)
    result = result.rechunk(chunks)
    target = zarr.open_array(str(path), mode="w", shape=result.shape, dtype=result.dtype, chunks=chunks)
    with _progress(show_progress, result):
        da.store(result, target, lock=False)


class _progress:
    """A bar on stderr (when it is a terminal) that counts the result's chunks
    as they are stored, under the local schedulers."""

    def __init__(self, show, result):
        self.callback = None
        if show:
            from dask.callbacks import Callback

            total = result.npartitions
            stored = []

            def count(key, *_):
                name = str(key[0] if isinstance(key, tuple) else key)
                if "store-map" in name:  # alone or fused with the steps before it
                    stored.append(key)
                    filled = 30 * len(stored) // total
                    sys.stderr.write("\r[{}{}] {}/{} chunks".format("#" * filled, "." * (30 - filled),
                                                                    len(stored), total))
                    sys.stderr.flush()

            self.callback = Callback(posttask=count)

    def __enter__(self):
        if self.callback is not None:
            self.callback.__enter__()

    def __exit__(self, *exc):
        if self.callback is not None:
            self.callback.__exit__(*exc)
            sys.stderr.write("\n")


def _kind(path):
    name = path.name.lower()
    if name.endswith(ZARR_SUFFIX):
        return "zarr"
    if name.endswith(TIFF_SUFFIXES):
        return "tiff"
    raise ValueError("{}: expected a .tif, .tiff, .ome.tif or .zarr name".format(path))


def tiff_layout(path):
    """(tile size, tifffile compression name) of a TIFF's first page; (None, None) otherwise."""
    if _kind(path) != "tiff":
        return None, None
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page = tiff.pages[0]
        tile = page.tilelength if page.is_tiled and page.tilelength == page.tilewidth else None
        compression = {1: None, 5: "lzw", 8: "zlib", 32946: "zlib", 50000: "zstd"}.get(int(page.compression))
    return tile, compression


def run_file(pipe, source, target, compression=None, tile=None, threads=None):

    kind = _kind(target)
    if compression is not None and compression not in COMPRESSIONS:
        raise ValueError("compression must be one of {}, got {!r}".format(", ".join(COMPRESSIONS), compression))
    _check_tile(tile)
    if not source.exists():
        raise FileNotFoundError("{}: no such file".format(source))
    source_tile, source_compression = tiff_layout(source)

    def read():
        return read_stripes(source)

    result = pipe.lazy(read(), read)
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = _temporary_sibling(target)
    import dask

    try:
        with dask.config.set(scheduler="threads", num_workers=threads):
            if kind == "zarr":
                _write_zarr(result, partial, show_progress=False)
            else:
                chosen = source_compression if compression is None else COMPRESSIONS[compression]
                write_tiff(result, partial, tile or source_tile or DEFAULT_TILE, chosen,
                           ome=target.name.lower().endswith((".ome.tif", ".ome.tiff")))
        if kind == "zarr" and target.exists():
            shutil.rmtree(str(target))
        os.replace(str(partial), str(target))
    finally:
        if partial.is_dir():
            shutil.rmtree(str(partial), ignore_errors=True)
        elif partial.exists():
            partial.unlink()
    return target


def _check_tile(tile):
    if tile is not None and (isinstance(tile, bool) or not isinstance(tile, int) or tile < TILE_STEP
                             or tile % TILE_STEP):
        raise ValueError("tile must be a multiple of {}, got {!r}".format(TILE_STEP, tile))


def read_stripes(path, samples=None):
    """A (tiled) TIFF or Zarr array as a dask array of full-width row stripes,
    each read by a task of its own straight from the file, as high as a whole
    number of the file's tile (chunk) rows; each call's tasks are its own."""
    import uuid

    import dask.array as da


    if _kind(path) == "zarr":
        import zarr

        stored = zarr.open_array(str(path), mode="r")
    else:
        stored = TiffRegions(path)
    per_row = max(1, int(np.prod(stored.shape[1:])))
    tile_rows = max(1, stored.chunks[0])
    rows = max(tile_rows, (samples or STRIPE_SAMPLES) // per_row // tile_rows * tile_rows)
    return da.from_array(stored, chunks=(min(rows, stored.shape[0]),) + tuple(stored.shape[1:]),
                         name="read-{}-{}".format(path.name, uuid.uuid4().hex), asarray=False, lock=False,
                         fancy=False)


class _InOrder:
    """A target for dask.array.store that hands full-width row blocks to the
    writer in row order, whatever order the threads finish them in."""

    def __init__(self, shape, dtype):
        self.shape, self.dtype, self.ndim = shape, dtype, len(shape)
        self.rows = queue.Queue(maxsize=WRITER_QUEUE)
        self.waiting, self.next_row = {}, 0
        self.lock = threading.Lock()
        self.failed = None

    def __setitem__(self, region, block):
        # No thread waits here for the stripes before its own: the thread
        # computing those may be the one that would wait.
        top = region[0].start or 0
        with self.lock:
            if self.failed is not None:
                raise RuntimeError("the TIFF writer stopped") from self.failed
            self.waiting[top] = np.ascontiguousarray(block)
            while self.next_row in self.waiting:
                ready = self.waiting.pop(self.next_row)
                self._hand_over(ready)
                self.next_row += ready.shape[0]

    def _hand_over(self, block):
        # Blocks while the writer is behind, holding the lock so that the blocks
        # stay in order; the writer needs no lock to catch up.
        while True:
            try:
                self.rows.put(block, timeout=1.0)
                return
            except queue.Full:
                if self.failed is not None:
                    raise RuntimeError("the TIFF writer stopped") from self.failed

    def next_block(self):
        """The next row block for the writer; raises once the computation has failed."""
        while True:
            try:
                block = self.rows.get(timeout=1.0)
            except queue.Empty:
                block = False
            if block is None or (block is False and self.failed is not None):
                raise RuntimeError("the computation stopped")
            if block is not False:
                return block

    def stop(self, error):
        with self.lock:
            self.failed = error


def write_tiff(result, path, tile, compression, ome=False):
    """result (a dask array) into a tiled BigTIFF, tile row by tile row, while
    later stripes are computed: the writer runs on its own thread."""
    import tifffile

    _check_tile(tile)
    result = result.rechunk({1: -1} if result.ndim == 2 else {1: -1, 2: -1})
    target = _InOrder(result.shape, result.dtype)
    height, width = result.shape[:2]
    band_shape = (tile, -(-width // tile) * tile) + tuple(result.shape[2:])

    def tiles():
        band, filled, written = np.zeros(band_shape, result.dtype), 0, 0
        while written < height:
            block = target.next_block()
            start = 0
            while start < block.shape[0]:
                take = min(tile - filled, block.shape[0] - start)
                band[filled:filled + take, :width] = block[start:start + take]
                filled, start = filled + take, start + take
                if filled == tile or written + filled == height:
                    if filled < tile:
                        band[filled:] = 0
                    for left in range(0, band_shape[1], tile):
                        yield band[:, left:left + tile]
                    written += filled
                    filled = 0

    photometric = "rgb" if result.ndim == 3 and result.shape[2] == 3 else "minisblack"
    failure = []

    def write():
        try:
            tifffile.imwrite(str(path), tiles(), shape=result.shape, dtype=result.dtype, tile=(tile, tile),
                             bigtiff=True, photometric=photometric, compression=compression,
                             ome=ome or None)
        except BaseException as error:  # noqa: B902 - handed to the computing thread
            failure.append(error)
            target.stop(error)

    writer = threading.Thread(target=write, name="pictor-tiff-writer", daemon=True)
    writer.start()
    try:
        _store(result, target)
    except BaseException as error:
        target.stop(error)
        try:
            target.rows.put_nowait(None)
        except queue.Full:
            pass  # the writer fails on its own: its next tile row is never complete
        writer.join()
        raise
    writer.join()
    if failure:
        raise failure[0]


def _store(result, target):
    """Every row block of result into target: on this process's threads, or,
    under a distributed client, computed on the cluster and handed over here."""
    try:
        from distributed import as_completed, default_client

        client = default_client()
    except (ImportError, ValueError):
        client = None
    if client is None:
        _store_in_order(result, target)
        return
    tops = np.cumsum((0,) + result.chunks[0])
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
    from dask._task_spec import DataNode, convert_legacy_graph
    from dask.callbacks import Callback
    from dask.core import flatten
    from dask.threaded import get

    graph = convert_legacy_graph(dict(result.__dask_graph__()))
    dependencies = {key: set(task.dependencies) for key, task in graph.items()}
    dependents = defaultdict(set)
    for key, needed in dependencies.items():
        for dependency in needed:
            dependents[dependency].add(key)
    outputs = list(flatten(result.__dask_keys__()))
    threads = dask.config.get("num_workers", None) or os.cpu_count() or 1
    size = max(2, 2 * threads)
    windows = [outputs[start:start + size] for start in range(0, len(outputs), size)]
    serving = defaultdict(set)  # key: the windows that need it
    for index, keys in enumerate(windows):
        for key in _ancestors(keys, dependencies):
            serving[key].add(index)
    kept, done = {}, set()

    class Keep(Callback):
        def __init__(self, index):
            super().__init__()
            self.index = index

        def _posttask(self, key, value, dsk, state, worker_id):
            if key in outputs_of_window:
                return
            if len(serving[key]) >= SHARED or self.index + 1 in serving[key]:
                kept[key] = value
            if len(serving[key]) >= SHARED:
                done.add(key)
            for dependency in dependencies[key]:
                # An input whose shared users are all made is dropped: a window
                # that needs it for its own rows makes it again.
                if dependency in kept and all(user in done for user in dependents[dependency]
                                              if len(serving[user]) >= SHARED):
                    del kept[dependency]

    def computed(keys, index):
        needed = _ancestors(keys, dependencies, known=kept)
        subgraph = {key: DataNode(key, kept[key]) if key in kept else graph[key] for key in needed}
        return get(subgraph, keys, num_workers=threads, callbacks=[Keep(index)._callback])

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
