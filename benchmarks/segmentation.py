"""Times pictor.threshold_level and pictor.label against scikit-image's
threshold_<method> and scipy.ndimage.label, on a 2048x2048 image and a
(60, 1024, 1024) stack (per plane: axes="ZYX" against a loop over the planes).
The minimum method only on the 2-D image: scikit-image smooths the 4,096
bins of a 12-bit histogram in Python for seconds per plane. Labels of the
Otsu masks, and on the 2-D image also of a noise mask (30 % of the pixels
set at random: runs of a pixel or two, the run-based labelling's worst case).

    python benchmarks/segmentation.py [--repeat N] [--quick]

Both sides run in this process, taking turns (bench.py's median_ms); every
pair is checked equal first. The ratio is reference time / ours. Prints a
Markdown table with the CPU named.
"""
import argparse
import os
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
sys.path.insert(0, os.path.join(os.path.dirname(BENCH_DIR), "tests"))

import numpy as np  # noqa: E402
from scipy import ndimage  # noqa: E402
from skimage import filters  # noqa: E402

import pictor  # noqa: E402
from bench import machine_description, median_ms  # noqa: E402
from conftest import blob_image  # noqa: E402

METHODS = ["otsu", "li", "triangle", "yen", "isodata", "mean", "minimum"]
PLANE_ONLY_METHODS = {"minimum"}
NOISE_DENSITY = 0.3


def image_2d(side):
    return blob_image(0, 4095, np.uint16, shape=(side, side), seed=1, blobs=400)[0]


def stack(planes, side):
    plane = image_2d(side)
    return np.stack([np.roll(plane, 37 * index, axis=1) for index in range(planes)])


def level_pair(method, planes):
    reference = getattr(filters, "threshold_" + method)
    if planes.ndim == 2:
        return (lambda img: reference(img)), (lambda img: pictor.threshold_level(img, method=method))
    return ((lambda img: [reference(plane) for plane in img]),
            (lambda img: pictor.threshold_level(img, method=method, axes="ZYX")))


def label_pair(connectivity, masks):
    structure = ndimage.generate_binary_structure(2, connectivity)
    if masks.ndim == 2:
        return ((lambda img: ndimage.label(img, structure)[0]),
                (lambda img: pictor.label(img, connectivity=connectivity)[0]))
    return ((lambda img: np.stack([ndimage.label(plane, structure)[0] for plane in img])),
            (lambda img: pictor.label(img, connectivity=connectivity, axes="ZYX")[0]))


def check(pair, data):
    expected, ours = (np.asarray(side(data)) for side in pair)
    if not np.array_equal(expected, ours):
        raise SystemExit("results differ")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a (6, 1024, 1024) stack")
    options = parser.parse_args()
    cases = [("2048x2048", image_2d(2048)), ("(60, 1024, 1024)", stack(6 if options.quick else 60, 1024))]
    rows = []
    for shape, data in cases:
        masks = pictor.threshold(data, method="otsu", axes="ZYX" if data.ndim == 3 else None) > 0
        methods = [m for m in METHODS if data.ndim == 2 or m not in PLANE_ONLY_METHODS]
        work = [("threshold_level " + m, level_pair(m, data), data) for m in methods]
        work += [("label connectivity={}".format(c), label_pair(c, masks), masks) for c in (1, 2)]
        if data.ndim == 2:
            noise = np.random.default_rng(2).random(data.shape) < NOISE_DENSITY
            work += [("label connectivity={}, noise mask".format(c), label_pair(c, noise), noise) for c in (1, 2)]
        for name, pair, argument in work:
            check(pair, argument)
            timed = tuple((lambda side: lambda src: side(src))(side) for side in pair)
            reference_ms, ours_ms = median_ms(timed, argument, {}, options.repeat)
            rows.append("| {} | {} | {:.1f} | {:.1f} | {:.1f} |".format(
                name, shape, reference_ms, ours_ms, reference_ms / ours_ms))
            print(rows[-1], file=sys.stderr)
    print("{}; scikit-image / scipy against pictor, sides in turns, median ms.\n".format(machine_description()))
    print("| operation | data | reference ms | pictor ms | ratio |\n|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
