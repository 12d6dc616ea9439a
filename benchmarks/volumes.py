"""Times pictor's volume filters against scipy.ndimage and scikit-image on a
(60, 1024, 1024) uint16 stack.

    python benchmarks/volumes.py [--depth N] [--side N] [--only WORD]

One run of each side per case, the sides taking turns (scipy, scikit-image,
ours) in this process; every result of ours is compared with scipy's. Prints
a Markdown table with the CPU named: ratio = reference seconds / ours.
"""
import argparse
import os
import sys
import time

import numpy as np
import scipy.ndimage as ndi
import skimage.filters

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

import pictor  # noqa: E402
from bench import machine_description  # noqa: E402

CASES = [
    ("gaussian sigma (1, 2, 2)", lambda v: ndi.gaussian_filter(v, (1, 2, 2)),
     lambda v: skimage.filters.gaussian(v, sigma=(1, 2, 2), preserve_range=True, mode="reflect",
                                        truncate=4.0).astype(v.dtype),
     lambda v: pictor.gaussian_filter(v, (1, 2, 2))),
    ("gaussian sigma (2, 4, 4)", lambda v: ndi.gaussian_filter(v, (2, 4, 4)),
     lambda v: skimage.filters.gaussian(v, sigma=(2, 4, 4), preserve_range=True, mode="reflect",
                                        truncate=4.0).astype(v.dtype),
     lambda v: pictor.gaussian_filter(v, (2, 4, 4))),
    ("median 3x3x3", lambda v: ndi.median_filter(v, 3),
     lambda v: skimage.filters.median(v, np.ones((3, 3, 3), bool), mode="reflect", behavior="ndimage"),
     lambda v: pictor.median_filter(v, 3)),
    ("median 5x5x5", lambda v: ndi.median_filter(v, 5),
     lambda v: skimage.filters.median(v, np.ones((5, 5, 5), bool), mode="reflect", behavior="ndimage"),
     lambda v: pictor.median_filter(v, 5)),
    ("uniform 5x5x5", lambda v: ndi.uniform_filter(v, 5), None, lambda v: pictor.uniform_filter(v, 5)),
]


def seconds(call, volume):
    started = time.perf_counter()
    result = call(volume)
    return time.perf_counter() - started, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=60)
    parser.add_argument("--side", type=int, default=1024)
    parser.add_argument("--only", help="the cases whose label holds this word")
    options = parser.parse_args()
    volume = np.random.default_rng(0).integers(0, 65536, (options.depth, options.side, options.side), np.uint16)
    load = os.getloadavg()[0]
    print("CPU: {}; load average {:.1f} at the start; stack {} uint16\n".format(
        machine_description(), load, volume.shape))
    print("| filter | scipy s | scikit-image s | pictor s | ratio to scipy | ratio to scikit-image | equal to scipy |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for label, scipy_call, skimage_call, ours_call in CASES:
        if options.only and options.only not in label:
            continue
        scipy_seconds, expected = seconds(scipy_call, volume)
        skimage_seconds = seconds(skimage_call, volume)[0] if skimage_call else None
        ours_seconds, ours = seconds(ours_call, volume)
        print("| {} | {:.2f} | {} | {:.3f} | {:.1f} | {} | {} |".format(
            label, scipy_seconds, "{:.2f}".format(skimage_seconds) if skimage_call else "-", ours_seconds,
            scipy_seconds / ours_seconds,
            "{:.1f}".format(skimage_seconds / ours_seconds) if skimage_call else "-",
            "yes" if np.array_equal(expected, ours) else "NO"), flush=True)
        del expected, ours


if __name__ == "__main__":
    main()
