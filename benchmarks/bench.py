"""Times pictor.lumenops against the reference model (plain NumPy + OpenCV).

    python benchmarks/bench.py [--only NAME] [--repeat N] [--no-memory] [--size N]
                               [--output FILE]

For every case of benchmarks/cases/ whose method is built (does not raise
NotImplementedError) and every image kind of the case (2048x2048 uint16 grey,
uint16 colour, uint8 grey by default), both sides run in this process; each
time is the median of at least N runs (more for fast calls, until each side
has run for a quarter of a second), the two sides and a plain `src.copy()` of
the input taking turns; the speed ratio is reference time / our time, the copy
ratio our time / the copy's (one read and one write of the image: the floor
for a method that returns an image of the input's size). Our side is timed
once more with cv2.setNumThreads(1), which makes every call single-threaded
(taking turns with the reference again, for the least number of rounds),
beside the default thread count, so the gain from the other cores shows.
Unless --no-memory is given, the extra peak resident memory of one call is
measured for each side in a fresh subprocess: allocate the input, warm the
libraries up on a small image, reset the high-water mark through
/proc/self/clear_refs, call once, and take VmHWM minus the resident size just
before the call. The memory ratio is ours / reference (smaller is better).

Runs in the repository root (DeepLearning loads its model from there). A full
run (no --only, default size) writes benchmarks/RESULTS.md; other runs
only print the table unless --output is given. --only NAME keeps the cases whose
method name, or Class.method, equals NAME.
"""
import argparse
import ctypes
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import cv2
import numpy as np

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)

from cases import COLOUR16, GREY8, GREY16, all_cases, case_by_id  # noqa: E402
from pictor import lumenops  # noqa: E402

DEFAULT_SIZE = 2048
RESULTS_PATH = os.path.join(BENCH_DIR, "RESULTS.md")
MIB = 1024 * 1024
# A fast call is timed over more rounds, so that its median is not at the
# mercy of a few interruptions; the extra rounds of one case stop after
# EXTRA_ROUNDS_SECONDS, so that a fast side (src.copy()) does not hold a slow
# one to hundreds of rounds.
MIN_TIMED_SECONDS = 0.25
EXTRA_ROUNDS_SECONDS = 3.0
MAX_ROUNDS = 500
# Every large block is mapped and unmapped on its own, so memory freed before
# the call cannot be reused silently by the call and hide its peak.
MEASURE_ENV = {"MALLOC_MMAP_THRESHOLD_": "131072", "MALLOC_TRIM_THRESHOLD_": "131072"}


def make_image(kind, size):
    """Smooth gradients plus noise, the same for every run."""
    rng = np.random.default_rng(20240607)
    y, x = np.mgrid[0:size, 0:size] / size
    channels = 3 if kind == COLOUR16 else 1
    planes = []
    for channel in range(channels):
        smooth = 0.5 + 0.3 * np.sin(2 * np.pi * (1.5 * x + 0.5 * y + channel / 3)) \
            * np.cos(2 * np.pi * (0.7 * y - 0.3 * x))
        planes.append(np.clip(smooth + rng.normal(0.0, 0.04, (size, size)), 0.0, 1.0))
    values = planes[0] if channels == 1 else np.stack(planes, axis=-1)
    if kind == GREY8:
        return np.round(values * 255).astype(np.uint8)
    return np.round(values * 65535).astype(np.uint16)


def case_label(case):
    class_name, method_name, keywords = case[:3]
    arguments = ", ".join(f"{key}={value!r}" for key, value in keywords.items())
    return f"{class_name}.{method_name}({arguments})"


def ours(case):
    class_name, method_name = case[:2]
    return getattr(getattr(lumenops, class_name)(), method_name)


def is_built(case):
    try:
        ours(case)(src=make_image(case[4][0], 8), **case[2])
    except NotImplementedError:
        return False
    except Exception:
        pass  # a real failure shows up when the case is timed
    return True


def median_ms(functions, image, keywords, repeat, min_seconds=MIN_TIMED_SECONDS):
    """Median time of each function; the functions take turns, in alternating
    order, so that both see the same caches, allocator and machine load.
    At least `repeat` rounds, and more for fast calls, until every side has run
    for `min_seconds` (at most MAX_ROUNDS rounds, and no extra round begun
    EXTRA_ROUNDS_SECONDS after the first)."""
    times = [[] for _ in functions]
    round_index = 0
    first_started = time.perf_counter()

    def wants_more_rounds():
        return (round_index < MAX_ROUNDS and min(map(sum, times)) < min_seconds
                and time.perf_counter() - first_started < EXTRA_ROUNDS_SECONDS)

    while round_index < repeat or wants_more_rounds():
        order = range(len(functions)) if round_index % 2 == 0 else reversed(range(len(functions)))
        for side in order:
            started = time.perf_counter()
            functions[side](src=image, **keywords)
            times[side].append(time.perf_counter() - started)
        round_index += 1
    return [statistics.median(side_times) * 1000 for side_times in times]


def copy_of_source(src, **keywords):
    return src.copy()


def time_case(case, kind, image, repeat):
    keywords, reference = case[2], case[3]
    method = ours(case)
    mismatch = describe_mismatch(method(src=image, **keywords), reference(src=image, **keywords))
    ours_ms, reference_ms, copy_ms = median_ms((method, reference, copy_of_source), image, keywords, repeat)
    # Single-threaded, taking turns with the reference again (for `repeat`
    # rounds): its large temporaries, freed and returned to the system, leave
    # our next call fresh pages to fault in, as in the default column.
    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        single_ms = median_ms((method, reference), image, keywords, repeat, min_seconds=0)[0]
    finally:
        cv2.setNumThreads(threads)
    return {"ours_ms": ours_ms, "reference_ms": reference_ms, "copy_ms": copy_ms, "single_ms": single_ms,
            "mismatch": mismatch}


def describe_mismatch(result, expected):
    """None when both results are the same array, else what differs."""
    if not isinstance(result, np.ndarray):
        return f"returned {type(result).__name__}"
    if result.dtype != expected.dtype or result.shape != expected.shape:
        return f"{result.dtype} {result.shape} instead of {expected.dtype} {expected.shape}"
    differing = np.count_nonzero(result != expected)
    return f"{differing} of {result.size} values differ" if differing else None


def read_status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def release_free_memory():
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure_in_this_process(case_id, kind, side, size):
    """Child process: the extra peak resident memory of one call, in bytes."""
    case = case_by_id(case_id)
    function = ours(case) if side == "ours" else case[3]
    keywords = case[2]
    image = make_image(kind, size)
    function(src=np.ascontiguousarray(image[:16, :16]), **keywords)  # load and warm the libraries
    release_free_memory()
    reset_peak()
    before = read_status_kib("VmRSS")
    result = function(src=image, **keywords)
    peak = read_status_kib("VmHWM")
    del result
    return (peak - before) * 1024


def extra_peak_bytes(case_id, kind, side, size):
    """The child's measurement, or None if it failed (its error is on stderr)."""
    command = [sys.executable, os.path.abspath(__file__), "--measure", case_id, kind, side, str(size)]
    completed = subprocess.run(command, env={**os.environ, **MEASURE_ENV},
                               stdout=subprocess.PIPE, universal_newlines=True)
    if completed.returncode != 0:
        return None
    return json.loads(completed.stdout.strip().splitlines()[-1])["extra_bytes"]


def format_ratio(numerator, denominator):
    return f"{numerator / denominator:.1f}x" if denominator > 0 else "-"


def format_mib(value):
    return "-" if value is None else f"{value / MIB:.1f}"


def results_table(rows):
    lines = ["| method | image | ours ms | ours ms, 1 thread | reference ms | speed ratio (ref/ours) "
             "| ours / src.copy() | our extra peak MiB | reference extra peak MiB | memory ratio (ours/ref) |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        memory_ratio = "-"
        if row.get("ours_bytes") is not None and row.get("reference_bytes"):
            memory_ratio = f"{row['ours_bytes'] / row['reference_bytes']:.2f}"
        lines.append(f"| {row['label']} | {row['kind']} | {row['ours_ms']:.2f} | {row['single_ms']:.2f} "
                     f"| {row['reference_ms']:.2f} | {format_ratio(row['reference_ms'], row['ours_ms'])} "
                     f"| {format_ratio(row['ours_ms'], row['copy_ms'])} "
                     f"| {format_mib(row.get('ours_bytes'))} | {format_mib(row.get('reference_bytes'))} "
                     f"| {memory_ratio} |")
    return lines


def machine_description():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores"


def report(rows, skipped, failed, options, load_before):
    lines = ["# Benchmark results", "",
             f"{datetime.date.today().isoformat()}; {machine_description()}; "
             f"Python {platform.python_version()}, NumPy {np.__version__}, OpenCV {cv2.__version__}.",
             f"Load average (1 min) {load_before:.1f} at the start and {os.getloadavg()[0]:.1f} at the end: "
             "on a shared machine the times vary from run to run, the memory figures do not.",
             f"Images {options.size}x{options.size}; times are medians of at least {options.repeat} runs in one "
             f"process (more for fast calls, until each side has run {MIN_TIMED_SECONDS} s or the extra runs have "
             f"taken {EXTRA_ROUNDS_SECONDS} s), the two "
             "sides and `src.copy()` taking turns, with OpenCV's default thread count "
             f"({cv2.getNumThreads()}); '1 thread' is ours again with cv2.setNumThreads(1), taking turns "
             "with the reference for the least number of runs; "
             "extra peak memory is the high-water mark of one call "
             "above the resident size just before it, each in a fresh process.",
             "Command: `python benchmarks/bench.py`.", ""]
    lines += results_table(rows)
    ratios = sorted(row["reference_ms"] / row["ours_ms"] for row in rows if row["ours_ms"] > 0)
    if ratios:
        lines += ["", f"Speed ratio over the {len(ratios)} rows: median {statistics.median(ratios):.1f}x, "
                      f"lowest {ratios[0]:.1f}x, highest {ratios[-1]:.1f}x."]
    differing = [f"{row['label']} on {row['kind']} ({row['mismatch']})" for row in rows if row["mismatch"]]
    if differing:
        lines += ["", "Results differing from the reference model: " + "; ".join(differing) + "."]
    if skipped:
        lines += ["", "Not built yet, not measured: " + ", ".join(skipped) + "."]
    if failed:
        lines += ["", "Failed: " + "; ".join(failed) + "."]
    return "\n".join(lines) + "\n"


def run(options):
    load_before = os.getloadavg()[0]
    cases = all_cases()
    if options.only:
        cases = [(case_id, case) for case_id, case in cases
                 if options.only in (case[1], f"{case[0]}.{case[1]}")]
    rows, skipped, failed, images = [], [], [], {}
    for case_id, case in cases:
        if not is_built(case):
            skipped.append(case_label(case))
            continue
        for kind in case[4]:
            if kind not in images:
                images[kind] = make_image(kind, options.size)
            row = {"label": case_label(case), "kind": kind}
            try:
                row.update(time_case(case, kind, images[kind], options.repeat))
            except Exception as error:
                failed.append(f"{case_label(case)} on {kind}: {type(error).__name__}: {error}")
                continue
            if options.memory:
                row["ours_bytes"] = extra_peak_bytes(case_id, kind, "ours", options.size)
                row["reference_bytes"] = extra_peak_bytes(case_id, kind, "reference", options.size)
                if None in (row["ours_bytes"], row["reference_bytes"]):
                    failed.append(f"{case_label(case)} on {kind}: memory measurement failed")
            rows.append(row)
            print(results_table([row])[-1], file=sys.stderr, flush=True)
    text = report(rows, skipped, failed, options, load_before)
    print(text)
    output = options.output
    if output is None and not options.only and options.size == DEFAULT_SIZE:
        output = RESULTS_PATH
    if output:
        text += kept_sections(output)
        with open(output, "w") as stream:
            stream.write(text)
        print(f"written to {output}")
    return 1 if failed or any(row["mismatch"] for row in rows) else 0


# Sections of RESULTS.md that other benchmark scripts fill in by hand (full
# depth, dask, threads, ...) follow the table, each under its own second-level
# heading; all of them are kept when the table is rewritten.
KEPT_SECTIONS_HEADING = "\n## "


def kept_sections(path):
    try:
        with open(path) as stream:
            previous = stream.read()
    except OSError:
        return ""
    start = previous.find(KEPT_SECTIONS_HEADING)
    return "" if start < 0 else previous[start:]


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", metavar="NAME", help="method name or Class.method")
    parser.add_argument("--repeat", type=int, default=7, metavar="N", help="least number of timed runs per side")
    parser.add_argument("--no-memory", dest="memory", action="store_false",
                        help="skip the peak-memory measurements")
    parser.add_argument("--size", type=int, default=DEFAULT_SIZE, help="image side in pixels")
    parser.add_argument("--output", help="write the table to this file")
    return parser.parse_args(argv)


def main(argv):
    if argv[:1] == ["--measure"]:
        case_id, kind, side, size = argv[1:]
        extra = measure_in_this_process(case_id, kind, side, int(size))
        print(json.dumps({"extra_bytes": extra}))
        return 0
    options = parse_options(argv)
    if options.output:
        options.output = os.path.abspath(options.output)
    os.chdir(ROOT)  # DeepLearning opens its model relative to the working directory
    return run(options)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
