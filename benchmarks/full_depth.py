"""Times pictor's full-depth functions against their recipes (the reference
model's plain NumPy/OpenCV code) on 2048x2048 uint16 images, grey and colour.

    python benchmarks/full_depth.py [--only NAME] [--repeat N] [--size N]

Both sides run in this process, taking turns (bench.py's median_ms); the
ratio is recipe time / ours. Prints a Markdown table with the CPU named.
"""
import argparse
import os
import statistics
import sys


BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
sys.path.insert(0, os.path.join(os.path.dirname(BENCH_DIR), "tests"))

import pictor  # noqa: E402
from bench import describe_mismatch, machine_description, make_image, median_ms  # noqa: E402
from cases import COLOUR16, GREY16  # noqa: E402
from reference import full_depth  # noqa: E402

# Keywords of the rows beyond the defaults: the wide kernels people use.
EXTRA_ROWS = {"gaussian_blur": [{"ksize": 15}], "mean_blur": [{"ksize": 15}], "median_blur": [{"ksize": 7}]}


def rows(only):
    from pictor import functions

    for name, function in functions.image_functions().items():
        if not getattr(function, "full_depth", False) or (only and name != only):
            continue
        kinds = (GREY16,) if function.grey_only else (GREY16, COLOUR16)
        for keywords in [{}] + EXTRA_ROWS.get(name, []):
            for kind in kinds:
                yield name, keywords, kind


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--size", type=int, default=2048)
    options = parser.parse_args()
    print("CPU: {}; pictor {}\n".format(machine_description(), pictor.__version__))
    print("| function | keywords | image | recipe ms | ours ms | ratio | exact |")
    print("|---|---|---|---:|---:|---:|---|")
    ratios = []
    for name, keywords, kind in rows(options.only):
        image = make_image(kind, options.size)
        ours = getattr(pictor, name)
        recipe = full_depth.recipe(name)

        def ours_call(src, **k):
            return ours(src, **k)

        def recipe_call(src, **k):  # the recipes leave their input alone: no copy on either side
            return recipe(src, **k)

        mismatch = describe_mismatch(ours_call(image, **keywords), recipe_call(image, **keywords))
        ours_ms, recipe_ms = median_ms((ours_call, recipe_call), image, keywords, options.repeat)
        ratios.append(recipe_ms / ours_ms)
        print("| {} | {} | {} | {:.1f} | {:.1f} | {:.1f}x | {} |".format(
            name, keywords or "defaults", kind, recipe_ms, ours_ms, recipe_ms / ours_ms, mismatch or "yes"),
            flush=True)
    if ratios:
        print("\n{} rows; median {:.1f}x, lowest {:.1f}x".format(len(ratios), statistics.median(ratios), min(ratios)))


if __name__ == "__main__":
    main()
