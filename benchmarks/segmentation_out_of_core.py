"""pictor's automatic threshold and connected components out of core, on one
SIDE x SIDE uint16 tiled BigTIFF (24000 x 24000: 1.15 GB) of round objects
on 12-bit levels. Each run is a fresh process whose time and peak resident
memory are measured whole:

- threshold_level: pictor.dask.threshold_level over the file's rows of tiles
  (a dask array of tifffile's Zarr store), one pass summing the counts of the
  levels;
- threshold: pictor.pipeline("threshold").run_file, a pass counting the
  levels, then each stripe mapped through the level and written (mask.tif);
- label: pictor.pipeline(("label", {"connectivity": 2})).run_file on that
  mask, row stripes labelled on their own, joined at their seams and
  renumbered (int32 labels.tif);
- the floor: a process that imports pictor and dask and does nothing.

    python benchmarks/segmentation_out_of_core.py [--side 24000] [--method otsu] [--scratch FOLDER]

Prints a Markdown table with the CPU named, and the size of the image and of
one stripe of the streamed runs for scale.
"""

import argparse
import os
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
sys.path.insert(0, str(BENCH_DIR.parent / "tests"))

import numpy as np  # noqa: E402
import tifffile  # noqa: E402

from bench import machine_description  # noqa: E402
from conftest import blob_image  # noqa: E402
from dask_common import run_measured  # noqa: E402

TILE = 512

FLOOR = "import pictor, dask.array"
LEVEL = """
import sys, dask.array as da, tifffile, pictor.dask
x = da.from_zarr(tifffile.imread(sys.argv[1], aszarr=True), chunks=(int(sys.argv[3]), -1))
print(pictor.dask.threshold_level(x, method=sys.argv[2]).compute(scheduler="threads"))
"""
THRESHOLD = """
import sys, pictor
pictor.pipeline(("threshold", {"method": sys.argv[3]})).run_file(sys.argv[1], sys.argv[2])
"""
LABEL = """
import sys, pictor
pictor.pipeline(("label", {"connectivity": 2})).run_file(sys.argv[1], sys.argv[2])
"""


def write_blob_tiff(path, side):
    """Tiles of one blob image (12-bit levels), each rolled by its own shift."""
    pattern = blob_image(0, 4095, np.uint16, shape=(TILE, TILE), seed=3, blobs=60)[0]
    count = (-(-side // TILE)) ** 2

    def tiles():
        for index in range(count):
            yield np.roll(pattern, (7 * index) % TILE, axis=index % 2)

    tifffile.imwrite(str(path), tiles(), shape=(side, side), dtype=np.uint16, tile=(TILE, TILE), bigtiff=True)


def python(script, *arguments):
    return [sys.executable, "-c", script, *map(str, arguments)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=24000)
    parser.add_argument("--method", default="otsu")
    parser.add_argument("--scratch", help="folder for the image and the results (default: a temporary one)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.scratch) as folder:
        folder = Path(folder)
        source, mask, labels = folder / "big.tif", folder / "mask.tif", folder / "labels.tif"
        write_blob_tiff(source, options.side)
        runs = [("floor: import pictor, dask.array", python(FLOOR)),
                ("threshold_level method={} (pictor.dask)".format(options.method),
                 python(LEVEL, source, options.method, TILE)),
                ("threshold method={} (pipeline.run_file)".format(options.method),
                 python(THRESHOLD, source, mask, options.method)),
                ("label connectivity=2 (pipeline.run_file on the mask)", python(LABEL, mask, labels))]
        rows = []
        for name, command in runs:
            seconds, peak = run_measured(command)
            rows.append("| {} | {:.1f} | {:.0f} |".format(name, seconds, peak))
            print(rows[-1], file=sys.stderr)
        image_mb = options.side * options.side * 2 / 2 ** 20
        tile_row_mb = TILE * options.side * 2 / 2 ** 20
    print("{}; load average {:.1f}; {} x {} uint16 tiled BigTIFF ({:.0f} MiB), tiles {} x {} (one row of "
          "tiles {:.1f} MiB); each run a fresh process.\n".format(
              machine_description(), os.getloadavg()[0], options.side, options.side, image_mb, TILE, TILE,
              tile_row_mb))
    print("| run | seconds | peak RSS MiB |\n|---|---:|---:|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
