"""Runs every image operation of pictor.lumenops on the bundled photograph.

Each keyword method of each tool class is called with its default keywords on
the sample image that ships with the package; each result is written to
demo_out/<Class>.<method>.png (16-bit PNG for uint16 results). Methods that
are not built yet (NotImplementedError) are listed and skipped. Run from the
repository root: DeepLearning loads its model from there.

Exit status 1 if any method failed with another exception.
"""
import glob
import os
import sys
import time

import cv2
import numpy as np

import pictor
from pictor import lumenops

OUT_DIR = "demo_out"
SAMPLE = os.path.join(os.path.dirname(pictor.__file__), "data", "camera.png")

# Methods that read and write folders of the working directory instead of
# transforming their input; the demo leaves them out.
FOLDER_METHODS = {"crop_return"}


def load_sample():
    image = cv2.imread(SAMPLE, cv2.IMREAD_UNCHANGED)
    if image is None:
        raise SystemExit(f"sample image missing: {SAMPLE}")
    return image


def keyword_methods():
    """(class name, method name, bound method) of every public keyword method."""
    base = lumenops.SingletonBase
    for cls in vars(lumenops).values():
        if not (isinstance(cls, type) and cls is not base and issubclass(cls, base)):
            continue
        if cls is lumenops.UtilityTool:  # positional helpers, no image results
            continue
        tool = construct(cls)
        for name, value in vars(cls).items():
            if not name.startswith("_") and callable(value) and name not in FOLDER_METHODS:
                yield cls.__name__, name, getattr(tool, name)


def construct(cls):
    try:
        return cls()
    except Exception as error:
        print(f"{cls.__name__}(): {type(error).__name__}: {error}")
        return cls()  # the singleton that the failed construction left behind


def write_result(path_stem, result):
    """Writes an image result; returns the file name, or None for other results."""
    if not isinstance(result, np.ndarray) or result.dtype not in (np.uint8, np.uint16):
        return None
    path = path_stem + ".png"
    if not cv2.imwrite(path, np.ascontiguousarray(result)):
        return None
    return path


def clear_output():
    os.makedirs(OUT_DIR, exist_ok=True)
    for old in glob.glob(os.path.join(OUT_DIR, "*.png")):
        os.remove(old)


def main():
    image = load_sample()
    clear_output()
    print(f"sample: {SAMPLE} ({image.shape[1]}x{image.shape[0]} {image.dtype})")
    not_built, failed, written = [], [], 0
    for class_name, name, method in keyword_methods():
        label = f"{class_name}.{name}"
        started = time.perf_counter()
        try:
            result = method(src=image)
        except NotImplementedError:
            not_built.append(label)
            continue
        except Exception as error:
            failed.append(f"{label}: {type(error).__name__}: {error}")
            continue
        elapsed = (time.perf_counter() - started) * 1000
        path = write_result(os.path.join(OUT_DIR, label), result)
        if path is None:
            print(f"  {label}: returned {type(result).__name__}, not an 8/16-bit image; not written")
            continue
        written += 1
        print(f"  {label}: {result.dtype} {'x'.join(map(str, result.shape))} "
              f"in {elapsed:.1f} ms -> {path}")
    print(f"\n{written} images written to {OUT_DIR}/")
    if not_built:
        print(f"not built yet ({len(not_built)}): " + ", ".join(not_built))
    if FOLDER_METHODS:
        print("left out (works on image folders): " + ", ".join(sorted(FOLDER_METHODS)))
    for line in failed:
        print("FAILED", line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
