"""Named axes: every function on N-D stacks equals a loop over its planes."""

import numpy as np
import pytest

import pictor
import pictor.axes as named_axes
from pictor.functions import image_functions
from conftest import assert_same_array, loop_over_planes

PLANE = (24, 20)
STACKS = [
    ("ZYX", (3,) + PLANE),
    ("TCZYX", (2, 2, 3) + PLANE),
    ("CYX", (5,) + PLANE),
    ("CYX", (40,) + PLANE),
    ("YXC", PLANE + (4,)),        # planes along the last axis
    ("ZYXS", (3,) + PLANE + (3,)),
    ("SZXY", (3, 2) + PLANE[::-1]),  # colour samples first, columns before rows
]
# The model runs at a fixed size (about half a second a plane): a few planes show it.
SLOW = {"super_resolution": 6}


def stack_cases():
    for name in image_functions():
        function = getattr(pictor, name)
        if name in ("threshold_level", "label"):
            continue  # a number per plane: test_auto_threshold.py stacks them
        for axes, shape in STACKS:
            if "S" in axes and function.grey_only:
                continue
            if np.prod(shape) // (np.prod(PLANE) * (3 if "S" in axes else 1)) > SLOW.get(name, 1000):
                continue
            yield pytest.param(name, axes, shape, id="{}-{}-{}".format(name, axes, shape[axes.index("C")]
                                                                       if "C" in axes else ""))


@pytest.mark.parametrize("name, axes, shape", list(stack_cases()))
def test_a_stack_equals_the_loop_over_its_planes(name, axes, shape):
    function = getattr(pictor, name)
    dtype = np.uint16 if len(shape) % 2 else np.uint8
    stack = np.random.default_rng(len(shape)).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    # A dark plane and a flat one: each plane's statistics must be its own.
    stack[(0,) * (stack.ndim - 2)] //= 16
    stack[(-1,) * (stack.ndim - 2)] = 7
    before = stack.copy()
    assert_same_array(function(stack, axes=axes), loop_over_planes(function, stack, axes))
    assert_same_array(stack, before)


def test_the_plane_layouts_need_no_axes_and_keep_their_arrays():
    grey = np.arange(24 * 20, dtype=np.uint16).reshape(PLANE)
    colour = np.dstack([grey, grey[::-1], grey.T.reshape(PLANE)])
    for image, axes in ((grey, "YX"), (colour, "YXS")):
        assert_same_array(pictor.auto_level(image, axes=axes), pictor.auto_level(image))
    view = pictor.crop(grey, axes="YX", width=5, height=3)
    assert np.shares_memory(view, grey)  # crop's own view, as without axes


@pytest.mark.parametrize("name, image_shape, keywords, error, words", [
    ("gaussian_blur", (4, 24, 20), {}, ValueError, "with its axes named"),
    ("gaussian_blur", (24, 20, 5), {}, ValueError, "with its axes named"),
    ("gaussian_blur", (4, 24, 20), {"axes": "ZYQ"}, ValueError, "letter(s) Q"),
    ("gaussian_blur", (4, 24, 20), {"axes": "zyx"}, ValueError, "letter(s) x, y, z"),
    ("gaussian_blur", (4, 24, 20), {"axes": "ZZX"}, ValueError, "names an axis twice"),
    ("gaussian_blur", (4, 24, 20), {"axes": "TZYX"}, ValueError, "names 4 axes; img has 3"),
    ("gaussian_blur", (4, 24, 20), {"axes": "TZC"}, ValueError, "rows Y and columns X"),
    ("gaussian_blur", (5, 24, 20), {"axes": "SYX"}, ValueError, "name other channels C"),
    ("gaussian_blur", (4, 24, 20), {"axes": ["Z", "Y", "X"]}, TypeError, "axes must be a string"),
    ("resize", (2, 24, 20, 3), {"axes": "ZYXS"}, ValueError, "grey planes only"),
    ("gaussian_blur", (0, 24, 20), {"axes": "ZYX"}, ValueError, "holds no plane"),
    ("gaussian_blur", (4, 24, 20), {"axes": "ZYX", "ksiz": 5}, TypeError, "did you mean 'ksize'"),
])
def test_refusals_say_what_to_change(name, image_shape, keywords, error, words):
    image = np.zeros(image_shape, np.uint16)
    with pytest.raises(error) as caught:
        getattr(pictor, name)(image, **keywords)
    assert words in str(caught.value)
    assert str(caught.value).startswith(name + "()")


def test_a_stack_of_float_samples_is_refused_like_a_plane():
    with pytest.raises(TypeError, match="dtype float32"):
        pictor.gaussian_blur(np.zeros((3, 24, 20), np.float32), axes="ZYX")


@pytest.mark.parametrize("name", ["gaussian_blur", "auto_level", "canny_edge", "rotate"])
def test_large_planes_in_parallel_equal_the_loop(name):
    # planes of a million samples and more run on as many threads as OpenCV's
    import cv2

    stack = np.random.default_rng(5).integers(0, 65536, (3, 1024, 1100), dtype=np.uint16)
    function = getattr(pictor, name)
    threads = cv2.getNumThreads()
    cv2.setNumThreads(2)
    try:
        assert_same_array(function(stack, axes="ZYX"), loop_over_planes(function, stack, "ZYX"))
    finally:
        cv2.setNumThreads(threads)


@pytest.mark.parametrize("name, keywords", [
    ("gaussian_blur", {"ksize": 5}), ("mean_blur", {"ksize": 3}), ("median_blur", {"ksize": 1}),
    ("median_blur", {"ksize": 5}), ("median_blur", {"ksize": 7}), ("auto_level", {}), ("canny_edge", {}),
])
@pytest.mark.parametrize("axes, shape, dtype", [
    ("ZYX", (9, 24, 20), np.uint16), ("YXC", (24, 20, 9), np.uint16), ("TZYX", (2, 3, 5, 1), np.uint16),
    ("CYX", (5, 24, 20), np.uint8),
])
def test_small_planes_shared_over_threads_equal_the_loop(monkeypatch, name, keywords, axes, shape, dtype):
    # every plane after the first handed to two threads; the results written in
    # place where the output's planes are contiguous (ZYX), copied where not
    # (YXC); median_blur's and auto_level's grey planes in blocks of a few
    monkeypatch.setattr(named_axes, "TIMING_SECONDS", 0)
    monkeypatch.setattr(named_axes, "PARALLEL_PLANE_SECONDS", 0)
    monkeypatch.setattr(named_axes, "BLOCK_SAMPLES", 300)
    monkeypatch.setattr(named_axes, "PARALLEL_BLOCK_SAMPLES", 0)
    monkeypatch.setattr(named_axes, "plane_workers", lambda: 2)
    stack = np.random.default_rng(6).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    function = getattr(pictor, name)
    assert_same_array(function(stack, axes=axes, **keywords),
                      loop_over_planes(lambda plane: function(plane, **keywords), stack, axes))
