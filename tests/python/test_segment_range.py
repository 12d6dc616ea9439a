"""Segmentations and Canny at full depth mean their keywords on the image's
own range: a linear rescale of the data leaves every binary result as it is."""
import numpy as np
import pytest

import pictor
from conftest import assert_same_array
from reference import full_depth
from test_full_depth import FULL_DEPTH, smooth_image

BINARY = [name for name in FULL_DEPTH if full_depth.is_binary(name)]
# (k, c) of k * x + c, all within uint16 for images spanning 0..1000.
RESCALES = [(1, 300), (3, 0), (7, 1234), (65, 0)]


def blobs(shape, seed):
    """Bright discs on a dim, noisy background, levels 0..1000."""
    rng = np.random.default_rng(seed)
    rows, cols = np.indices(shape[:2])
    field = np.zeros(shape[:2])
    for _ in range(6):
        r, c, radius = rng.integers(0, shape[0]), rng.integers(0, shape[1]), rng.integers(4, 9)
        field[(rows - r) ** 2 + (cols - c) ** 2 <= radius ** 2] = 1
    image = 200 + 600 * field + rng.normal(0, 40, shape[:2])
    image = np.clip(image, 0, 1000)
    if len(shape) == 3:
        image = np.stack([image, image[::-1], image[:, ::-1]], axis=2)
    return np.round(image).astype(np.uint16)


def noise(shape, seed):
    return np.random.default_rng(seed).integers(0, 1001, shape).astype(np.uint16)


KINDS = {"smooth": lambda shape, seed: smooth_image(shape, 1000, seed), "noisy": noise, "blobs": blobs}


@pytest.mark.parametrize("name", BINARY)
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_linear_rescale_gives_the_same_result(name, kind):
    shapes = [(48, 56)] + ([] if getattr(pictor, name).grey_only else [(48, 56, 3)])
    for shape in shapes:
        image = KINDS[kind](shape, 5)
        expected = getattr(pictor, name)(image)
        for k, c in RESCALES:
            assert_same_array(getattr(pictor, name)((image * k + c).astype(np.uint16)), expected)


@pytest.mark.parametrize("name", BINARY)
def test_rescale_applies_per_plane(name):
    planes = np.stack([blobs((40, 44), seed) for seed in range(3)])
    scaled = planes.astype(np.int64) * np.array([1, 9, 60])[:, None, None] + np.array([0, 500, 7])[:, None, None]
    function = getattr(pictor, name)
    assert_same_array(function(scaled.astype(np.uint16), axes="ZYX"), function(planes, axes="ZYX"))


@pytest.mark.parametrize("name", BINARY)
def test_low_range_data_segment_as_the_same_data_at_full_range(name):
    """Data spanning 0..255 and the same data times 257 (0..65535, the full range)."""
    image = blobs((48, 56), 9)
    image = np.round(image / 1000 * 255).astype(np.uint16)
    image[0, :2] = 0, 255
    function = getattr(pictor, name)
    assert_same_array(function(image), function(image * 257))
