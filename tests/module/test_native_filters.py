"""Filters computed natively give OpenCV's bytes: every sample depth, channel
count, thread count and border-touching shape."""
import cv2
import numpy as np
import pytest

from conftest import assert_method_parity, assert_same_array
from reference import image_enhancer, image_segmenter, image_smoother

SHAPES = [(1, 1), (1, 9), (9, 1), (2, 2), (3, 3), (37, 61), (1031, 517)]
CHANNELS = [None, 1, 2, 3, 4]


def samples(dtype, shape, mode, seed):
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max + 1 if np.dtype(dtype).kind == "u" else 1000
    low, high = {"random": (0, top), "dark": (0, 4), "bright": (top - 4, top)}[mode]
    if np.dtype(dtype).kind == "f":
        return rng.uniform(-low, high, shape).astype(dtype)
    return rng.integers(low, high, shape).astype(dtype)


@pytest.fixture
def thread_count():
    previous = cv2.getNumThreads()
    yield cv2.setNumThreads
    cv2.setNumThreads(previous)


# The enhancer's filters with a native pass, and keywords for each.
ENHANCER_FILTERS = [("east", {}), ("enhance_details", {}), ("laplacian_enhancement", {}),
                    ("laplacian_enhancement", {"alpha": 2, "beta": 0.5}),
                    ("laplacian_enhancement", {"alpha": 1.5, "beta": np.float32(2)}),
                    ("glow", {"radius": 3, "intensity": 2}), ("glow", {"radius": 9}), ("glow", {}),
                    ("unsharpen_mask", {}), ("unsharpen_mask", {"alpha": np.float32(0.7), "ksize": 14})]


# (h, w, 1) images come back from OpenCV's Laplacian as (h, w), which the
# recipe's arithmetic then broadcasts: left to the sharpening tests.
@pytest.mark.parametrize("mode", ["random", "dark", "bright"])
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("method, keywords, channels", [
    (method, keywords, channels) for method, keywords in ENHANCER_FILTERS for channels in CHANNELS
    if method not in ("laplacian_enhancement", "unsharpen_mask") or channels != 1])
def test_native_enhancer_filter_equals_opencv(enhancer, thread_count, method, keywords, dtype, shape, channels,
                                              mode):
    src = samples(dtype, shape + ((channels,) if channels else ()), mode, seed=sum(shape))
    expected = getattr(image_enhancer, method)(src=src.copy(), **keywords)
    for threads in (1, 3):
        thread_count(threads)
        assert_same_array(getattr(enhancer, method)(src=src, **keywords), expected)


# The fused unsharp mask takes images of more samples than there are level
# pairs: single rows and columns of them reach the borders on one axis only.
@pytest.mark.parametrize("shape", [(1, 70001), (70001, 1), (300, 257, 3), (300, 257, 1)])
@pytest.mark.parametrize("keywords", [{}, {"ksize": 15, "alpha": -3}, {"ksize": 17}, {"alpha": 2.5, "ksize": 3}])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_fused_unsharp_mask_equals_opencv(enhancer, thread_count, dtype, keywords, shape):
    src = samples(dtype, shape, "random", seed=len(shape))
    for threads in (1, 3):
        thread_count(threads)
        assert_method_parity(enhancer, image_enhancer, "unsharpen_mask", src, **keywords)


@pytest.mark.parametrize("keywords", [{}, {"ksize": 15, "ratio": 0.05}, {"ksize": 4, "ratio": -2},
                                      {"ksize": 129}, {"ratio": 1}])
@pytest.mark.parametrize("channels", CHANNELS)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_adaptive_threshold_equals_opencv(segmenter, thread_count, dtype, shape, channels, keywords):
    src = samples(dtype, shape + ((channels,) if channels else ()), "random", seed=sum(shape))
    for threads in (1, 3):
        thread_count(threads)
        assert_method_parity(segmenter, image_segmenter, "adaptive_threshold_segmentation", src, **keywords)


# With ratio 0.1, a level of 31 whose 3 x 3 window sums to 310 sits exactly on
# its threshold: which side it falls on depends on how OpenCV rounded its mean,
# which depends on the column (vector loop, or the remainder that holds the
# last column of any width but a multiple of the vector). Placed in both.
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_adaptive_threshold_on_the_rounding_edge_equals_opencv(segmenter, dtype):
    levels = samples(np.uint8, (12, 61), "random", seed=7)
    levels[4:7, 9:12] = [[35, 35, 35], [35, 31, 35], [35, 35, 34]]
    levels[4:7, 59:61] = [[35, 35], [35, 31], [35, 34]]  # the border reflects column 59
    src = levels if dtype == np.uint8 else levels.astype(np.uint16) * 257
    assert_method_parity(segmenter, image_segmenter, "adaptive_threshold_segmentation", src, ratio=0.1)


# Views, other element types and other layouts go to OpenCV as before.
@pytest.mark.parametrize("src", [
    samples(np.uint16, (40, 60), "random", 1)[::2, ::3],
    samples(np.uint8, (40, 60, 3), "random", 2)[:, ::-1],
    samples(np.float32, (20, 30), "random", 3),
    samples(np.int16, (20, 30), "random", 4),
    samples(np.uint16, (20, 30), "random", 5).astype(">u2"),
    samples(np.uint8, (6, 7, 5), "random", 6),
], ids=["strided", "reversed", "float32", "int16", "big-endian", "five-channels"])
@pytest.mark.parametrize("method, keywords", ENHANCER_FILTERS[:3])
def test_enhancer_filter_of_other_inputs_equals_opencv(enhancer, method, keywords, src):
    try:
        expected = getattr(image_enhancer, method)(src=src.copy(), **keywords)
    except cv2.error:
        with pytest.raises(cv2.error):
            getattr(enhancer, method)(src=src, **keywords)
        return
    assert_same_array(getattr(enhancer, method)(src=src, **keywords), expected)


# Each method's fused sides and the first ones past them (OpenCV's again).
FUSED_SIDES = {"mean_blur": (1, 3, 5, 9, 15, 31, 127, 129), "gaussian_blur": (1, 3, 5, 9, 13, 15, 17),
               "median_blur": (1, 3, 5, 7, 9, 15, 17)}


@pytest.mark.parametrize("method, ksize", [(method, ksize) for method, sides in FUSED_SIDES.items()
                                           for ksize in sides])
@pytest.mark.parametrize("channels", CHANNELS)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_fused_blur_equals_opencv(smoother, thread_count, dtype, shape, channels, method, ksize):
    # Dark and bright images reach the smallest and largest window sums.
    for mode in ("random", "dark", "bright"):
        src = samples(dtype, shape + ((channels,) if channels else ()), mode, seed=ksize + sum(shape))
        try:
            expected = getattr(image_smoother, method)(src=src.copy(), ksize=ksize)
        except cv2.error:  # OpenCV's wide median takes no two-channel image
            with pytest.raises(cv2.error):
                getattr(smoother, method)(src=src, ksize=ksize)
            continue
        for threads in (1, 3):
            thread_count(threads)
            assert_same_array(getattr(smoother, method)(src=src, ksize=ksize), expected)
