"""How long each path that writes files takes to stop after Ctrl-C.

Each path runs as a real process, in a process group of its own as a
terminal's foreground job is, on inputs large enough to take several seconds.
Once the run is under way (its first temporary file is in the output folder,
or START seconds have passed), the whole group gets SIGINT, as Ctrl-C sends
it; the table gives the seconds until the command ended (what a shell waits
for), until every process it started had ended too (a cluster's workers), its
exit status, and whether anything was left in the output folder (a result or
a temporary name). Linux only (/proc).

    python benchmarks/interrupt_latency.py [--repeat N] [--folder DIR] [--only WORD]
"""

import argparse
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import tifffile

START = 15.0  # seconds after which a run with no temporary file yet is interrupted anyway
WAIT = 120.0
RNG = np.random.default_rng(5)


def tiled_tiff(path, shape=(8192, 8192)):
    tifffile.imwrite(str(path), RNG.integers(0, 65536, shape, dtype=np.uint16), tile=(256, 256))


def plain_tiffs(folder, count=6, shape=(4096, 4096)):
    folder.mkdir()
    for index in range(count):
        tifffile.imwrite(str(folder / "f{}.tif".format(index)), RNG.integers(0, 65536, shape, dtype=np.uint16))


def ome_tiff(path):
    tifffile.imwrite(str(path), RNG.integers(0, 65536, (4, 4096, 4096), dtype=np.uint16), ome=True,
                     tile=(256, 256), metadata={"axes": "ZYX"})


def imagej_folder(folder):
    folder.mkdir()
    tifffile.imwrite(str(folder / "stack.tif"), RNG.integers(0, 65536, (4, 3, 2048, 2048), dtype=np.uint16),
                     imagej=True, metadata={"axes": "ZCYX"})


def ome_zarr(path):
    import ome_zarr.format
    import ome_zarr.writer
    import zarr

    group = zarr.open_group(str(path), mode="w", zarr_format=2)
    ome_zarr.writer.write_image(RNG.integers(0, 65536, (4, 4096, 4096), dtype=np.uint16), group,
                                scale_factors=[2], fmt=ome_zarr.format.FormatV04(), axes=["c", "y", "x"],
                                storage_options={"chunks": (1, 512, 512)})


def pictor(*words):
    return [sys.executable, "-m", "pictor", *map(str, words)]


def run_file(source, target):
    return [sys.executable, "-c", "import sys, pictor; pictor.pipeline('gaussian_blur').run_file(sys.argv[1], "
            "sys.argv[2])", str(source), str(target)]


def cases(inputs):
    """(path, command of the output folder out)"""
    big, plain, stack, store, imagej = (inputs / "big.tif", inputs / "plain", inputs / "stack.ome.tif",
                                        inputs / "cells.zarr", inputs / "imagej")
    return [
        ("batch", lambda out: pictor("apply", "gaussian_blur", plain, "-o", out, "--workers", "2")),
        ("--chunked", lambda out: pictor("apply", "--chunked", "gaussian_blur", big, "-o", out / "big.tif")),
        ("--chunked chain", lambda out: pictor("apply", "--chunked", "auto_level | gaussian_blur ksize=5", big,
                                               "-o", out / "big.tif")),
        ("run_file", lambda out: run_file(big, out / "big.tif")),
        ("cluster batch", lambda out: pictor("apply", "gaussian_blur", plain, "-o", out, "--scheduler", "local",
                                             "--workers", "2")),
        ("OME-TIFF --chunked", lambda out: pictor("apply", "--chunked", "gaussian_blur", stack, "-o", out)),
        ("OME-TIFF batch", lambda out: pictor("apply", "gaussian_blur", stack, "-o", out)),
        ("OME-Zarr --chunked", lambda out: pictor("apply", "--chunked", "gaussian_blur", store, "-o", out)),
        ("OME-Zarr batch", lambda out: pictor("apply", "gaussian_blur", store, "-o", out)),
        ("ImageJ batch", lambda out: pictor("apply", "gaussian_blur", imagej, "-o", out)),
    ], [(tiled_tiff, big), (plain_tiffs, plain), (ome_tiff, stack), (ome_zarr, store), (imagej_folder, imagej)]


def left_in(folder):
    return sorted(path.name for path in folder.rglob("*")) if folder.exists() else []


def interrupt(command, out):
    """(seconds from SIGINT to the command's end, to the end of every process it started, exit status,
    what the output folder holds, whether it was writing)."""
    out.mkdir()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    started = time.monotonic()
    while process.poll() is None and time.monotonic() - started < START and not any(
            ".pictor-" in path.name for path in out.rglob("*")):
        time.sleep(0.02)
    if process.poll() is not None:
        return None, None, process.returncode, left_in(out), False
    writing = any(".pictor-" in path.name for path in out.rglob("*"))
    signalled = time.monotonic()
    os.killpg(process.pid, signal.SIGINT)
    try:
        process.wait(timeout=WAIT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    ended = time.monotonic() - signalled
    while group_lives(process.pid) and time.monotonic() - signalled < WAIT:
        time.sleep(0.01)
    return ended, time.monotonic() - signalled, process.returncode, left_in(out), writing


def group_lives(group):
    """Whether a process of the group still runs (a zombie does not)."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = open("/proc/{}/stat".format(entry)).read().rpartition(")")[2].split()
            except OSError:
                continue
            if int(fields[2]) == group and fields[0] not in ("Z", "X"):
                return True
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="interruptions per path (the table gives the slowest)")
    parser.add_argument("--folder", help="where the inputs are made (default: a temporary folder)")
    parser.add_argument("--only", help="only the paths whose name holds this word")
    options = parser.parse_args()
    root = Path(options.folder or tempfile.mkdtemp(prefix="pictor-interrupt-"))
    inputs = root / "in"
    inputs.mkdir(parents=True, exist_ok=True)
    paths, makers = cases(inputs)
    paths = [(name, command) for name, command in paths if options.only is None or options.only in name]
    for make, where in makers:
        if not where.exists():
            make(where)
    print("{}; {} cores; Python {}, NumPy {}; {} interruptions per path, SIGINT to the process group once the "
          "run writes (or after {:.0f} s)".format(cpu_name(), os.cpu_count(), platform.python_version(),
                                                  np.__version__, options.repeat, START))
    print()
    print("| path | slowest stop, s | all stops, s | all its processes gone, s | writing when stopped | exit status "
          "| left in the output folder |")
    print("|---|---:|---|---|---|---|---|")
    for name, command in paths:
        latencies, gone, statuses, left, writing = [], [], set(), set(), []
        for attempt in range(options.repeat):
            out = root / "out-{}-{}".format(name.replace(" ", "_").replace("-", ""), attempt)
            latency, all_gone, status, remaining, was_writing = interrupt(command(out), out)
            shutil.rmtree(str(out), ignore_errors=True)
            latencies.append(latency)
            gone.append(all_gone)
            statuses.add(status)
            left.update(remaining)
            writing.append("yes" if was_writing else "no")
        shown = [value for value in latencies if value is not None]
        print("| {} | {} | {} | {} | {} | {} | {} |".format(
            name, "{:.2f}".format(max(shown)) if shown else "ended before", seconds(shown),
            seconds(value for value in gone if value is not None), " ".join(writing),
            ", ".join(map(str, sorted(statuses))), ", ".join(sorted(left)) or "nothing"))
    if not options.folder:
        shutil.rmtree(str(root), ignore_errors=True)


def seconds(values):
    return " ".join("{:.2f}".format(value) for value in values)


def cpu_name():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


if __name__ == "__main__":
    main()
