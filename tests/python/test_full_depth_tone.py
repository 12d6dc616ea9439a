"""Full depth of the sharpening and tone family beyond the generic checks:
the native 3x3 windows at the image's borders, keywords as plain numbers,
and the results that hold exactly."""
import numpy as np
import pytest

import pictor
import pictor._full_depth as full_depth_steps
from conftest import assert_same_array
from reference.full_depth import tone

# Shapes where the reflected 3x3 border is all there is.
BORDER_SHAPES = [(1, 1), (1, 9), (9, 1), (2, 2), (2, 3, 3), (1, 4, 3), (5, 2, 3)]
WINDOW_CASES = [
    ("laplacian_enhancement", {"alpha": 1.5, "beta": -3}),
    ("enhance_details", {}),
    ("glow", {"radius": 2, "intensity": 3.5}),
]


@pytest.mark.parametrize("shape", BORDER_SHAPES)
@pytest.mark.parametrize("name, keywords", WINDOW_CASES)
def test_windows_at_the_borders_follow_the_recipe(name, keywords, shape):
    image = np.random.default_rng(len(shape) * 100 + shape[0] * 10 + shape[1]).integers(0, 65536, shape, np.uint16)
    assert_same_array(getattr(pictor, name)(image, **keywords), getattr(tone, name)(image.copy(), **keywords))


@pytest.mark.parametrize("name, integer, real", [
    ("laplacian_enhancement", {"alpha": 2}, {"alpha": 2.0}),
    ("glow", {"radius": 3, "intensity": 2}, {"radius": 3, "intensity": 2.0}),
])
def test_integer_weights_are_plain_numbers(name, integer, real):
    """The 8-bit methods wrap an integer weight in uint8; at full depth it
    counts as the number it is."""
    image = np.random.default_rng(5).integers(20000, 40000, (24, 31), np.uint16)
    function = getattr(pictor, name)
    assert_same_array(function(image, **integer), function(image, **real))
    assert function(image, **integer).max() == 65535  # a weight of 2 on these levels saturates


@pytest.mark.parametrize("name, keywords", [
    ("brightness_contrast", {}),
    ("unsharpen_mask", {"alpha": 0}),
    ("unsharpen_mask", {"ksize": 0}),
    ("laplacian_enhancement", {"beta": 0}),
    ("glow", {"intensity": 0, "radius": 4}),
])
def test_neutral_keywords_return_the_image(name, keywords):
    image = np.random.default_rng(6).integers(0, 65536, (17, 23, 3), np.uint16)
    assert_same_array(getattr(pictor, name)(image, **keywords), image)


def test_brightness_offset_is_in_working_levels():
    image = np.array([[0, 1000, 64000, 65535]], np.uint16)
    assert pictor.brightness_contrast(image, brightness=10).tolist() == [[2570, 3570, 65535, 65535]]
    assert pictor.brightness_contrast(image, brightness=-255).tolist() == [[0, 0, 0, 0]]


@pytest.mark.parametrize("shape", [(5, 0), (0, 4, 3)])
@pytest.mark.parametrize("name, arguments", [
    ("laplacian_enhancement", (1.0, 0.1)), ("enhance_details", ()), ("glow", (2, 1.2)),
])
def test_private_steps_refuse_images_without_pixels(name, arguments, shape):
    """The checked functions refuse these first; the native windows must too
    (a border has nothing to reflect to)."""
    with pytest.raises(ValueError, match="at least one pixel"):
        getattr(full_depth_steps, name)(np.zeros(shape, np.uint16), *arguments)
