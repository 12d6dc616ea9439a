"""Full depth of the histogram methods beyond the generic checks: the table
functions that chunked execution uses, the documented examples at 16 bits,
and the entropy search against the plain per-split entropies."""
import numpy as np
import pytest

import pictor
import pictor._chunked as chunked
import pictor._full_depth as full_depth_module
from conftest import assert_same_array
from reference import utility_tool
from reference import full_depth
from test_full_depth import smooth_image

# The statistic methods, their keyword values, and whether they count channel 0 only.
TABLES = [
    ("histogram_enhancement", (), False),
    ("adaptive_histogram_truncation_stretched", (1, 0.9), False),
    ("local_histogram_threshold_segmentation", (10,), True),
    ("maximum_entropy_threshold_segmentation", (), False),
    ("maximum_inter_class_variance_segmentation", (), False),
]


@pytest.mark.parametrize("name, keywords, first_channel", TABLES)
def test_table_of_chunk_counts_maps_to_the_whole_result(name, keywords, first_channel):
    colour = name != "histogram_enhancement"
    image = smooth_image((60, 70, 3) if colour else (60, 70), 40000, 4)
    counted = image[..., 0] if first_channel else image
    counts = sum(chunked.level_counts(np.ascontiguousarray(part)) for part in np.array_split(counted, 3))
    table = getattr(full_depth_module, name + "_table")(counts, *keywords)
    assert table.dtype == np.uint16 and table.shape == (65536,)
    assert_same_array(table[image], getattr(full_depth_module, name)(image, *keywords))


def test_table_functions_check_the_counts():
    with pytest.raises(ValueError, match="65536"):
        full_depth_module.maximum_entropy_threshold_segmentation_table(np.zeros(256, np.int64))


def two_levels(low, high, shape=(40, 40)):
    """1000 samples at `low`, 600 at `high`, shuffled."""
    values = np.array([low] * 1000 + [high] * 600, np.uint16)
    return np.random.default_rng(0).permutation(values).reshape(shape)


@pytest.mark.parametrize("name", ["local_histogram_threshold_segmentation", "maximum_entropy_threshold_segmentation",
                                  "maximum_inter_class_variance_segmentation"])
def test_two_levels_split_between_them(name):
    image = two_levels(257 * 50, 257 * 150)
    assert_same_array(getattr(pictor, name)(image), np.where(image > 257 * 50, 65535, 0).astype(np.uint16))


@pytest.mark.parametrize("level", [0, 3000, 65535])
def test_constant_images(level):
    image = np.full((1, 9), level, np.uint16)
    assert_same_array(pictor.histogram_enhancement(image), image)
    # Stretched to its own range, a constant image is all level 0: no foreground, nor edges.
    for name in ("maximum_entropy_threshold_segmentation", "maximum_inter_class_variance_segmentation",
                 "local_histogram_threshold_segmentation", "canny_edge"):
        assert_same_array(getattr(pictor, name)(image), np.zeros(image.shape, np.uint16))
    assert_same_array(pictor.adaptive_threshold_segmentation(image), np.full(image.shape, 65535, np.uint16))


@pytest.mark.parametrize("name", ["adaptive_histogram_truncation_stretched", "local_histogram_threshold_segmentation"])
def test_nothing_in_the_counted_range_is_the_recipe(name):
    image = smooth_image((1, 50), 2000, 5)  # all below 257 * 10
    assert_same_array(getattr(pictor, name)(image), full_depth.recipe(name)(image))


def plain_entropy_threshold(image):
    """The 8-bit method's search written over 65,536 levels: every split's
    class histograms normalised and their entropies taken directly."""
    density = np.bincount(image.ravel(), minlength=65536) / image.size
    best, best_entropy = 0, -np.inf
    for t in np.flatnonzero(density[1285:64250]) + 1285 + 1:  # one split per gap: the first
        background, foreground = density[1285:t], density[t:64250]
        if background.sum() == 0 or foreground.sum() == 0:
            continue
        entropy = utility_tool.calculate_entropy(background / background.sum()) + \
            utility_tool.calculate_entropy(foreground / foreground.sum())
        if entropy > best_entropy + 1e-9:
            best, best_entropy = t, entropy
    return best


@pytest.mark.parametrize("seed", range(4))
def test_entropy_search_finds_the_plain_search_split(seed):
    rng = np.random.default_rng(seed)
    spread = 64000 if seed % 2 else 4096  # sparse levels, and levels a few apart
    levels = rng.integers(0, spread, 30) + 1285
    image = rng.choice(levels, size=(30, 40), p=rng.dirichlet(np.ones(30))).astype(np.uint16)
    image[0, :2] = 0, 65535  # a full range: the searches' limits are the 8-bit ones times 257
    t = plain_entropy_threshold(image)
    threshold = min(t + 256, image[image >= t].min())
    expected = np.where(image > threshold, 65535, 0).astype(np.uint16)
    assert_same_array(pictor.maximum_entropy_threshold_segmentation(image), expected)


@pytest.mark.parametrize("shape", [(30, 45), (30, 45, 3)])
def test_box_mean_scalings_that_disagree_follow_opencv(shape):
    # 441 * 38047 scaled by 1 / 441 in float32 and in float64 falls on either
    # side of 38047, and OpenCV uses both (by the sample's place in its loop).
    image = np.full(shape, 38047, np.uint16)
    assert_same_array(pictor.adaptive_threshold_segmentation(image, ksize=21, ratio=0),
                      full_depth.recipe("adaptive_threshold_segmentation")(image, ksize=21, ratio=0))


@pytest.mark.parametrize("shape", [(1, 40), (40, 1), (6, 6), (5, 90, 3), (90, 12, 3)])
@pytest.mark.parametrize("ksize", [3, 9, 11, 13, 181])
def test_box_sums_at_small_sides_and_the_sliding_window(shape, ksize):
    # Windows wider than the image go to OpenCV; sides up to 9 add directly, wider ones slide.
    image = smooth_image(shape, 65535, 6)
    assert_same_array(pictor.adaptive_threshold_segmentation(image, ksize=ksize, ratio=0.05),
                      full_depth.recipe("adaptive_threshold_segmentation")(image, ksize=ksize, ratio=0.05))
