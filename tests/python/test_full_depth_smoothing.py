"""Full depth of the smoothing family where the generic checks do not reach:
the 16-bit median of every side against a plain NumPy median, and the
native kernels on noise, thin and tiny images and extreme keywords."""
import numpy as np
import pytest

import pictor
from conftest import assert_same_array
from reference.full_depth import smoothing


def noise(shape, seed=0, top=65535):
    return np.random.default_rng(seed).integers(0, top + 1, shape, dtype=np.uint16)


def plain_median(image, side):
    """np.median of every side x side window over the repeated edge."""
    radius = side // 2
    planes = image[..., None] if image.ndim == 2 else image
    padded = np.pad(planes, ((radius, radius), (radius, radius), (0, 0)), mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, (side, side), axis=(0, 1))
    return np.median(windows, axis=(-2, -1)).astype(np.uint16).reshape(image.shape)


@pytest.mark.parametrize("side", [7, 9, 11, 13, 15, 17, 31])
@pytest.mark.parametrize("shape", [(37, 45), (23, 29, 3)])
def test_median_is_the_numpy_median(side, shape):
    # Few distinct levels make ties, full-range noise makes every bit count.
    for image in (noise(shape, side), noise(shape, side, top=3) * 21845):
        assert_same_array(pictor.median_blur(image, ksize=side), plain_median(image, side))


@pytest.mark.parametrize("shape", [(1, 40), (40, 1), (1, 1), (5, 7, 3), (2, 300)])
@pytest.mark.parametrize("side", [7, 15, 25, 255, np.int64(8)])
def test_median_of_thin_images_and_huge_sides(shape, side):
    image = noise(shape, 3)
    assert_same_array(pictor.median_blur(image, ksize=side), smoothing.median_blur(image, side))


@pytest.mark.parametrize("shape", [(1, 40), (40, 1), (1, 1), (64, 70), (33, 47, 3)])
@pytest.mark.parametrize("thresholds", [(50, 100), (0, 0), (3, 7), (10000, 10000), (255.9, 0.5)])
def test_canny_on_noise_and_thin_images(shape, thresholds):
    """Noise gives gradients of every direction and size, up to the largest."""
    low, high = thresholds
    for image in (noise(shape, 4), noise(shape, 5, top=1) * 65535):
        assert_same_array(pictor.canny_edge(image, low_thr=low, high_thr=high),
                          smoothing.canny_edge(image, low, high))


@pytest.mark.parametrize("name, keywords", [
    ("bilateral_filter", {"ksize": 7, "sigma_color": 3}),
    ("nlm_blur", {"denoising_strength": 30}),
    ("nlm_blur", {"denoising_strength": 0.25, "template_win": 35, "search_win": 99}),
    ("nlm_blur", {"denoising_strength": np.float32(5), "template_win": np.int16(4), "search_win": np.int64(9)}),
])
@pytest.mark.parametrize("shape", [(30, 34), (21, 25, 3), (1, 19), (3, 2, 3)])
def test_denoisers_on_noise_and_thin_images(name, keywords, shape):
    image = noise(shape, 6)
    assert_same_array(getattr(pictor, name)(image, **keywords), getattr(smoothing, name)(image.copy(), **keywords))


@pytest.mark.parametrize("name, keywords", [
    ("median_blur", {"ksize": 9}), ("median_blur", {"ksize": 17}), ("canny_edge", {"low_thr": 5, "high_thr": 20}),
    ("nlm_blur", {"search_win": 5}),
])
def test_images_split_over_threads(name, keywords):
    """Large enough for the kernels to split the rows: the seams change nothing."""
    import cv2

    image = cv2.GaussianBlur(noise((520, 600), 8), (0, 0), 1.5)
    threads = cv2.getNumThreads()
    try:
        cv2.setNumThreads(4)
        assert_same_array(getattr(pictor, name)(image, **keywords), getattr(smoothing, name)(image.copy(), **keywords))
    finally:
        cv2.setNumThreads(threads)
