"""pictor.dask on an in-memory image against the whole-image call.

An 8192 x 8192 uint16 image; the whole call and the chunked call computed with
Dask's threaded scheduler take turns; medians of REPEAT runs each. The floor
is the whole call plus one copy of its result: `compute()` hands back a copy
of even a one-chunk result, and joins the chunks of any other into a new array.

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
        times = {"whole": [], "copy": [], "dask": []}
        for _ in range(options.repeat):
            times["whole"].append(timed(lambda: whole(src=src)))
            times["copy"].append(timed(src.copy))
            times["dask"].append(timed(lambda: pictor_dask.apply(x, method).compute(scheduler="threads")))
        ours, plain, copy = (statistics.median(times[side]) for side in ("dask", "whole", "copy"))
        print("{}: whole {:.0f} ms, src.copy() {:.0f} ms, pictor.dask {:.0f} ms, ratio {:.2f} "
              "(floor, whole + copy: {:.2f})".format(method, plain * 1e3, copy * 1e3, ours * 1e3, ours / plain,
                                                     (plain + copy) / plain))


if __name__ == "__main__":
    main()
