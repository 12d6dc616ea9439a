"""Checks that pictor.lumenops, and pictor's functions at full depth, give the
same results under other library versions.

  crosscheck.py dump FILE      run every method on fixed inputs, record the results
  crosscheck.py compare FILE   run the same calls again and fail on any difference
  crosscheck.py smoke          check that every call returns or raises an
                               ordinary exception, and that the methods of
                               OPENCV_EQUIVALENTS give what the reference model
                               (tests/reference) gives with the same libraries

The module reproduces NumPy 1.x arithmetic, so its results must not change when
it runs under NumPy 2 or a newer OpenCV. `dump` runs under the NumPy 1.x test
environment; `compare` runs under NumPy 2 and compares result by result
(element type, shape and every value; for a failing call, the exception type).
`smoke` runs under the newest OpenCV, where the reference model shows whether
the steps the module computes in its own way (Canny, ...) still match the
library's own.

Every public method of every tool class is found by introspection, so methods
added later are covered without editing this file. Keyword methods run with
their defaults and, where ALTERNATE_KEYWORDS has an entry, with one other set;
the positional UtilityTool methods run with the fixed arguments of
UTILITY_CALLS. Run from the repository root: DeepLearning loads its model from
there.
"""
import hashlib
import importlib
import inspect
import math
import os
import pickle
import sys
import tempfile
import warnings

import cv2
import numpy as np

from pictor import lumenops

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# One non-default keyword set per method, kept small so that the run is quick.
ALTERNATE_KEYWORDS = {
    "brightness_transfer": {"ratio": 0.8},
    "multi_scale_adaptive_hard_light_enhancement": {"init_ksize": 7, "multi_scale": 2, "step_ksize": 4},
    "multi_scale_adaptive_image_overlay_enhancement": {"init_ksize": 15, "multi_scale": 2, "step_ksize": 4},
    "laplacian_pyramid": {"min_ksize": 4, "scale": 5, "gamma_value": 0.6},
    "multi_scale_fuse_enhancement": {"min_ksize": 5, "max_ksize": 9, "scale": 20, "gamma_value": 0.5,
                                     "high_value": 0.7, "low_value": 0.2, "mode_fuse": 1,
                                     "mode_truncation": 1},
    "adaptive_histogram_truncation_stretched": {"scale_l": 1, "scale_r": 0.9},
    "auto_level": {"low_percent": 0.05, "high_percent": 0.02},
    "unsharpen_mask": {"alpha": 0.7, "ksize": 4},
    "laplacian_enhancement": {"alpha": 1.5, "beta": 0.3},
    "gamma_stretched": {"gamma_value": 1.8},
    "shadows_highlight": {"shadow": 0.2, "highlight": 0.8},
    "glow": {"radius": 7, "intensity": 0.6},
    "brightness_contrast": {"brightness": 20, "contrast": 1.4},
    "mean_blur": {"ksize": 6},
    "median_blur": {"ksize": 6},
    "gaussian_blur": {"ksize": 6},
    "nlm_blur": {"denoising_strength": 10, "template_win": 4, "search_win": 10},
    "bilateral_filter": {"ksize": 4, "sigma_color": 30, "sigma_space": 10},
    "local_histogram_threshold_segmentation": {"low_thr": 3},
    "adaptive_threshold_segmentation": {"ksize": 6, "ratio": 0.05},
    "make_data": {"scale": 2},
    "canny_edge": {"low_thr": 20, "high_thr": 60},
    "rotate": {"angle": 30, "scale": 0.8},
    "flip": {"mode": -1},
    "resize": {"scale": 2},
    "crop": {"start_x": 3, "start_y": 5, "width": 10, "height": 7},
    "crop_return": {"start_x": 3, "start_y": 2, "width": 3, "height": 2},
}

# Methods that work on folders of the working directory: run in a scratch one.
FOLDER_METHODS = {"crop_return"}


def make_inputs():
    """Small deterministic images: gradients plus a hashed texture, with 16-bit
    samples that are not multiples of 257. Integer arithmetic only, so every
    NumPy version builds the same arrays."""
    y, x = np.mgrid[0:37, 0:53].astype(np.int64)
    texture = ((x * 7919 + y * 104729) ^ (x * y * 31)) % 4093
    grey = x * 40000 // 53 + y * 20000 // 37 + texture
    colour = np.stack([grey, 65535 - grey, (grey * 3 + 1234) % 65536], axis=-1)
    grey8 = ((x * 3 + y * 5 + texture % 29) % 256).astype(np.uint8)
    grey16 = grey.astype(np.uint16)
    colour16 = colour.astype(np.uint16)[:29, :41]
    return {"grey uint8": grey8, "grey uint16": grey16, "colour uint16": colour16}


def inputs_digest():
    return hashlib.sha256(b"".join(image.tobytes() for image in make_inputs().values())).hexdigest()


def utility_calls(images):
    """Fixed positional calls of the UtilityTool methods: name -> list of (label, args)."""
    grey8 = images["grey uint8"]
    counts = np.bincount(grey8.ravel(), minlength=256)
    colour8 = (images["colour uint16"] // 257).astype(np.uint8)
    return {
        "convert_rgb_to_ycbcr": [("colour uint8", (colour8,)),
                                 ("colour uint16", (images["colour uint16"],)),
                                 ("grey uint8", (grey8,))],
        "normalize_and_calculate_variance": [("small list", ([0, 5, 3, 0, 3, 9],)),
                                             ("histogram", (counts.tolist(),)),
                                             ("empty", ([],)),
                                             ("flat", ([7, 7, 0.5],))],
        "get_boundary": [("grey uint8", (grey8,)),
                         ("grey uint8 scaled", (grey8, 10, 256, 1, 1)),
                         ("grey uint16", (images["grey uint16"],))],
        "calculate_entropy": [("histogram", (counts / counts.sum(),)),
                              ("certain", (np.array([1.0]),)),
                              ("none positive", (np.zeros(4),))],
    }


def tool_classes():
    base = lumenops.SingletonBase
    return [value for value in vars(lumenops).values()
            if isinstance(value, type) and value is not base and issubclass(value, base)]


def public_methods(cls):
    return [name for name, value in vars(cls).items()
            if not name.startswith("_") and callable(value) and not isinstance(value, type)]


def unknown_alternate_keywords():
    """Keywords of ALTERNATE_KEYWORDS that a method's signature does not list. The
    methods ignore unknown keywords silently, so a typo would test nothing."""
    problems = []
    for cls in tool_classes():
        for name in public_methods(cls):
            try:
                parameters = inspect.signature(getattr(cls, name)).parameters
            except (TypeError, ValueError):
                continue  # no signature to check against
            for keyword in ALTERNATE_KEYWORDS.get(name, {}):
                if keyword not in parameters:
                    problems.append(f"{cls.__name__}.{name} has no keyword {keyword!r}")
    return problems


def construct(cls):
    """The class's singleton; a failing first construction leaves an instance
    behind that later constructions return."""
    try:
        return cls()
    except Exception:
        return cls()


def planned_calls(images=None):
    """Yields (key, thunk, reference thunk or None) for every call of the run,
    in a fixed order."""
    images = images or make_inputs()
    utility = utility_calls(images)
    for cls in tool_classes():
        tool = construct(cls)
        for name in public_methods(cls):
            method = getattr(tool, name)
            if cls is lumenops.UtilityTool:
                for label, args in utility.get(name, []):
                    yield f"{cls.__name__}.{name}({label})", _positional(method, args), None
                continue
            reference = reference_function(cls, name)
            variants = [("defaults", {})]
            if name in ALTERNATE_KEYWORDS:
                variants.append(("keywords", ALTERNATE_KEYWORDS[name]))
            for variant, keywords in variants:
                for kind, image in images.items():
                    key = f"{cls.__name__}.{name}[{variant}]({kind})"
                    if name in FOLDER_METHODS:
                        yield key, _in_scratch_folders(method, image, keywords), None
                    else:
                        expected = reference and _keyword(reference, image, keywords)
                        yield key, _keyword(method, image, keywords), expected
    yield from full_depth_calls(images)


def full_depth_calls(images):
    """pictor's functions at full depth on the 16-bit inputs, with the same keyword sets."""
    import pictor

    for name in pictor.__all__:
        function = getattr(pictor, name)
        if not function.full_depth:
            continue
        variants = [("defaults", {})]
        if name in ALTERNATE_KEYWORDS:
            variants.append(("keywords", ALTERNATE_KEYWORDS[name]))
        for variant, keywords in variants:
            for kind, image in images.items():
                if image.dtype == np.uint16 and (image.ndim == 2 or not function.grey_only):
                    yield f"pictor.{name}[{variant}]({kind})", _function_call(function, image, keywords), None


def _function_call(function, image, keywords):
    return lambda: function(image.copy(), **keywords)


# Methods that compute natively a step the recipe leaves to OpenCV (Canny), or
# reach the same bytes through other OpenCV calls (16-bit signed derivatives
# for float ones): their results must equal the reference model's under every
# OpenCV. The other methods are not compared in the smoke run, which has
# NumPy 2: there the reference's own arithmetic follows NumPy 2's promotion
# rules, which differ from NumPy 1.x's for some keyword values.
OPENCV_EQUIVALENTS = {"canny_edge", "laplacian_enhancement", "enhance_details", "glow"}


def reference_function(cls, name):
    """The reference model's function for a method of OPENCV_EQUIVALENTS, or None."""
    if name not in OPENCV_EQUIVALENTS:
        return None
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    module_name = "".join("_" + c.lower() if c.isupper() else c for c in cls.__name__).lstrip("_")
    return getattr(importlib.import_module("reference." + module_name), name)


def _positional(method, args):
    return lambda: method(*[np.copy(a) if isinstance(a, np.ndarray) else a for a in args])


def _keyword(method, image, keywords):
    return lambda: method(src=image.copy(), **keywords)


def _in_scratch_folders(method, image, keywords):
    """Runs a folder method in a scratch directory holding one global/local pair;
    the result is the returned value plus the merged image written."""
    def call():
        previous = os.getcwd()
        with tempfile.TemporaryDirectory() as scratch:
            for folder in ("global", "local", "merge"):
                os.mkdir(os.path.join(scratch, folder))
            cv2.imwrite(os.path.join(scratch, "global", "a.tif"), image)
            cv2.imwrite(os.path.join(scratch, "local", "a.tif"), image[:2, :3])
            os.chdir(scratch)
            try:
                returned = method(src=image.copy(), **keywords)
            finally:
                os.chdir(previous)
            merged = cv2.imread(os.path.join(scratch, "merge", "a.tif"), cv2.IMREAD_UNCHANGED)
            return (returned, merged)
    return call


def encode(value):
    """A plain-Python form of a result, readable under any NumPy version."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, np.generic):
        return ("scalar", value.dtype.str, value.item())
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, tuple(encode(item) for item in value))
    if value is None or isinstance(value, (bool, int, float, str)):
        return ("python", type(value).__name__, value)
    return ("object", type(value).__name__, repr(value))


def run_call(thunk):
    try:
        return encode(thunk())
    except Exception as error:
        return ("error", type(error).__name__)


def run_all():
    results = []
    for key, thunk, _ in planned_calls():
        results.append((key, run_call(thunk)))
    return results


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "array":
        if a[1:3] != b[1:3]:
            return False
        if a[3] == b[3]:
            return True
        left, right = (np.frombuffer(item[3], dtype=item[1]) for item in (a, b))
        return left.dtype.kind in "fc" and np.array_equal(left, right, equal_nan=True)
    if a[0] in ("tuple", "list"):
        return len(a[1]) == len(b[1]) and all(same(x, y) for x, y in zip(a[1], b[1]))
    if a[0] in ("scalar", "python"):
        return a[1] == b[1] and _same_number(a[2], b[2])
    return a == b


def _same_number(x, y):
    if isinstance(x, float) and isinstance(y, float):
        return repr(x) == repr(y) or (math.isnan(x) and math.isnan(y))
    return x == y


def describe(result):
    if result[0] == "array":
        return f"array {result[1]} {result[2]}"
    if result[0] == "error":
        return f"raises {result[1]}"
    if result[0] in ("tuple", "list"):
        return f"{result[0]} of " + ", ".join(describe(item) for item in result[1])
    return f"{result[0]} {result[1]} {result[2]!r}"


def count_differences(a, b):
    if a[0] != "array" or a[1:3] != b[1:3]:
        return ""
    left, right = (np.frombuffer(item[3], dtype=item[1]) for item in (a, b))
    return f"; {np.count_nonzero(left != right)} of {left.size} values differ"


def is_not_implemented(result):
    return result == ("error", "NotImplementedError")


def dump(path):
    results = run_all()
    with open(path, "wb") as stream:
        pickle.dump({"numpy": np.__version__, "opencv": cv2.__version__,
                     "inputs": inputs_digest(), "results": results}, stream, protocol=4)
    built = sum(not is_not_implemented(result) for _, result in results)
    print(f"recorded {len(results)} calls ({built} not raising NotImplementedError) "
          f"under NumPy {np.__version__}, OpenCV {cv2.__version__} in {path}")
    return 0


def compare(path):
    with open(path, "rb") as stream:
        recorded = pickle.load(stream)
    expected = dict(recorded["results"])
    actual = run_all()
    problems = []
    if recorded["inputs"] != inputs_digest():
        problems.append("the inputs differ from the recorded ones")
    for key, result in actual:
        if key not in expected:
            problems.append(f"{key}: not in the record")
        elif not same(expected[key], result):
            problems.append(f"{key}: {describe(expected[key])} under NumPy {recorded['numpy']}, "
                            f"{describe(result)} under NumPy {np.__version__}"
                            + count_differences(expected[key], result))
    missing = set(expected) - {key for key, _ in actual}
    problems.extend(f"{key}: recorded but not run now" for key in sorted(missing))
    compared = sum(not is_not_implemented(result) for _, result in actual)
    print(f"compared {len(actual)} calls ({compared} not raising NotImplementedError): "
          f"NumPy {recorded['numpy']} / OpenCV {recorded['opencv']} against "
          f"NumPy {np.__version__} / OpenCV {cv2.__version__}")
    for problem in problems:
        print("DIFFERS", problem)
    print(f"{len(actual) - len(problems)} passed, {len(problems)} failed")
    return 1 if problems else 0


def smoke():
    counts = {"returned": 0, "not implemented": 0}
    raised, differing = [], []
    images = make_inputs()
    # Large enough for the code paths that split an image between threads.
    images["large grey uint16"] = np.tile(images["grey uint16"], (9, 8))
    for key, thunk, reference in planned_calls(images):
        result = run_call(thunk)
        if result[0] != "error":
            counts["returned"] += 1
        elif is_not_implemented(result):
            counts["not implemented"] += 1
        else:
            raised.append(f"{key}: {result[1]}")
        expected = run_call(reference) if reference and not is_not_implemented(result) else result
        if not same(expected, result):
            differing.append(f"{key}: {describe(result)}, the reference model {describe(expected)}"
                             + count_differences(expected, result))
    print(f"NumPy {np.__version__}, OpenCV {cv2.__version__}: "
          + ", ".join(f"{count} {what}" for what, count in counts.items())
          + f", {len(raised)} raised another exception")
    for line in raised:
        print("  raised", line)
    for line in differing:
        print("DIFFERS", line)
    total = sum(counts.values()) + len(raised)
    print(f"{total - len(differing)} passed, {len(differing)} failed")
    return 1 if differing else 0


def main(argv):
    warnings.simplefilter("ignore")
    problems = unknown_alternate_keywords()
    if problems:
        print("ALTERNATE_KEYWORDS is out of date:", *problems, sep="\n  ")
        return 1
    if len(argv) == 2 and argv[0] in ("dump", "compare"):
        path = os.path.abspath(argv[1])
        os.chdir(ROOT)
        return {"dump": dump, "compare": compare}[argv[0]](path)
    os.chdir(ROOT)
    if argv == ["smoke"]:
        return smoke()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
