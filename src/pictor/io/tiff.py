"""TIFF files read and written in pieces: the file as regions (its Zarr view,
for dask), its rows a tile row (or strip) at a time straight from the file,
and a tiled TIFF written tile row by tile row from row blocks handed over in
order, on a thread of its own."""

import contextlib
import os
import queue
import threading
import warnings
from pathlib import Path

import numpy as np

from pictor.io import kinds
from pictor.io.kinds import COMPRESSION_OF_CODE, check_tile
from pictor.io.safety import FileWarning

# Row blocks computed but not yet written: beyond this, computing waits for the writer.
WRITER_QUEUE = 1


def warn_missing_tiles(path, tiff):
    """Warns, naming the file, when tiles or strips of its first series are
    missing or lie beyond the end of the file (a truncated copy): they read as zeros."""
    size = os.path.getsize(str(path))
    missing = total = 0
    for page in tiff.series[0].pages:
        if page is None:
            continue
        for offset, count in zip(page.dataoffsets, page.databytecounts):
            total += 1
            missing += (count == 0 or offset + count > size)
    if missing:
        warnings.warn("{}: {} of {} tiles or strips are missing or cut off (a truncated file?); they read as "
                      "zeros".format(path, missing, total), FileWarning, stacklevel=3)


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

                with tifffile.TiffFile(self.path) as tiff:
                    warn_missing_tiles(self.path, tiff)
                # the full resolution of a pyramid (level 0 of any file)
                self._open[key] = zarr.open(tifffile.imread(self.path, aszarr=True, level=0), mode="r")
            return self._open[key]

    def __getitem__(self, region):
        return self._stored()[region]

    def __getstate__(self):
        return {"path": self.path, "shape": self.shape, "dtype": self.dtype, "ndim": self.ndim,
                "chunks": self.chunks}


def tiff_layout(path):
    """(tile size, tifffile compression name) of a TIFF's first page."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page = tiff.pages[0]
        tile = page.tilelength if page.is_tiled and page.tilelength == page.tilewidth else None
        return tile, COMPRESSION_OF_CODE.get(int(page.compression))


def series_layout(path):
    """(shape, dtype) of the first series of a TIFF."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        return tuple(tiff.series[0].shape), tiff.series[0].dtype


def holds_one_image(shape):
    """Whether samples of this shape are rows of pixels that a TIFF image holds (grey, or three samples each)."""
    return len(shape) == 2 or (len(shape) == 3 and shape[2] == 3)


def is_one_plane(path):
    """Whether the TIFF's first series is one interleaved plane, readable band by band."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        page = tiff.pages[0]
        return tiff.series[0].shape == page.shape and (page.samplesperpixel == 1 or page.planarconfig == 1)


def tiff_bands(path):
    """The rows of a one-plane TIFF, a tile row (or strip) at a time, each
    tile read and decoded straight from the file in its stored order."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        warn_missing_tiles(path, tiff)
        page, handle = tiff.pages[0], tiff.filehandle
        height, width, samples = page.shape[0], page.shape[1], page.shape[2:]
        band_rows = page.tilelength if page.is_tiled else page.rowsperstrip
        band = None
        for index, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
            top, left = (divmod(index, -(-width // page.tilewidth)) if page.is_tiled else (index, 0))
            top, left = top * band_rows, left * (page.tilewidth if page.is_tiled else 0)
            if left == 0:
                band = np.zeros((min(band_rows, height - top), width) + samples, page.dtype)
            data = b""
            if count:
                handle.seek(offset)
                data = handle.read(count)
            if len(data) == count and count:  # a missing or cut-off tile reads as zeros (warned above)
                segment = page.decode(data, index)[0]
                columns = min(segment.shape[2], width - left)
                band[:, left:left + columns] = segment[0, :band.shape[0], :columns].reshape(
                    (band.shape[0], columns) + samples)
            if left + (page.tilewidth if page.is_tiled else width) >= width:
                yield band


class WriterStopped(RuntimeError):
    """The TIFF writer's thread failed; its error is the cause."""


class TiffRows:
    """A tiled BigTIFF written tile row by tile row on a thread of its own,
    from full-width row blocks handed to put() in row order; finish() waits
    for the last tile. At most WRITER_QUEUE blocks wait for the writer.
    tifffile_options (metadata, ome, photometric...) go to tifffile as they are."""

    def __init__(self, path, shape, dtype, tile, compression, ome=False, **tifffile_options):
        check_tile(tile)
        self.shape, self.dtype, self.tile = tuple(shape), np.dtype(dtype), tile
        self.rows = queue.Queue(maxsize=WRITER_QUEUE)
        self.failed = None
        photometric = "rgb" if len(shape) == 3 and shape[2] == 3 else "minisblack"
        arguments = dict(dict(shape=self.shape, dtype=self.dtype, tile=(tile, tile), bigtiff=True,
                              photometric=photometric, compression=compression, ome=ome or None),
                         **tifffile_options)
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
                raise WriterStopped("the TIFF writer stopped: {}".format(self.failed)) from self.failed
            try:
                self.rows.put(block, timeout=0.2)
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


def plane_tiles(plane, tile):
    """The tile x tile blocks of an in-memory plane, row by row, zero-padded at its edges."""
    for top in range(0, plane.shape[0], tile):
        band = plane[top:top + tile]
        for left in range(0, plane.shape[1], tile):
            block = band[:, left:left + tile]
            if block.shape[:2] != (tile, tile):
                padded = np.zeros((tile, tile) + block.shape[2:], block.dtype)
                padded[:block.shape[0], :block.shape[1]] = block
                block = padded
            yield block


def output_layout(source, target, compression=None, tile=None):
    """The TIFF layout of target: the input's tile size and compression
    unless asked otherwise (tile, compression, whether OME)."""
    compression = kinds.check_compression(compression)
    kinds.check_tile(tile)
    source_tile, source_compression = tiff_layout(source) if kinds.is_tiff(source) else (None, None)
    chosen = source_compression if compression is None else kinds.COMPRESSIONS[compression]
    if kinds.file_kind(target) == "zarr" and (compression is not None or tile is not None):
        raise ValueError("{}: --compression and --tile apply to TIFF outputs, not to a Zarr store".format(target))
    return dict(tile=tile or source_tile or kinds.DEFAULT_TILE, compression=chosen,
                ome=kinds.names_ome_tiff(target))
