"""pictor.dask against dask-image and the stream, on one Zarr array.

A SIDE x SIDE uint16 image of 12-bit data (smoothed noise), stored as Zarr in
CHUNK x CHUNK chunks and as a tiled TIFF of the same samples. Each operation
runs on each side in a fresh process, the sides taking turns (REPEAT rounds);
the table gives the medians of the whole process's wall time, its peak
resident memory and the computation's seconds (the to_zarr call; for the
stream, the whole command):

  pictor.dask   pictor.dask.NAME(da.from_zarr(in), ...).to_zarr(out), threaded scheduler
  dask-image    the nearest dask-image call (same array, same store), threaded scheduler
  stream        pictor apply NAME in.tif -o out.tif ... --chunked (uncompressed, as the input)
  cluster       pictor.dask as above on a distributed.LocalCluster of 2 worker
                processes (1 thread each) on 127.0.0.1: compare its computation
                with the threaded side's (the cluster's start-up apart)
  cluster heap  the same cluster with MALLOC_MMAP_THRESHOLD_=64 MiB in its workers'
                environment: distributed's small MALLOC_TRIM_THRESHOLD_ also fixes
                glibc's threshold for mapping an allocation of its own at 128 KiB,
                so that every chunk-sized array is mapped afresh and faulted in
                page by page; with the larger threshold they come from the heap
  copy          da.from_zarr(in).to_zarr(out), no operation: the floor of every
                dask side (Zarr's reading and writing through dask), threaded
  cluster copy  the same copy on the cluster of 2 workers: the floor of "cluster"

The operations: gaussian_blur ksize=5 (dask-image: gaussian_filter sigma 1.1,
truncate 2 / 1.1, mode "mirror": OpenCV's kernel and border, in float),
median_blur ksize=7 (median_filter size 7, mode "nearest") and auto_level
(ndmeasure.histogram of the 65,536 levels, its 1% and 99% levels, a NumPy
stretch of each chunk). The Zarr results are written uncompressed, as the
stream writes its TIFF; --zstd gives to_zarr's default (Zstandard) instead.

    python benchmarks/dask_vs_dask_image.py [--side 16000] [--chunk 2000] [--repeat 3] [--scratch /tmp] [--zstd]
                                            [--only gaussian_blur,median_blur,auto_level] [--sides ...]

Needs the "bench" environment (requirements/bench.txt: dask-image).
"""

import argparse
import json
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from dask_common import pictor_command, run_measured

OPERATIONS = {
    "gaussian_blur": {"ksize": 5},
    "median_blur": {"ksize": 7},
    "auto_level": {},
}
SIDES = ("pictor.dask", "dask-image", "stream", "cluster", "cluster heap", "copy", "cluster copy")
# The allocator setting of the "cluster heap" side (see the module documentation).
HEAP_ENVIRONMENT = {"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 64 << 20}
AUTO_LEVEL_PERCENT = 0.01  # auto_level's default low_percent and high_percent
SECONDS_FILE = "seconds"


def cpu_name():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


# --- the input ----------------------------------------------------------------------------------

def make_input(folder, side, chunk):
    """in.zarr (chunk x chunk) and in.tif (512 x 512 tiles) of the same 12-bit samples."""
    import cv2
    import numpy as np
    import tifffile
    import zarr

    rng = np.random.default_rng(0)
    store = zarr.create_array(str(folder / "in.zarr"), shape=(side, side), chunks=(chunk, chunk), dtype=np.uint16,
                              compressors=None)
    stripe = 2048

    def stripes():
        for top in range(0, side, stripe):
            noise = rng.integers(0, 4096, (min(stripe, side - top), side), dtype=np.uint16)
            smooth = cv2.blur(noise, (3, 3))
            yield smooth

    with tifffile.TiffWriter(str(folder / "in.tif"), bigtiff=True) as tif:
        def tiles():
            top = 0
            for block in stripes():
                store[top:top + block.shape[0]] = block
                top += block.shape[0]
                padded = np.zeros((-(-block.shape[0] // 512) * 512, -(-side // 512) * 512), np.uint16)
                padded[:block.shape[0], :side] = block
                for row in range(0, block.shape[0], 512):
                    for column in range(0, side, 512):
                        yield padded[row:row + 512, column:column + 512]

        assert stripe % 512 == 0
        tif.write(tiles(), shape=(side, side), dtype=np.uint16, tile=(512, 512))


# --- one run, in a fresh process ----------------------------------------------------------------

def _auto_levels(counts, total):
    """The levels at the 1% and 99% positions among the sorted samples."""
    import numpy as np

    cumulative = np.cumsum(counts[()] if counts.ndim == 0 else counts)
    positions = int(total * AUTO_LEVEL_PERCENT), int(total * (1 - AUTO_LEVEL_PERCENT))
    return tuple(int(np.searchsorted(cumulative, position, side="right")) for position in positions)


def _dask_image(name, x):
    import dask
    import numpy as np
    from dask_image import ndfilters, ndmeasure

    if name == "gaussian_blur":
        return ndfilters.gaussian_filter(x, sigma=1.1, truncate=2 / 1.1, mode="mirror")
    if name == "median_blur":
        return ndfilters.median_filter(x, size=7, mode="nearest")
    counts = ndmeasure.histogram(x, 0, 65536, 65536)  # a 0-d array holding the counts
    limits = dask.delayed(_auto_levels)(counts, x.size)

    def stretch(block, limits):
        lo, hi = limits
        scaled = (block.astype(np.float32) - lo) * np.float32(65535.0 / max(hi - lo, 1))
        return np.clip(scaled, 0, 65535).astype(np.uint16)

    return x.map_blocks(stretch, limits, dtype=np.uint16)


def run_one(side, name, folder, zstd):
    """One side's run of one operation (in this fresh process); leaves the computation's seconds in
    SECONDS_FILE."""
    (folder / SECONDS_FILE).write_text(str(_computation_seconds(side, name, folder, zstd)))


def _computation_seconds(side, name, folder, zstd):
    out = folder / "out-{}".format(side.replace(".", "-").replace(" ", "-"))
    shutil.rmtree(str(out), ignore_errors=True)
    if side == "stream":
        command = pictor_command("apply", name, folder / "in.tif", "-o", str(out) + ".tif", "--chunked",
                                 "--overwrite", *("{}={}".format(k, v) for k, v in OPERATIONS[name].items()))
        start = time.perf_counter()
        subprocess.run(command, check=True)
        return time.perf_counter() - start
    import dask
    import dask.array as da

    client = None
    if side.startswith("cluster"):
        from distributed import Client, LocalCluster

        dask.config.set(HEAP_ENVIRONMENT if side == "cluster heap" else {})
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", processes=True,
                                     dashboard_address=None))
    x = da.from_zarr(str(folder / "in.zarr"))
    if side == "dask-image":
        result = _dask_image(name, x)
    elif side.endswith("copy"):
        result = x
    else:
        from pictor import dask as pictor_dask

        result = getattr(pictor_dask, name)(x, **OPERATIONS[name])
    start = time.perf_counter()
    store = dict(overwrite=True, **({} if zstd else {"compressors": None}))
    if client is None:
        with dask.config.set(scheduler="threads"):
            result.to_zarr(str(out) + ".zarr", **store)
    else:
        result.to_zarr(str(out) + ".zarr", **store)
    seconds = time.perf_counter() - start
    if client is not None:
        client.close()
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=16000)
    parser.add_argument("--chunk", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scratch", default=None)
    parser.add_argument("--only", default=",".join(OPERATIONS))
    parser.add_argument("--sides", default=",".join(SIDES))
    parser.add_argument("--zstd", action="store_true",
                        help="the Zarr results compressed as to_zarr does by default (Zstandard); else uncompressed, "
                             "as the stream writes the uncompressed input's TIFF")
    parser.add_argument("--run", nargs=2, metavar=("SIDE", "NAME"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.run:
        run_one(options.run[0], options.run[1], Path(options.scratch), options.zstd)
        return
    folder = Path(tempfile.mkdtemp(prefix="dask-vs-dask-image-", dir=options.scratch))
    try:
        make_input(folder, options.side, options.chunk)
        print("{} ({} cores); {} x {} uint16, chunks {} x {}; Zarr results {}; medians of {} fresh runs each".format(
            cpu_name(), _cores(), options.side, options.side, options.chunk, options.chunk,
            "Zstandard-compressed" if options.zstd else "uncompressed", options.repeat))
        for name in options.only.split(","):
            _compare(name, options.sides.split(","), folder, options.repeat, options.zstd)
    finally:
        shutil.rmtree(str(folder), ignore_errors=True)


def _cores():
    import os

    return len(os.sched_getaffinity(0))


def _compare(name, sides, folder, repeat, zstd):
    runs = {side: [] for side in sides}
    for _ in range(repeat):
        for side in sides:  # in turns: every side sees the same load
            runs[side].append(_fresh_run(side, name, folder, zstd))
    print("\n" + name)
    print("| side | wall | peak RSS | computation |")
    print("|---|---:|---:|---:|")
    for side in sides:
        wall, peak, computation = (statistics.median(values) for values in zip(*runs[side]))
        print("| {} | {:.2f} s | {:.0f} MiB | {:.2f} s |".format(side, wall, peak, computation))
    print(json.dumps({side: runs[side] for side in sides}))


def _fresh_run(side, name, folder, zstd):
    """(wall seconds, peak RSS MiB, computation seconds) of one run in a fresh process."""
    command = [sys.executable, str(Path(__file__).resolve()), "--run", side, name, "--scratch", str(folder)]
    command += ["--zstd"] if zstd else []
    wall, peak = run_measured(command, cwd=str(Path(__file__).resolve().parent))
    return wall, peak, float((folder / SECONDS_FILE).read_text())


if __name__ == "__main__":
    main()
