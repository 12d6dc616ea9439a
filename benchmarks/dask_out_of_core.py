"""Peak memory of `pictor apply --chunked` on an image larger than it may use.

Writes a SIDE x SIDE uint16 tiled TIFF (24000 x 24000: 1.1 GB) tile by tile,
runs `pictor apply METHOD big.tif -o out.tif --chunked` for gaussian_blur and
auto_level, each in a fresh process, and prints its time and peak resident
memory; with --whole also the plain whole-image run for comparison.

    python benchmarks/dask_out_of_core.py [--side 24000] [--whole] [--scratch FOLDER]
"""

import argparse
import tempfile
from pathlib import Path

import numpy as np
import tifffile

from dask_common import pictor_command, run_measured

TILE = 512
METHODS = ["ImageSmoother.gaussian_blur", "ImageEnhancer.auto_level"]


def write_big_tiff(path, side):
    rng = np.random.default_rng(0)
    pattern = rng.integers(0, 65536, (TILE, TILE), dtype=np.uint16)
    count = (-(-side // TILE)) ** 2

    def tiles():
        for index in range(count):
            yield np.roll(pattern, index, axis=1)

    tifffile.imwrite(str(path), tiles(), shape=(side, side), dtype=np.uint16, tile=(TILE, TILE), bigtiff=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=24000)
    parser.add_argument("--whole", action="store_true", help="also run without --chunked")
    parser.add_argument("--scratch", help="folder for the image and the results (default: a temporary one)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.scratch) as folder:
        folder = Path(folder)
        source = folder / "big.tif"
        write_big_tiff(source, options.side)
        print("input: {} x {} uint16, {:.2f} GB".format(options.side, options.side, source.stat().st_size / 1e9))
        for method in METHODS:
            seconds, peak = run_measured(pictor_command("apply", method, source, "-o", folder / "out.tif",
                                                        "--chunked"))
            print("--chunked {}: {:.1f} s, peak RSS {:.0f} MB".format(method, seconds, peak))
            if options.whole:
                seconds, peak = run_measured(pictor_command("apply", method, source, "-o", folder / "whole",
                                                            "--workers", "1"))
                print("whole     {}: {:.1f} s, peak RSS {:.0f} MB".format(method, seconds, peak))


if __name__ == "__main__":
    main()
