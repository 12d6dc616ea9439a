"""The checked function API: same arrays as the tool methods, clear refusals."""
import inspect

import numpy as np
import pytest

import pictor
from conftest import assert_same_array

RNG = np.random.default_rng(7)
GREY_U16 = RNG.integers(0, 65536, (37, 45), dtype=np.uint16)
COLOUR_U8 = RNG.integers(0, 256, (29, 31, 3), dtype=np.uint8)
# The functions of the tool methods; the others are declared by the private modules' stubs.
FUNCTIONS = sorted(name for name in pictor.__all__ if getattr(pictor, name).tool_method)


def tool_method(function):
    cls, name = function.tool_method
    return getattr(cls(), name)


def in_range_value(keyword):
    """A declared value other than the default, near the middle of the range."""
    if keyword.low is None:
        return keyword.default
    step = keyword.step or (1 if keyword.kind == "int" else 0)
    value = keyword.low + (keyword.high - keyword.low) / 100
    if step:
        value = keyword.low + step * int((value - keyword.low) // step or 1)
    return min(value, keyword.high) if keyword.kind != "int" else int(min(value, keyword.high))


def test_every_image_method_has_a_function(lumenops):
    methods = {name for cls in (lumenops.ImageEnhancer, lumenops.ImageFusion, lumenops.ImageSmoother,
                                lumenops.ImageSegmenter, lumenops.DeepLearning, lumenops.FeatureDetection,
                                lumenops.GeometricTransformation)
               for name in vars(cls) if not name.startswith("_") and name != "crop_return"}
    assert set(FUNCTIONS) == methods


@pytest.mark.parametrize("name", FUNCTIONS)
def test_result_is_the_tool_methods(name):
    function = getattr(pictor, name)
    method = tool_method(function)
    working = {"depth": "working"} if function.full_depth else {}
    images = [GREY_U16, GREY_U16[:20, :25].astype(np.uint8)] + ([] if function.grey_only else [COLOUR_U8])
    for image in images:
        assert_same_array(function(image, **working), method(src=image))
    varied = {k: in_range_value(keyword) for k, keyword in function.keywords.items() if k != "depth"}
    assert_same_array(function(GREY_U16, **varied, **working), method(src=GREY_U16, **varied))
    assert list(inspect.signature(function).parameters)[1:] == list(function.keywords) + ["axes"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_eight_bit_working_copy_is_declared_where_it_happens(name):
    """Samples below 257 all become level 0 of the working copy, and nothing
    else does (a function computing at full depth: with depth="working")."""
    function = getattr(pictor, name)
    working = {"depth": "working"} if function.full_depth else {}
    fine = RNG.integers(0, 257, (40, 40)).astype(np.uint16) + 257 * 100
    flat = np.full_like(fine, 257 * 100)
    assert np.array_equal(function(fine, **working), function(flat, **working)) == function.eight_bit_copy


@pytest.mark.parametrize("call, error, words", [
    (lambda: pictor.gaussian_blur(GREY_U16, ksiz=5), TypeError, ["'ksiz'", "did you mean 'ksize'"]),
    (lambda: pictor.rotate(GREY_U16, angel=45), TypeError, ["'angel'", "did you mean 'angle'"]),
    (lambda: pictor.gaussian_blur(GREY_U16 / 65535.0), TypeError, ["img", "float64", "uint8 or uint16"]),
    (lambda: pictor.mean_blur([[1, 2], [3, 4]]), TypeError, ["img", "list"]),
    (lambda: pictor.glow(np.zeros((8, 8, 4), np.uint8)), ValueError, ["img", "(8, 8, 4)", "(height, width, 3)"]),
    (lambda: pictor.super_resolution(COLOUR_U8), ValueError, ["img", "(29, 31, 3)", "(height, width)"]),
    (lambda: pictor.auto_level(GREY_U16, low_percent=1), ValueError, ["low_percent", "0 to 0.5", "1"]),
    (lambda: pictor.gaussian_blur(GREY_U16, ksize=5.5), TypeError, ["ksize", "integer", "5.5"]),
    (lambda: pictor.unsharpen_mask(GREY_U16, alpha=float("nan")), ValueError, ["alpha", "0 to 10"]),
    (lambda: pictor.multi_scale_fuse_enhancement(GREY_U16, mode_truncation=3), ValueError,
     ["mode_truncation", "one of 0, 1, 2"]),
    (lambda: pictor.multi_scale_adaptive_hard_light_enhancement(GREY_U16, step_ksize=5), ValueError,
     ["step_ksize", "steps of 2"]),
    (lambda: pictor.flip(GREY_U16, mode=True), TypeError, ["mode", "bool"]),
    (lambda: pictor.glow(GREY_U16, radius=10 ** 400), ValueError, ["radius", "0 to 500"]),
])
def test_refusals_name_the_argument_and_what_is_accepted(call, error, words):
    with pytest.raises(error) as caught:
        call()
    for word in words:
        assert word in str(caught.value)


def test_version_is_a_release_number():
    assert all(part.isdigit() for part in pictor.__version__.split("."))


def test_reference_document_is_current():
    import subprocess
    import sys
    from pathlib import Path

    root = Path(__file__).resolve().parents[2]
    check = subprocess.run([sys.executable, str(root / "tools" / "reference_doc.py"), "--check"],
                           capture_output=True, text=True, timeout=300)
    assert check.returncode == 0, check.stderr


def test_readme_names_the_operations_with_a_depth_choice():
    import re
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    listed = readme.split("The operations with a `depth` choice are:")[1].split("The\nothers")[0]
    declared = {name for name in FUNCTIONS if getattr(pictor, name).full_depth}
    assert set(re.findall(r"`(\w+)`", listed)) == declared
