"""Chains streamed stripe by stripe: pictor against libvips (pyvips) on one
SIDE x SIDE uint16 tiled BigTIFF, in turns, each run a fresh process whose
peak resident memory is measured whole.

    make bench-streaming        # environment "bench" (main + pyvips), then this script
    .venv/bench/bin/python benchmarks/streaming.py [--side 24000] [--repeat 1] [--scratch FOLDER]

Rows:
- one operation out of core: pictor's gaussian_blur ksize=5 (a one-step
  pipeline, full depth) against vips gaussblur with OpenCV's sigma for ksize 5;
- the chain auto_level | gaussian_blur | canny_edge out of core against vips's
  percentile stretch, gaussblur and canny (with a threshold);
- the same chain in memory on the NumPy image against the three function
  calls one after another (time; memory beyond the input and the output);
- reading and writing alone (vips copy), the floor of the out-of-core rows.
"""

import argparse
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from dask_common import run_measured  # noqa: E402
from dask_out_of_core import write_big_tiff  # noqa: E402

KSIZE = 5
SIGMA = 0.3 * ((KSIZE - 1) * 0.5 - 1) + 0.8  # OpenCV's sigma for a ksize x ksize Gaussian
CHAIN = '("auto_level", ("gaussian_blur", {"ksize": %d}), "canny_edge")' % KSIZE

PICTOR_BLUR = """
import sys, pictor
pictor.pipeline(("gaussian_blur", {"ksize": %d})).run_file(sys.argv[1], sys.argv[2])
""" % KSIZE

PICTOR_CHAIN = """
import sys, pictor
pictor.pipeline(*%s).run_file(sys.argv[1], sys.argv[2])
""" % CHAIN

VIPS_OPEN = """
import sys, pyvips
def source():
    return pyvips.Image.new_from_file(sys.argv[1], access="sequential")
def save(image):
    image.tiffsave(sys.argv[2], tile=True, tile_width=512, tile_height=512, bigtiff=True)
"""

VIPS_COPY = VIPS_OPEN + "save(source())\n"
VIPS_BLUR = VIPS_OPEN + "save(source().gaussblur(%r, precision='integer'))\n" % SIGMA
VIPS_CHAIN = VIPS_OPEN + """
low, high = source().percent(1), source().percent(99)      # one pass for the stretch's levels
stretched = ((source() - low) * (65535.0 / max(high - low, 1))).cast("ushort")
edges = stretched.gaussblur(%r, precision="integer").canny(sigma=1.0, precision="integer")
save((edges > 4).ifthenelse(65535, 0).cast("ushort"))
""" % SIGMA

# In memory: the whole image read first; time and peak RSS of the work alone,
# with the memory beyond the input and the output.
IN_MEMORY = """
import resource, sys, time, tifffile, pictor
def rss_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS"):
            return int(line.split()[1]) / 1024
img = tifffile.imread(sys.argv[1])
before = rss_mb()
steps = %s
start = time.perf_counter()
if sys.argv[2] == "pipeline":
    out = pictor.pipeline(*steps)(img)
else:
    out = img
    for step in steps:
        name, keywords = (step, {}) if isinstance(step, str) else step
        out = getattr(pictor, name)(out, **keywords)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print("RESULT", elapsed, peak - before - out.nbytes / 2**20)
""" % CHAIN


def python_run(script, *arguments):
    return [sys.executable, "-c", script, *map(str, arguments)]


def measured(command):
    # The previous run's written pages reach the disk first, not during this run.
    os.sync()
    return run_measured(command)


def in_memory(big, mode):
    os.sync()
    output = subprocess.run(python_run(IN_MEMORY, big, mode), capture_output=True, text=True, check=True)
    line = [line for line in output.stdout.splitlines() if line.startswith("RESULT")][-1]
    return tuple(float(v) for v in line.split()[1:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=24000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--scratch", help="folder for the files (default: a temporary one)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.scratch) as folder:
        folder = Path(folder)
        big = folder / "big.tif"
        write_big_tiff(big, options.side)
        out = folder / "out.tif"
        rows = {"vips copy": [], "pictor gaussian_blur": [], "vips gaussblur": [], "pictor chain": [],
                "vips chain": [], "pictor chain in memory": [], "three calls in memory": []}
        for turn in range(options.repeat):  # the sides take turns
            rows["vips copy"].append(measured(python_run(VIPS_COPY, big, out)))
            rows["pictor gaussian_blur"].append(measured(python_run(PICTOR_BLUR, big, out)))
            rows["vips gaussblur"].append(measured(python_run(VIPS_BLUR, big, out)))
            rows["pictor chain"].append(measured(python_run(PICTOR_CHAIN, big, out)))
            rows["vips chain"].append(measured(python_run(VIPS_CHAIN, big, out)))
            # Which side goes first alternates: a fresh process's first touch of
            # memory costs more after the file-writing runs than after another
            # run that used as much memory.
            pair = [("pictor chain in memory", "pipeline"), ("three calls in memory", "calls")]
            for name, mode in pair if turn % 2 == 0 else pair[::-1]:
                rows[name].append(in_memory(big, mode))
            out.unlink(missing_ok=True)
    print("{} ({} cores), {} x {} uint16 tiled BigTIFF (512-pixel tiles, uncompressed); best of {}".format(
        platform.processor() or platform.machine(), os.cpu_count(), options.side, options.side,
        options.repeat))
    print("| run | seconds | peak RSS MB (in memory: beyond input and output) |")
    print("|---|---|---|")
    for name, runs in rows.items():
        seconds, memory = min(runs)
        print("| {} | {:.1f} | {:.0f} |".format(name, seconds, memory))


if __name__ == "__main__":
    main()
