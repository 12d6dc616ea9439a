"""The volume filters out of core: pictor.dask against dask-image's ndfilters
on one OME-Zarr stack larger than the memory either side should take.

A DEPTH x SIDE x SIDE uint16 stack (200 x 4096 x 4096: 6.7 GB) is written
once, plane block by plane block from a generator, as an uncompressed OME-Zarr
(level "0" in CHUNK-plane x 1024 x 1024 chunks), and removed at the end. Each
filter runs on each side in a fresh process, the sides taking turns:

  pictor.dask   pictor.dask.NAME(da.from_zarr(level 0), ...).to_zarr(out)
  stream        pictor.pipeline((NAME, keywords)).run_file(level 0, out.zarr):
                slabs of planes with their halo, read ahead and written behind
  dask-image    dask_image.ndfilters.NAME(the same array, ...).to_zarr(out)

the Dask sides on Dask's threaded scheduler, their results written
uncompressed (the stream's with Zarr's default compression). The table gives
each run's wall time (the whole process) and peak resident memory, and
whether the results are equal (they are scipy.ndimage's on each side).

    python benchmarks/volumes_out_of_core.py [--depth 200] [--side 4096] [--chunk 20] [--scratch FOLDER]
                                             [--only gaussian,uniform,median] [--sides pictor.dask,stream,dask-image]

Needs the "bench" environment (requirements/bench.txt: dask-image).
"""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

from dask_common import run_measured
from dask_vs_dask_image import cpu_name

FILTERS = {
    "gaussian": ("gaussian_filter", {"sigma": (1, 2, 2)}),
    "uniform": ("uniform_filter", {"size": 5}),
    "median": ("median_filter", {"size": 3}),
}
SIDES = ("pictor.dask", "stream", "dask-image")
# The stream reads a .zarr array: level 0 of the OME-Zarr under a name of that suffix.
LEVEL_LINK = "level.zarr"
PLANE_CHUNK = 1024


def write_stack(path, depth, side, chunk):
    """An OME-Zarr 0.5 image of one level, written CHUNK planes at a time."""
    import numpy as np
    import zarr

    root = zarr.open_group(str(path), mode="w", zarr_format=3)
    root.attrs["ome"] = {"version": "0.5", "multiscales": [{
        "axes": [{"name": "z", "type": "space", "unit": "micrometer"},
                 {"name": "y", "type": "space", "unit": "micrometer"},
                 {"name": "x", "type": "space", "unit": "micrometer"}],
        "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": [2.0, 0.5, 0.5]}]}],
    }]}
    level = root.create_array("0", shape=(depth, side, side), chunks=(chunk, PLANE_CHUNK, PLANE_CHUNK),
                              dtype=np.uint16, compressors=None, dimension_names=("z", "y", "x"))
    pattern = np.random.default_rng(0).integers(0, 65536, (chunk, side, side), dtype=np.uint16)

    def slabs():
        for top in range(0, depth, chunk):
            yield top, np.roll(pattern[:min(chunk, depth - top)], top * 7, axis=2)

    for top, slab in slabs():
        level[top:top + slab.shape[0]] = slab


def run_one(side, name, folder):
    """One side's run of one filter, in this fresh process."""
    import dask
    import dask.array as da

    function, keywords = FILTERS[name]
    if side == "stream":
        import pictor

        pictor.pipeline((function, keywords)).run_file(folder / LEVEL_LINK, folder / "out-stream.zarr")
        return
    x = da.from_zarr(str(folder / "in.zarr"), component="0")
    if side == "dask-image":
        from dask_image import ndfilters

        result = getattr(ndfilters, function)(x, **keywords)
    else:
        from pictor import dask as pictor_dask

        result = getattr(pictor_dask, function)(x, **keywords)
    with dask.config.set(scheduler="threads"):
        result.to_zarr(str(folder / "out-{}.zarr".format(side)), overwrite=True, compressors=None)


def same_results(folder, sides):
    import dask.array as da

    first, *others = (da.from_zarr(str(folder / "out-{}.zarr".format(side))) for side in sides)
    return all(bool((first == other).all().compute(scheduler="threads")) for other in others)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--depth", type=int, default=200)
    parser.add_argument("--side", type=int, default=4096)
    parser.add_argument("--chunk", type=int, default=20, help="planes per chunk")
    parser.add_argument("--scratch", default=None)
    parser.add_argument("--only", default=",".join(FILTERS))
    parser.add_argument("--sides", default=",".join(SIDES))
    parser.add_argument("--run", nargs=2, metavar=("SIDE", "NAME"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.run:
        run_one(options.run[0], options.run[1], Path(options.scratch))
        return
    folder = Path(tempfile.mkdtemp(prefix="volumes-out-of-core-", dir=options.scratch))
    try:
        write_stack(folder / "in.zarr", options.depth, options.side, options.chunk)
        (folder / LEVEL_LINK).symlink_to(folder / "in.zarr" / "0", target_is_directory=True)
        print("{}; stack {} x {} x {} uint16 ({:.1f} GB), chunks {} x {} x {}, uncompressed".format(
            cpu_name(), options.depth, options.side, options.side, options.depth * options.side ** 2 * 2 / 1e9,
            options.chunk, PLANE_CHUNK, PLANE_CHUNK))
        print("| filter | side | wall s | peak RSS MiB |")
        print("|---|---|---:|---:|")
        sides = options.sides.split(",")
        for name in options.only.split(","):
            for side in sides:
                command = [sys.executable, str(Path(__file__).resolve()), "--run", side, name,
                           "--scratch", str(folder)]
                wall, peak = run_measured(command, cwd=str(Path(__file__).resolve().parent))
                print("| {} {} | {} | {:.1f} | {:.0f} |".format(name, FILTERS[name][1], side, wall, peak), flush=True)
            if len(sides) > 1:
                print("| {}: results equal | {} | | |".format(name, same_results(folder, sides)), flush=True)
            for side in SIDES:
                shutil.rmtree(str(folder / "out-{}.zarr".format(side)), ignore_errors=True)
    finally:
        shutil.rmtree(str(folder), ignore_errors=True)


if __name__ == "__main__":
    main()
