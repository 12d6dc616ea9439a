"""Shared helpers of the dask benchmarks: running the command line and
measuring a child's peak resident memory."""

import os
import subprocess
import sys
import time
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parent.parent


def pictor_command(*arguments):
    return [sys.executable, "-m", "pictor", *map(str, arguments)]


def run_measured(command, cwd=None):
    """(seconds, peak RSS in MB) of one command run in a fresh grandchild, so
    that this process's own memory does not count."""
    probe = (
        "import resource, subprocess, sys, time\n"
        "start = time.perf_counter()\n"
        "done = subprocess.run(sys.argv[1:])\n"
        "elapsed = time.perf_counter() - start\n"
        "peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024\n"
        "print(elapsed, peak, done.returncode)\n"
    )
    output = subprocess.run([sys.executable, "-c", probe, *command], cwd=cwd, capture_output=True, text=True,
                            check=True, env=dict(os.environ))
    elapsed, peak, status = output.stdout.split()[-3:]
    if int(status) != 0:
        raise RuntimeError("{} failed: {}".format(" ".join(command), output.stderr[-2000:]))
    return float(elapsed), float(peak)


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start
