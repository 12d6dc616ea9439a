"""`pictor apply --scheduler local` with two worker processes against one.

Writes COUNT 16-bit TIFFs of SIDE x SIDE and runs gaussian_blur over the
folder with --workers 1 and --workers 2 (turns, best of REPEAT each).

    python benchmarks/dask_batch.py [--count 64] [--side 2048] [--repeat 2] [--scratch FOLDER]
"""

import argparse
import shutil
import tempfile
from pathlib import Path

import cv2
import numpy as np

from dask_common import pictor_command, run_measured


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=64)
    parser.add_argument("--side", type=int, default=2048)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--method", default="ImageSmoother.gaussian_blur")
    parser.add_argument("--scratch", help="folder for inputs and outputs (/dev/shm keeps the disk out of it)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.scratch) as folder:
        folder = Path(folder)
        inputs = folder / "in"
        inputs.mkdir()
        base = np.random.default_rng(0).integers(0, 65536, (options.side, options.side), dtype=np.uint16)
        for index in range(options.count):
            cv2.imwrite(str(inputs / "image_{:03d}.tif".format(index)), np.roll(base, index, axis=1))
        best = {1: float("inf"), 2: float("inf")}
        for _ in range(options.repeat):
            for workers in (1, 2):
                output = folder / "out{}".format(workers)
                seconds, _ = run_measured(pictor_command("apply", options.method, inputs, "-o", output,
                                                         "--scheduler", "local", "--workers", workers))
                best[workers] = min(best[workers], seconds)
                shutil.rmtree(str(output))
        print("{} files {}x{}: --workers 1 {:.1f} s, --workers 2 {:.1f} s, speed-up {:.2f}x".format(
            options.count, options.side, options.side, best[1], best[2], best[1] / best[2]))


if __name__ == "__main__":
    main()
