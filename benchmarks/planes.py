"""Named axes: a z-stack through a function with axes="ZYX" against a Python
loop over its planes (the two sides taking turns in one process), and the peak
memory of `pictor apply --chunked` on a large OME-Zarr.

    python benchmarks/planes.py            # both parts
    python benchmarks/planes.py stack      # the z-stack only
    python benchmarks/planes.py ome-zarr   # the OME-Zarr only (needs the 'ome' extra, ~3 GB of disk)
"""

import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import pictor

STACK_SHAPES = [(60, 1024, 1024), (200, 64, 64)]  # large planes, small ones
ROUNDS = 5
CASES = [("gaussian_blur", {"ksize": 5}), ("median_blur", {"ksize": 5}), ("auto_level", {})]
OME_ZARR_SHAPE = (8, 8192, 8192)
OME_ZARR_CHUNKS = (1, 1024, 8192)


def z_stack(shape):
    """A smooth 16-bit scene with noise: realistic levels for the statistics."""
    rng = np.random.default_rng(0)
    rows = np.linspace(0, 1, shape[1])[:, None]
    columns = np.linspace(0, 1, shape[2])[None, :]
    stack = np.empty(shape, np.uint16)
    for z in range(shape[0]):
        scene = 20000 + 15000 * np.sin(6 * rows + z / 9) * np.cos(5 * columns)
        stack[z] = np.clip(scene + rng.normal(0, 800, scene.shape), 0, 65535)
    return stack


def bench_stack():
    import cv2

    print("| stack | function | loop over planes s | axes='ZYX' s | ratio (loop/axes) |")
    print("|---|---|---:|---:|---:|")
    load_before = os.getloadavg()[0]
    for shape in STACK_SHAPES:
        bench_one_stack(z_stack(shape))
    # The cores are shared: another process's load takes the second thread's core.
    print("\nuint16 stacks; medians of {} turns; OpenCV threads {}; load average {:.1f} before, {:.1f} after."
          .format(ROUNDS, cv2.getNumThreads(), load_before, os.getloadavg()[0]))


def bench_one_stack(stack):
    for name, keywords in CASES:
        function = getattr(pictor, name)
        loop_times, axes_times = [], []
        for _ in range(ROUNDS):
            started = time.perf_counter()
            looped = np.stack([function(plane, **keywords) for plane in stack])
            loop_times.append(time.perf_counter() - started)
            started = time.perf_counter()
            named = function(stack, axes="ZYX", **keywords)
            axes_times.append(time.perf_counter() - started)
            assert np.array_equal(looped, named)
        loop, named = statistics.median(loop_times), statistics.median(axes_times)
        print("| {} | {}({}) | {:.4f} | {:.4f} | {:.2f}x |".format(
            stack.shape, name, ", ".join("{}={}".format(k, v) for k, v in keywords.items()), loop, named,
            loop / named))


def bench_ome_zarr():
    import zarr
    from ome_zarr import format as formats, writer

    folder = Path(tempfile.mkdtemp(prefix="pictor-planes-", dir=os.environ.get("BENCH_TMP")))
    try:
        source = folder / "stack.zarr"
        group = zarr.open_group(str(source), mode="w", zarr_format=3)
        rng = np.random.default_rng(1)
        level = group.create_array("s0", shape=OME_ZARR_SHAPE, chunks=OME_ZARR_CHUNKS, dtype=np.uint16)
        for z in range(OME_ZARR_SHAPE[0]):
            for top in range(0, OME_ZARR_SHAPE[1], OME_ZARR_CHUNKS[1]):
                level[z, top:top + OME_ZARR_CHUNKS[1]] = rng.integers(
                    0, 65536, OME_ZARR_CHUNKS[1:], dtype=np.uint16)
        axes = [{"name": "z", "type": "space", "unit": "micrometer"},
                {"name": "y", "type": "space", "unit": "micrometer"},
                {"name": "x", "type": "space", "unit": "micrometer"}]
        writer.write_multiscales_metadata(group, [{"path": "s0", "coordinateTransformations": [
            {"type": "scale", "scale": [2.0, 0.5, 0.5]}]}], fmt=formats.FormatV05(), axes=axes)
        command = [sys.executable, "-m", "pictor", "apply", "--chunked", "gaussian_blur", str(source),
                   "-o", str(folder / "out"), "ksize=5"]
        started = time.perf_counter()
        subprocess.run(command, check=True)
        elapsed = time.perf_counter() - started
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        print("\nOME-Zarr {} uint16 (NGFF 0.5, chunks {}), `pictor apply --chunked gaussian_blur ksize=5`: "
              "peak RSS {:.0f} MiB, {:.0f} s".format(OME_ZARR_SHAPE, OME_ZARR_CHUNKS, peak, elapsed))
    finally:
        shutil.rmtree(str(folder), ignore_errors=True)


if __name__ == "__main__":
    parts = sys.argv[1:] or ["stack", "ome-zarr"]
    if "stack" in parts:
        bench_stack()
    if "ome-zarr" in parts:
        bench_ome_zarr()
