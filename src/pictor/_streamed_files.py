"""Files in and out of a streamed computation: a tiled TIFF or Zarr store read
stripe by stripe, a TIFF written tile row by tile row in order while later
stripes compute (no scratch store, no second write), on a thread of its own."""

import contextlib
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
WRITER_QUEUE = 1
# tifffile's names of the compressions that may be asked for.
COMPRESSIONS = {"none": None, "zlib": "zlib", "zstd": "zstd", "lzw": "lzw"}
# Samples per stripe read at once (Dask's graphs).
STRIPE_SAMPLES = 1 << 22
# Samples per block of a streamed pipeline out of core: small, so that the
# blocks in flight between the reader, the steps and the writer hold little.
BLOCK_SAMPLES = 1 << 20


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
    """The pipeline from the image file source to target (see Pipeline.run_file)."""
    kind = _kind(target)
    if compression is not None and compression not in COMPRESSIONS:
        raise ValueError("compression must be one of {}, got {!r}".format(", ".join(COMPRESSIONS), compression))
    _check_tile(tile)
    if not source.exists():
        raise FileNotFoundError("{}: no such file".format(source))
    source_tile, source_compression = tiff_layout(source)
    layout = dict(tile=tile or source_tile or DEFAULT_TILE,
                  compression=source_compression if compression is None else COMPRESSIONS[compression],
                  ome=target.name.lower().endswith((".ome.tif", ".ome.tiff")))
    from pictor.stream.plan import NoStripes, stripe_steps

    source_shape, source_dtype = _image_layout(source)
    try:
        plan, _, dtype, shape = stripe_steps(pipe.steps, source_dtype, source_shape)
    except NoStripes:
        plan = None
    with written_as(target) as partial:
        if plan is not None and _distributed_client() is None:
            _run_streamed(plan, source, source_shape, (shape, dtype), partial, kind, layout, threads)
        else:
            _run_graph(pipe, source, partial, kind, layout, threads)
    return target


@contextlib.contextmanager
def written_as(target):
    """A temporary name beside target for the result; renamed to target when
    the block ends, removed (file or store) when it fails."""
    partial = _temporary_sibling(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    try:
        yield partial
        if target.name.lower().endswith(ZARR_SUFFIX) and target.exists():
            shutil.rmtree(str(target))
        os.replace(str(partial), str(target))
    finally:
        if partial.is_dir():
            shutil.rmtree(str(partial), ignore_errors=True)
        elif partial.exists():
            partial.unlink()


def _stored(path):
    """The file's samples as an array-like read region by region."""
    if _kind(path) == "zarr":
        import zarr

        return zarr.open_array(str(path), mode="r")
    return TiffRegions(path)


def _image_layout(path):
    """(shape, dtype) of the image in a TIFF (its first series) or a Zarr array."""
    if _kind(path) == "zarr":
        stored = _stored(path)
        return tuple(stored.shape), stored.dtype
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        return tuple(tiff.series[0].shape), tiff.series[0].dtype


def _run_streamed(plan, source, source_shape, result_layout, partial, kind, layout, threads):
    """The plan's stripes from the source to partial, read a stripe ahead on
    a thread of their own and written behind on another."""
    from pictor.stream import engine
    from pictor.stream.plan import block_rows

    height = source_shape[0]
    rows = block_rows(source_shape, plan, samples=BLOCK_SAMPLES)
    if _kind(source) == "tiff" and _one_plane_tiff(source):
        def read():
            return engine.ahead(tiff_bands(source), depth=1)
    else:
        stored = _stored(source)
        reading = _reading_rows(stored, rows)

        def read():
            return engine.ahead((np.asarray(stored[top:top + reading]) for top in range(0, height, reading)),
                                depth=1)

    threads = threads or 1
    shape, dtype = result_layout
    if kind == "zarr":
        import zarr

        target = zarr.open_array(str(partial), mode="w", shape=shape, dtype=dtype, chunks=(rows,) + shape[1:])
        engine.run(plan, read, height, rows, engine.filling(target), threads)
        return
    with tiff_rows(partial, shape, dtype, **layout) as target:
        engine.run(plan, read, height, rows, target.put, threads)


def _one_plane_tiff(path):
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page = tiff.pages[0]
        return tiff.series[0].shape == page.shape and (page.samplesperpixel == 1 or page.planarconfig == 1)


def tiff_bands(path):
    """The rows of a one-plane TIFF, a tile row (or strip) at a time, each
    tile read and decoded straight from the file in its stored order."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page, handle = tiff.pages[0], tiff.filehandle
        height, width, samples = page.shape[0], page.shape[1], page.shape[2:]
        band_rows = page.tilelength if page.is_tiled else page.rowsperstrip
        band = None
        for index, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
            top, left = (divmod(index, -(-width // page.tilewidth)) if page.is_tiled else (index, 0))
            top, left = top * band_rows, left * (page.tilewidth if page.is_tiled else 0)
            if left == 0:
                band = np.zeros((min(band_rows, height - top), width) + samples, page.dtype)
            if count:  # a tile never written reads as zeros
                handle.seek(offset)
                segment = page.decode(handle.read(count), index)[0]
                columns = min(segment.shape[2], width - left)
                band[:, left:left + columns] = segment[0, :band.shape[0], :columns].reshape(
                    (band.shape[0], columns) + samples)
            if left + (page.tilewidth if page.is_tiled else width) >= width:
                yield band


def _reading_rows(stored, rows):
    """Rows read at once: whole rows of the file's tiles (chunks), at least `rows`."""
    tile_rows = max(1, stored.chunks[0])
    return -(-rows // tile_rows) * tile_rows


def _run_graph(pipe, source, partial, kind, layout, threads):
    """The pipeline as pictor.dask's graph, on a distributed client when one
    is active, else on this process's threads."""
    import dask

    def read():
        return read_stripes(source)

    result = pipe.lazy(read(), read)
    with dask.config.set(scheduler="threads", num_workers=threads):
        if kind == "zarr":
            _write_zarr(result, partial, show_progress=False)
        else:
            write_tiff(result, partial, **layout)


def _distributed_client():
    if "distributed" not in sys.modules:
        return None  # no client without it; importing it costs tens of megabytes
    try:
        from distributed import default_client

        return default_client()
    except (ImportError, ValueError):
        return None


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


class TiffRows:
    """A tiled BigTIFF written tile row by tile row on a thread of its own,
    from full-width row blocks handed to put() in row order; finish() waits
    for the last tile. At most WRITER_QUEUE blocks wait for the writer."""

    def __init__(self, path, shape, dtype, tile, compression, ome=False):
        _check_tile(tile)
        self.shape, self.dtype, self.tile = tuple(shape), np.dtype(dtype), tile
        self.rows = queue.Queue(maxsize=WRITER_QUEUE)
        self.failed = None
        photometric = "rgb" if len(shape) == 3 and shape[2] == 3 else "minisblack"
        arguments = dict(shape=self.shape, dtype=self.dtype, tile=(tile, tile), bigtiff=True,
                         photometric=photometric, compression=compression, ome=ome or None)
        self.writer = threading.Thread(target=self._write, args=(str(path), arguments), name="pictor-tiff-writer",
                                       daemon=True)
        self.writer.start()

    def _write(self, path, arguments):
        import tifffile

        try:
            tifffile.imwrite(path, self._tiles(), **arguments)
        except BaseException as error:  # noqa: B902 - handed to the computing thread
            self.failed = error

    def _tiles(self):
        tile, height, width = self.tile, self.shape[0], self.shape[1]
        band = np.zeros((tile, -(-width // tile) * tile) + self.shape[2:], self.dtype)
        filled = written = 0
        while written < height:
            block = self._next_block()
            start = 0
            while start < block.shape[0]:
                take = min(tile - filled, block.shape[0] - start)
                band[filled:filled + take, :width] = block[start:start + take]
                filled, start = filled + take, start + take
                if filled == tile or written + filled == height:
                    band[filled:] = 0
                    for left in range(0, band.shape[1], tile):
                        yield band[:, left:left + tile]
                    written += filled
                    filled = 0

    def _next_block(self):
        block = self.rows.get()
        if block is None:
            raise RuntimeError("the computation stopped")
        return block

    def put(self, block):
        """The next rows; waits while the writer is behind."""
        while True:
            if self.failed is not None:
                raise RuntimeError("the TIFF writer stopped") from self.failed
            try:
                self.rows.put(block, timeout=1.0)
                return
            except queue.Full:
                pass

    def finish(self):
        self.writer.join()
        if self.failed is not None:
            raise self.failed

    def abandon(self):
        """Stops the writer after a failed computation (its file is left incomplete)."""
        while self.writer.is_alive():
            try:
                self.rows.put(None, timeout=0.1)
            except queue.Full:
                try:
                    self.rows.get_nowait()  # make room: the writer stops at the None
                except queue.Empty:
                    pass
        self.writer.join()


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
    with tiff_rows(path, result.shape, result.dtype, tile, compression, ome) as rows:
        _store(result, _InOrder(result.shape, result.dtype, rows.put))


@contextlib.contextmanager
def tiff_rows(*arguments, **keywords):
    """TiffRows, finished when the block ends, abandoned when it fails."""
    rows = TiffRows(*arguments, **keywords)
    try:
        yield rows
    except BaseException:
        rows.abandon()
        raise
    rows.finish()


def _store(result, target):
    """Every row block of result into target: on this process's threads, or,
    under a distributed client, computed on the cluster and handed over here."""
    client = _distributed_client()
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
