"""Full depth: a uint16 image computed at 16 bits by the functions of the
methods that the tool classes run on the 8-bit working copy."""
import numpy as np
import pytest

import pictor
from conftest import assert_same_array
from reference import full_depth

# The functions of every working-copy method but the two whose result is 8-bit
# by design.
FULL_DEPTH = [
    "adaptive_histogram_truncation_stretched", "adaptive_threshold_segmentation", "bilateral_filter",
    "brightness_contrast", "canny_edge", "enhance_details", "gaussian_blur", "glow", "histogram_enhancement",
    "laplacian_enhancement", "local_histogram_threshold_segmentation", "maximum_entropy_threshold_segmentation",
    "maximum_inter_class_variance_segmentation", "mean_blur", "median_blur", "nlm_blur", "shadows_highlight",
    "super_resolution", "unsharpen_mask",
]
# Keywords that keep the cases fast where the defaults are slow.
QUICK = {"glow": {"radius": 6}, "bilateral_filter": {"ksize": 5}}
# Working levels the tool's own result may lie off the 16-bit one for x = 257 * a:
# one, except where the 8-bit method alone strays further from the exact value
# (up to 1.75 levels): unsharp mask and glow scale a rounded 8-bit blur by a gain
# above 1 and then truncate; super-resolution rounds the network's output to 8
# bits, then resizes and converts to grey with rounding of their own.
WORKING_LEVELS_OFF = {"glow": 2, "unsharpen_mask": 2, "super_resolution": 2}


def smooth_image(shape, top, seed):
    """Blurred noise over a ramp, spanning 0..top: structure for every method."""
    import cv2

    rng = np.random.default_rng(seed)
    noise = cv2.GaussianBlur(rng.random(shape, dtype=np.float32), (0, 0), 2.0)
    ramp = np.linspace(0, 1, shape[1], dtype=np.float32)[None, :]
    ramp = ramp if len(shape) == 2 else ramp[..., None]
    field = 0.6 * noise + 0.4 * ramp
    field = (field - field.min()) / (field.max() - field.min())
    return np.round(field * top).astype(np.uint16)


CONTENTS = {"8-bit range": 255, "12-bit": 4095, "16-bit": 65535}


def images(name, shape=(41, 53)):
    colour = not getattr(pictor, name).grey_only
    for label, top in CONTENTS.items():
        yield label + " grey", smooth_image(shape, top, 1)
        if colour:
            yield label + " colour", smooth_image(shape + (3,), top, 2)


def tool_result(name, image, **keywords):
    cls, method = getattr(pictor, name).tool_method
    return getattr(cls(), method)(src=image, **keywords)


def test_full_depth_functions_are_the_working_copy_methods():
    declared = {name for name in pictor.__all__ if getattr(pictor, name).eight_bit_copy}
    assert declared - set(FULL_DEPTH) == {"make_data", "maximum_gray_level"}
    assert [name for name in FULL_DEPTH if getattr(pictor, name).full_depth] == FULL_DEPTH


@pytest.mark.parametrize("name", FULL_DEPTH)
def test_result_is_the_recipe(name):
    recipe = full_depth.recipe(name)
    for keywords in full_depth.keyword_cases(name):
        keywords = dict(QUICK.get(name, {}), **keywords)
        for label, image in images(name):
            result = getattr(pictor, name)(image, **keywords)
            assert result.dtype == np.uint16, label
            assert_same_array(result, recipe(image.copy(), **keywords))


@pytest.mark.parametrize("name", FULL_DEPTH)
def test_uint8_image_and_working_depth_give_the_tools_array(name):
    function = getattr(pictor, name)
    keywords = QUICK.get(name, {})
    for _, image in images(name):
        small = (image // 257).astype(np.uint8) if image.max() > 255 else image.astype(np.uint8)
        assert_same_array(function(small, **keywords), tool_result(name, small, **keywords))
        assert_same_array(function(image, depth="working", **keywords), tool_result(name, image, **keywords))


@pytest.mark.parametrize("name", FULL_DEPTH)
def test_levels_scaled_by_257_give_the_tools_result(name):
    """x = 257 * a at full depth: within one working level of the tool's
    result on a (binary maps: equal) on at least 99% of the samples."""
    keywords = QUICK.get(name, {})
    for label, image in images(name, (64, 80)):
        if not label.startswith("8-bit"):
            continue
        a = image.astype(np.uint8)
        ours = getattr(pictor, name)(a.astype(np.uint16) * 257, **keywords).astype(np.int64)
        tools = tool_result(name, a, **keywords).astype(np.int64)
        tolerance = 0 if full_depth.is_binary(name) else 257 * WORKING_LEVELS_OFF.get(name, 1)
        close = np.mean(np.abs(ours - tools) <= tolerance)
        assert close >= 0.99, "{}: {:.2%} within {}".format(label, close, tolerance)


@pytest.mark.parametrize("name", [name for name in FULL_DEPTH if not full_depth.is_binary(name)])
def test_twelve_bit_image_keeps_its_levels(name):
    image = smooth_image((96, 128), 4095, 3)
    keywords = QUICK.get(name, {})
    full = np.unique(getattr(pictor, name)(image, **keywords)).size
    working = np.unique(getattr(pictor, name)(image, depth="working", **keywords)).size
    assert full >= 256 and full >= 4 * working, (full, working)


def test_depth_is_checked():
    image = smooth_image((8, 8), 65535, 0)
    with pytest.raises(ValueError, match="depth must be 'full' or 'working'"):
        pictor.gaussian_blur(image, depth="half")
    with pytest.raises(TypeError, match="depth"):
        pictor.gaussian_blur(image, depth=16)
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        pictor.auto_level(image, depth="full")
