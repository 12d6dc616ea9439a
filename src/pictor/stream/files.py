"""Image files in and out of a streamed pipeline: a tiled TIFF read tile row
by tile row straight from the file (other files region by region), and a TIFF
written tile row by tile row in order behind the computation (no scratch
store, no second write), each on a thread of its own; every result written
under a temporary name and renamed when complete."""

import contextlib
import os
import queue
import shutil
import sys
import threading
import uuid
from pathlib import Path

import numpy as np

from pictor.stream import engine
from pictor.stream.plan import NoStripes, block_rows, stripe_steps

ZARR_SUFFIX = ".zarr"
TIFF_SUFFIXES = (".tif", ".tiff")
DEFAULT_TILE = 256
TILE_STEP = 16  # TIFF tiles are multiples of 16 samples
# Row blocks computed but not yet written: beyond this, computing waits for the writer.
WRITER_QUEUE = 1
# tifffile's names of the compressions that may be asked for.
COMPRESSIONS = {"none": None, "zlib": "zlib", "zstd": "zstd", "lzw": "lzw"}
# Samples per block of a streamed pipeline out of core: small, so that the
# blocks in flight between the reader, the steps and the writer hold little.
BLOCK_SAMPLES = 1 << 20


def temporary_sibling(path):
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


def file_kind(path):
    name = path.name.lower()
    if name.endswith(ZARR_SUFFIX):
        return "zarr"
    if name.endswith(TIFF_SUFFIXES):
        return "tiff"
    raise ValueError("{}: expected a .tif, .tiff, .ome.tif or .zarr name".format(path))


def tiff_layout(path):
    """(tile size, tifffile compression name) of a TIFF's first page; (None, None) otherwise."""
    if file_kind(path) != "tiff":
        return None, None
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page = tiff.pages[0]
        tile = page.tilelength if page.is_tiled and page.tilelength == page.tilewidth else None
        compression = {1: None, 5: "lzw", 8: "zlib", 32946: "zlib", 50000: "zstd"}.get(int(page.compression))
    return tile, compression


def run_file(steps, source, target, compression=None, tile=None, threads=None, graph=None):
    """The chain of steps from the image file source to target (see
    Pipeline.run_file), streamed; graph(partial, kind, layout, threads), when
    the chain has no stripe form or a distributed client is active, writes
    the result as a graph instead."""
    kind = file_kind(target)
    if compression is not None and compression not in COMPRESSIONS:
        raise ValueError("compression must be one of {}, got {!r}".format(", ".join(COMPRESSIONS), compression))
    _check_tile(tile)
    if not source.exists():
        raise FileNotFoundError("{}: no such file".format(source))
    source_tile, source_compression = tiff_layout(source)
    layout = dict(tile=tile or source_tile or DEFAULT_TILE,
                  compression=source_compression if compression is None else COMPRESSIONS[compression],
                  ome=target.name.lower().endswith((".ome.tif", ".ome.tiff")))
    source_shape, source_dtype = _image_layout(source)
    try:
        plan, _, dtype, shape = stripe_steps(steps, source_dtype, source_shape)
    except NoStripes:
        plan = None
    with written_as(target) as partial:
        if plan is not None and distributed_client() is None:
            _run_streamed(plan, source, source_shape, (shape, dtype), partial, kind, layout, threads)
        else:
            graph(partial, kind, layout, threads)
    return target


@contextlib.contextmanager
def written_as(target):
    """A temporary name beside target for the result; renamed to target when
    the block ends, removed (file or store) when it fails."""
    partial = temporary_sibling(target)
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
    if file_kind(path) == "zarr":
        import zarr

        return zarr.open_array(str(path), mode="r")
    return TiffRegions(path)


def _image_layout(path):
    """(shape, dtype) of the image in a TIFF (its first series) or a Zarr array."""
    if file_kind(path) == "zarr":
        stored = _stored(path)
        return tuple(stored.shape), stored.dtype
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        return tuple(tiff.series[0].shape), tiff.series[0].dtype


def _run_streamed(plan, source, source_shape, result_layout, partial, kind, layout, threads):
    """The plan's stripes from the source to partial, read a stripe ahead on
    a thread of their own and written behind on another."""
    height = source_shape[0]
    rows = block_rows(source_shape, plan, samples=BLOCK_SAMPLES)
    if file_kind(source) == "tiff" and _one_plane_tiff(source):
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


def distributed_client():
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
