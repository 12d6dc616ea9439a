"""pictor.dask's canny_edge on row stripes: time and peak memory.

A SIDE x SIDE uint16 noise image (the worst case for hysteresis across
stripes: millions of small candidate regions), computed by pictor.dask with
Dask's threaded scheduler, at full depth (pictor.dask.canny_edge) and through
the tool's route (FeatureDetection.canny_edge), each run in a fresh process so
that its peak resident memory is its own. With --before PYTHONPATH (a build of
another tree), the two trees take turns; medians of REPEAT runs.

    python benchmarks/dask_canny.py [--side 8000] [--repeat 3] [--amplitude 65536] [--before PATH]
"""

import argparse
import os
import statistics
import subprocess
import sys

CHILD = """
import resource, sys, time
import numpy as np
from pictor import dask as pd
side, route, amplitude = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
src = np.random.default_rng(0).integers(0, amplitude, (side, side), dtype=np.uint16)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
start = time.perf_counter()
if route == "full depth":
    edges = pd.canny_edge(src, low_thr=10, high_thr=30).compute(scheduler="threads")
else:
    edges = pd.apply(src, "FeatureDetection.canny_edge", low_thr=10, high_thr=30).compute(scheduler="threads")
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(elapsed, peak - before, int(np.count_nonzero(edges)))
"""

ROUTES = ("full depth", "tool")


def run_child(pythonpath, side, route, amplitude):
    environment = dict(os.environ, PYTHONPATH=pythonpath)
    output = subprocess.run([sys.executable, "-c", CHILD, str(side), route, str(amplitude)], capture_output=True,
                            text=True,
                            env=environment)
    if output.returncode != 0:
        raise RuntimeError("{} failed: {}".format(route, output.stderr[-2000:]))
    seconds, megabytes, edges = output.stdout.split()[-3:]
    return float(seconds), float(megabytes), int(edges)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=8000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--amplitude", type=int, default=65536,
                        help="noise levels 0 to AMPLITUDE - 1 (2570: working levels 0 to 9, mostly weak candidates)")
    parser.add_argument("--before", help="PYTHONPATH of the tree to compare with")
    options = parser.parse_args()
    trees = {"this tree": os.environ.get("PYTHONPATH", "")}
    if options.before:
        trees = {"before": options.before, **trees}
    for route in ROUTES:
        runs = {tree: [] for tree in trees}
        for _ in range(options.repeat):
            for tree, path in trees.items():
                runs[tree].append(run_child(path, options.side, route, options.amplitude))
        edge_counts = {run[2] for tree_runs in runs.values() for run in tree_runs}
        assert len(edge_counts) == 1, "the trees disagree: {}".format(edge_counts)
        for tree, tree_runs in runs.items():
            seconds = statistics.median(run[0] for run in tree_runs)
            megabytes = statistics.median(run[1] for run in tree_runs)
            print("{} {}x{} uint16 noise 0-{}, {}: {:.2f} s, peak memory above the input {:.0f} MB".format(
                route, options.side, options.side, options.amplitude - 1, tree, seconds, megabytes))


if __name__ == "__main__":
    main()
