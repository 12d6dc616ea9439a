"""Throughput of pictor.lumenops from one caller thread and from several.

    python benchmarks/threads.py [--size N] [--seconds S] [--callers 1,2,4]
                                 [--only NAME] [--all] [--reference] [--output FILE]

For each point-wise method that is built (the methods that map every sample
independently, plus global reductions), the same image is processed back to
back from 1 caller thread, then from 2 and 4 callers sharing it, for S seconds
each; throughput is calls per second over all callers. Every figure is taken
twice: with OpenCV's default thread count, where each call splits its rows
over the cores itself, and with cv2.setNumThreads(1), where each call runs on
its caller's thread and only several callers use several cores. The last
column, the lowest throughput of several callers over that of one, must not
fall below 1: calls that split themselves share the cores instead of
oversubscribing them. --all adds every other built keyword method;
--reference measures the plain NumPy + OpenCV recipe the same way. Run it on
an otherwise idle machine: other processes on the cores lower the figures.
"""
import argparse
import inspect
import os
import sys
import threading
import time

import cv2
import numpy as np

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

from cases import all_cases  # noqa: E402
from pictor import lumenops  # noqa: E402

# (class, method, keywords): every sample mapped independently, or after a
# global reduction (mean, min, max).
POINTWISE = [
    ("ImageEnhancer", "gamma_stretched", {}),
    ("ImageEnhancer", "gamma_stretched", {"gamma_value": 1.7}),
    ("ImageEnhancer", "maximum_gray_level", {}),
    ("ImageEnhancer", "maximum_grayscale_value", {}),
    ("ImageEnhancer", "brightness_contrast", {"brightness": 10, "contrast": 1.3}),
    ("ImageEnhancer", "brightness_transfer", {}),
    ("ImageFusion", "multiply_fusion", {}),
    ("ImageFusion", "screen_fusion", {}),
    ("ImageEnhancer", "auto_level", {}),
    ("ImageEnhancer", "adaptive_histogram_truncation_stretched", {}),
    ("ImageSegmenter", "maximum_entropy_threshold_segmentation", {}),
    ("FeatureDetection", "canny_edge", {}),
]


def make_image(size):
    rng = np.random.default_rng(20240607)
    y, x = np.mgrid[0:size, 0:size] / size
    smooth = 0.5 + 0.3 * np.sin(2 * np.pi * (1.5 * x + 0.5 * y)) * np.cos(2 * np.pi * (0.7 * y - 0.3 * x))
    values = np.clip(smooth + rng.normal(0.0, 0.04, (size, size)), 0.0, 1.0)
    return (values * 65535).astype(np.uint16)


def is_built(function, image):
    try:
        function(image)
    except NotImplementedError:
        return False
    return True


def throughput(function, image, threads, seconds):
    """Calls per second over all threads, each calling back to back."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def loop(index):
        start.wait()
        while not stop.is_set():
            function(image)
            counts[index] += 1

    workers = [threading.Thread(target=loop, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def reference_functions():
    found = {}
    for _, (class_name, method, kwargs, reference, _) in all_cases():
        found.setdefault((class_name, method), reference)
    return found


def selected_methods(args):
    methods = list(POINTWISE)
    if args.all:
        for class_name, cls in vars(lumenops).items():
            if not isinstance(cls, type) or cls is lumenops.SingletonBase \
                    or not issubclass(cls, lumenops.SingletonBase):
                continue
            for name, function in vars(cls).items():
                if name.startswith("_") or name == "crop_return" \
                        or "src" not in inspect.signature(function).parameters:
                    continue
                if not any(c == class_name and m == name for c, m, _ in methods):
                    methods.append((class_name, name, {}))
    if args.only:
        methods = [m for m in methods if args.only in (m[1], "{}.{}".format(m[0], m[1]))]
    return methods


MODES = [("default threads", -1), ("1 thread per call", 1)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--callers", default="1,2,4")
    parser.add_argument("--only")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("--reference", action="store_true")
    parser.add_argument("--output", help="also write the table to this file")
    args = parser.parse_args()
    caller_counts = [int(n) for n in args.callers.split(",")]

    image = make_image(args.size)
    references = reference_functions() if args.reference else {}
    lines = ["{} x {} uint16 grey, {} s per figure, {} cores, load average {}.".format(
        args.size, args.size, args.seconds, os.cpu_count(), " ".join(
            "{:.2f}".format(v) for v in os.getloadavg())), ""]
    header = "| method | keywords | side | threads per call | " + " | ".join(
        "{} caller{} calls/s".format(n, "" if n == 1 else "s") for n in caller_counts) + " | several / one |"
    lines += [header, "|" + "---|" * 4 + "---:|" * (len(caller_counts) + 1)]
    for line in lines:
        print(line, flush=True)
    for class_name, method, kwargs in selected_methods(args):
        try:
            tool = getattr(lumenops, class_name)()
            ours = (lambda image, m=getattr(tool, method), k=kwargs: m(src=image, **k))
            built = is_built(ours, image)
        except Exception as error:  # e.g. the DeepLearning model is missing here
            lines.append("| {}.{} | | not available: {} | |".format(class_name, method, type(error).__name__))
            print(lines[-1])
            continue
        if not built:
            continue
        sides = [("pictor", ours)]
        reference = references.get((class_name, method))
        if reference is not None:
            sides.append(("reference", lambda image, r=reference, k=kwargs: r(src=image, **k)))
        for side, function in sides:
            for mode, setting in MODES:
                cv2.setNumThreads(setting)
                function(image)  # warm-up
                rates = [throughput(function, image, n, args.seconds) for n in caller_counts]
                worst = min(rates[1:]) / rates[0] if len(rates) > 1 else 1.0
                lines.append("| {}.{} | {} | {} | {} | {} | {:.2f}{} |".format(
                    class_name, method, kwargs or "", side, mode, " | ".join("{:.1f}".format(r) for r in rates),
                    worst, "" if worst >= 1.0 else " (below one caller)"))
                print(lines[-1], flush=True)
    cv2.setNumThreads(-1)
    if args.output:
        with open(args.output, "w") as stream:
            stream.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
