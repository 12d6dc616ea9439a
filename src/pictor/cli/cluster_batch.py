"""`pictor apply --scheduler` and `--chunked`: files on a Dask cluster, and
images larger than memory chunk by chunk.

The command line hands over its own per-file step (read, call, write), so that
a cluster run writes byte for byte what the local run writes. Every output is
first written under a temporary name beside its final path and renamed when
complete: a failing or interrupted file leaves nothing under its final name.
"""

import os
import shutil
import sys
import threading
import uuid
from pathlib import Path

from pictor.dask.files import STRIPE_SAMPLES, write_zarr
from pictor.stream.files import TiffRegions, temporary_sibling, written_as

# Output tiles of --chunked TIFF files.
TIFF_TILE = 256


def _single_threaded_opencv():
    # The files (or chunks) are the parallel work; OpenCV's own pool would compete.
    import cv2

    cv2.setNumThreads(1)


class _NoNotes:
    """Workers keep the batch's once-per-run notes to themselves."""

    def once(self, *_):
        pass


# Each task writes into a private folder of the output folder, named after its
# run, so that the run can remove the folders of tasks whose worker died (no
# `finally` runs in a killed process) and a later run can find those of a run
# that was itself killed.
SCRATCH_PREFIX, SCRATCH_SUFFIX = ".pictor-", ".partial"


def _scratch_folders(outdir, run="*"):
    pattern = "{}{}-*{}".format(SCRATCH_PREFIX, run, SCRATCH_SUFFIX)
    return sorted(path for path in Path(outdir).glob(pattern) if path.is_dir())


def remove_leftovers(outdir, progress):
    """Removes the private folders that an interrupted earlier run left, and says so."""
    leftovers = _scratch_folders(outdir)
    for folder in leftovers:
        shutil.rmtree(str(folder), ignore_errors=True)
    if leftovers:
        progress.message("removed {} unfinished temporary folder(s) of an earlier, interrupted run in {}".format(
            len(leftovers), outdir))


def process_file(apply_to_file, function, keywords, source, relative, outdir, run="x"):
    """Runs in a worker: the command line's step into a private folder, then a rename."""
    _single_threaded_opencv()
    scratch = Path(outdir) / "{}{}-{}{}".format(SCRATCH_PREFIX, run, uuid.uuid4().hex[:12], SCRATCH_SUFFIX)
    scratch.mkdir()
    try:
        written = Path(apply_to_file(function, keywords, Path(source), Path(relative), scratch,
                                     threading.Event(), _NoNotes()))
        target = Path(outdir) / written.relative_to(scratch)
        target.parent.mkdir(parents=True, exist_ok=True)
        os.replace(str(written), str(target))
        return str(target)
    finally:
        shutil.rmtree(str(scratch), ignore_errors=True)


def client_for(scheduler, workers):
    """A distributed Client: an address, or "local" for a LocalCluster of `workers` processes."""
    from distributed import Client, LocalCluster

    if scheduler == "local":
        _fork_local_workers()
        cluster = LocalCluster(n_workers=max(1, workers), threads_per_worker=1, processes=True,
                               dashboard_address=None)
        return Client(cluster)
    return Client(scheduler)


def close_client(client, scheduler):
    """The client first, so that the scheduler forgets its results, then our
    own local cluster: workers stopped while results were still wanted make
    the scheduler warn that it lost them."""
    cluster = client.cluster if scheduler == "local" else None
    client.close()
    if cluster is not None:
        cluster.close()


def _fork_local_workers():
    # Spawned worker processes each import Python, NumPy and distributed anew,
    # one after the other on a busy machine (about 0.7 s each); forked from a
    # server process that has imported them once, they start together and
    # stop at once. Only for our own LocalCluster, where the platform has it.
    import multiprocessing

    import dask

    if "forkserver" in multiprocessing.get_all_start_methods():
        dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"})


def run_files(apply_to_file, function, keywords, files, outdir, scheduler, workers, progress):
    """Each (source, relative path) as one task on the scheduler; returns (written, failed) counts.
    A file whose task kills its worker each time fails with the scheduler's
    KilledWorker once its retries are used up; the other files go on."""
    outdir = Path(outdir).resolve()
    remove_leftovers(outdir, progress)
    run = uuid.uuid4().hex[:12]
    client = client_for(scheduler, workers)
    try:
        failures = _run_on(client, apply_to_file, function, keywords, files, outdir, progress, run)
    finally:
        close_client(client, scheduler)
        for folder in _scratch_folders(outdir, run):  # those of tasks whose worker was killed
            shutil.rmtree(str(folder), ignore_errors=True)
    progress.close()
    return len(files) - failures, failures


def _run_on(client, apply_to_file, function, keywords, files, outdir, progress, run):
    from distributed import as_completed

    client.run(_single_threaded_opencv)
    futures = {client.submit(process_file, apply_to_file, function, keywords, str(Path(source).resolve()),
                             str(relative), str(outdir), run, pure=False): source for source, relative in files}
    failures = 0
    for future in as_completed(futures):
        progress.advance()
        if future.status == "finished":
            continue
        failures += 1
        error = future.exception()
        progress.message("{}: {}: {}".format(futures[future], type(error).__name__, error))
    return failures


# --- out-of-core single images ----------------------------------------------------------------

def read_lazy(path):
    """A dask array over a Zarr array or a (tiled) TIFF file, read chunk by chunk;
    each call's chunks are read by tasks of their own (see apply_rereading)."""
    import dask.array as da

    path = Path(path)
    name = "read-{}-{}".format(path.name, uuid.uuid4().hex)
    if path.suffix.lower() == ".zarr":
        return da.from_zarr(str(path), name=name)
    regions = TiffRegions(path)
    return da.from_array(regions, chunks=regions.chunks, name=name, asarray=False, lock=False, fancy=False)


def chunked_output_path(source, output):
    """OUT itself when it names a .zarr or .tif(f) file, else the input's name in the folder OUT."""
    output = Path(output)
    if output.suffix.lower() in (".zarr", ".tif", ".tiff"):
        return output
    name = source.name if source.suffix.lower() in (".zarr", ".tif", ".tiff") else source.stem + ".tif"
    return output / name


def _as_blocks(x):
    """x in 2-D blocks of whole stored chunks, about STRIPE_SAMPLES samples each (pictor.dask keeps them)."""
    side = max(1, int((STRIPE_SAMPLES // max(1, int(x.size // max(1, x.shape[0] * x.shape[1])))) ** 0.5))
    return x.rechunk({axis: min(x.shape[axis], -(-side // x.chunks[axis][0]) * x.chunks[axis][0]) for axis in (0, 1)})


def _tiles(array, tile):
    """The tile x tile blocks of an in-memory plane, row by row, zero-padded at its edges."""
    import numpy as np

    for top in range(0, array.shape[0], tile):
        band = array[top:top + tile]
        for left in range(0, array.shape[1], tile):
            block = band[:, left:left + tile]
            if block.shape[:2] != (tile, tile):
                padded = np.zeros((tile, tile) + block.shape[2:], block.dtype)
                padded[:block.shape[0], :block.shape[1]] = block
                block = padded
            yield block


def _write_tiff(result, path, source, compression, tile):
    """The result straight into a tiled BigTIFF, tile row by tile row as its
    stripes are computed, with the input's tile size and compression unless
    asked otherwise."""
    from pictor.dask import files as graph_files
    from pictor.stream import files as stream_files

    source_tile, source_compression = stream_files.tiff_layout(source)
    chosen = source_compression if compression is None else stream_files.COMPRESSIONS[compression]
    graph_files.write_tiff(result, path, tile or source_tile or TIFF_TILE, chosen)


def _plane_stripes(x, axes):
    """One plane at a time along T, Z, C; whole-width row stripes within it."""
    row_samples = x.shape[axes.index("X")] * (x.shape[axes.index("S")] if "S" in axes else 1)
    rows = max(1, STRIPE_SAMPLES // max(1, row_samples))
    return x.rechunk({position: (min(rows, x.shape[position]) if letter == "Y" else
                                 -1 if letter in "XS" else 1) for position, letter in enumerate(axes)})


def run_chunked_ome_zarr(method_name, keywords, source, target, client):
    """An OME-Zarr out of core: its full-resolution level plane by plane, stripe
    by stripe, through a scratch store; then the OME-Zarr of the result with its
    pyramid built from that store."""
    import dask.array as da

    import pictor
    from pictor import dask as pictor_dask
    from pictor.cli import ome_zarr_files

    image = ome_zarr_files.read_ome_zarr(source)
    level = str(Path(source) / image.multiscale["datasets"][0]["path"])

    def read():  # a name of its own per read: see read_lazy
        return _plane_stripes(da.from_zarr(level, name="read-{}".format(uuid.uuid4().hex)), image.axes)

    result = pictor_dask.apply_rereading(read, method_name, axes=image.axes, **keywords)
    scratch = temporary_sibling(target.with_suffix(".scratch.zarr"))
    try:
        write_zarr(result, scratch, show_progress=client is None and sys.stderr.isatty())
        stored = da.from_zarr(str(scratch))
        function = getattr(pictor, method_name.rpartition(".")[2])
        return ome_zarr_files.write_ome_zarr(target, stored, image, function, keywords)
    finally:
        shutil.rmtree(str(scratch), ignore_errors=True)


def run_chunked_ome_tiff(method_name, keywords, source, target, client):
    """The first image of an OME-TIFF out of core, plane by plane, stripe by
    stripe, through a scratch store; written tile by tile as an OME-TIFF with
    the input's metadata (see ome_files)."""
    import dask.array as da
    import numpy as np
    import tifffile
    import zarr

    import pictor
    from pictor import dask as pictor_dask
    from pictor.cli import ome_files

    images = ome_files.read_ome_tiff(source, samples=False)
    if len(images) > 1:
        raise ValueError("cannot be represented with --chunked: the OME-TIFF holds {} images (give it without "
                         "--chunked)".format(len(images)))
    image = images[0]
    axes = image.axes
    if not axes.endswith(("YX", "YXS")):
        raise ValueError("cannot be represented with --chunked: OME axes {} (planes must be stored last)".format(
            axes))

    def read():
        regions = TiffRegions(source)
        x = da.from_array(regions, chunks=regions.chunks, name="read-{}".format(uuid.uuid4().hex), asarray=False,
                          lock=False, fancy=False)
        return _plane_stripes(ome_files.opencv_order(x, axes), axes)

    function = getattr(pictor, method_name.rpartition(".")[2])
    result = pictor_dask.apply_rereading(read, method_name, axes=axes, **keywords)
    out_axes = axes if result.ndim == len(axes) else axes.replace("S", "")
    scratch = target.with_name(target.name + ".scratch.zarr")
    try:
        write_zarr(result, scratch, show_progress=client is None and sys.stderr.isatty())
        stored = zarr.open_array(str(scratch), mode="r")
        plane_dimensions = 3 if out_axes.endswith("S") else 2

        def tiles():
            for index in np.ndindex(*stored.shape[:-plane_dimensions]):
                plane = stored[index]
                for top in range(0, plane.shape[0], TIFF_TILE):
                    yield from _tiles(ome_files.opencv_order(plane[top:top + TIFF_TILE], "YXS"[:plane.ndim]),
                                      TIFF_TILE)

        metadata = dict(ome_files.result_metadata(image.metadata, function, keywords), axes=out_axes)
        with written_as(target) as partial:
            tifffile.imwrite(str(partial), tiles(), shape=stored.shape, dtype=stored.dtype,
                             tile=(TIFF_TILE, TIFF_TILE), bigtiff=True, ome=True, metadata=metadata,
                             compression="zlib", photometric="rgb" if out_axes.endswith("S") else "minisblack")
    finally:
        shutil.rmtree(str(scratch), ignore_errors=True)
    return target


def run_chunked(method_name, keywords, source, output, scheduler=None, workers=1, compression=None, tile=None):
    """One image out of core: read lazily, apply chunk by chunk, write incrementally."""
    from pictor import dask as pictor_dask
    from pictor.cli import ome_files, ome_zarr_files

    _single_threaded_opencv()
    source = Path(source)
    target = chunked_output_path(source, output).resolve()
    target.parent.mkdir(parents=True, exist_ok=True)
    ome_run = (run_chunked_ome_zarr if ome_zarr_files.is_ome_zarr(source) else
               run_chunked_ome_tiff if source.suffix.lower() in (".tif", ".tiff") and ome_files.is_ome_tiff(source)
               else None)
    if ome_run is not None:
        client = client_for(scheduler, workers) if scheduler else None
        try:
            return ome_run(method_name, keywords, source, target, client)
        finally:
            if client is not None:
                close_client(client, scheduler)
    result = pictor_dask.apply_rereading(lambda: _as_blocks(read_lazy(source)), method_name, **keywords)
    client = client_for(scheduler, workers) if scheduler else None
    try:
        with written_as(target) as partial:
            if target.suffix.lower() == ".zarr":
                write_zarr(result, partial, show_progress=client is None and sys.stderr.isatty())
            else:
                _write_tiff(result, partial, source, compression, tile)
    finally:
        if client is not None:
            close_client(client, scheduler)
    return target
