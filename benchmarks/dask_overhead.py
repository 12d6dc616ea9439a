"""pictor.dask on an in-memory image against the whole-image call.

An 8192 x 8192 uint16 image; the whole call and the chunked call computed with
Dask's threaded scheduler take turns; medians of REPEAT runs each.

    python benchmarks/dask_overhead.py [--side 8192] [--repeat 5] [--rows 1024]
"""

import argparse
import statistics

import dask.array as da
import numpy as np

from dask_common import timed

METHODS = ["ImageSmoother.gaussian_blur", "ImageFusion.multiply_fusion", "ImageEnhancer.auto_level"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=8192)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--rows", type=int, default=1024, help="rows of each input chunk")
    options = parser.parse_args()
    from pictor import dask as pictor_dask
    from pictor import lumenops

    rng = np.random.default_rng(0)
    src = rng.integers(0, 65536, (options.side, options.side), dtype=np.uint16)
    x = da.from_array(src, chunks=(options.rows, -1))
    for method in METHODS:
        class_name, _, name = method.partition(".")
        whole = getattr(getattr(lumenops, class_name)(), name)
        times = {"whole": [], "dask": []}
        for _ in range(options.repeat):
            times["whole"].append(timed(lambda: whole(src=src)))
            times["dask"].append(timed(lambda: pictor_dask.apply(x, method).compute(scheduler="threads")))
        ours, plain = statistics.median(times["dask"]), statistics.median(times["whole"])
        print("{}: whole {:.0f} ms, pictor.dask {:.0f} ms, ratio {:.2f}".format(
            method, plain * 1e3, ours * 1e3, ours / plain))


if __name__ == "__main__":
    main()
