"""Throughput of `pictor apply` with one and with two worker threads.

Writes COUNT 16-bit TIFFs of SIDE x SIDE to a temporary folder, runs
`python -m pictor apply ImageSmoother.gaussian_blur` over the folder with
--workers 1 and --workers 2 (best of REPEAT runs each) and prints the ratio.

    python benchmarks/cli_workers.py [--count 200] [--side 1024] [--repeat 3]
                                     [--scratch FOLDER]

The 200 outputs are 560 MB of TIFF: on a slow disk the run measures the
disk's write-back rate rather than the workers, so give --scratch a folder in
memory (/dev/shm) to measure the CLI itself.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np


def make_inputs(folder, count, side):
    rng = np.random.default_rng(0)
    base = rng.integers(0, 65536, (side, side), dtype=np.uint16)
    for index in range(count):
        cv2.imwrite(str(folder / "image_{:04d}.tif".format(index)), np.roll(base, index, axis=1))


def run_apply(inputs, output, workers):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "pictor", "apply", "ImageSmoother.gaussian_blur", str(inputs),
                    "-o", str(output), "--workers", str(workers)], check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--side", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scratch", default=None,
                        help="folder for the images (default: the system's temporary folder)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.scratch) as scratch:
        inputs = Path(scratch) / "in"
        inputs.mkdir()
        make_inputs(inputs, options.count, options.side)
        best = {}
        for _ in range(options.repeat):
            for workers in (1, 2):
                seconds = run_apply(inputs, Path(scratch) / "out{}".format(workers), workers)
                best[workers] = min(best.get(workers, seconds), seconds)
    print("{} x {}x{} uint16 TIFF, gaussian_blur: 1 worker {:.2f} s, 2 workers {:.2f} s, speed-up {:.2f}x".format(
        options.count, options.side, options.side, best[1], best[2], best[1] / best[2]))


if __name__ == "__main__":
    main()
