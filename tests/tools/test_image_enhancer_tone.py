"""ImageEnhancer.shadows_highlight, glow, brightness_contrast and east against
the reference model: same arrays (bit for bit), same errors."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corpus
from conftest import assert_method_parity, assert_same_array, keyword_cases
from reference import image_enhancer as reference

METHODS = ["shadows_highlight", "glow", "brightness_contrast", "east"]
SMALL_NAMES = ["u8-grey-random-57x101", "u16-colour-random-57x101", "u16-grey-every-value-256x256",
               "u8-colour-photo-coffee-97x131", "u8-grey-tiny-3x2", "u16-grey-tiny-1x1"]


# --- corpus parity --------------------------------------------------------------------------

CORPUS_SWEEPS = (
    keyword_cases("shadows_highlight", [{}, {"shadow": 0.9, "highlight": 0.1}])
    + keyword_cases("glow", [{}, {"radius": 3, "intensity": 2}, {"radius": 0, "intensity": 2.0}])
    + keyword_cases("brightness_contrast", [{}, {"brightness": 10, "contrast": 2}, {"brightness": -300},
                                     {"brightness": 12.5, "contrast": 0.7}])
    + keyword_cases("east", [{}])
)


@pytest.mark.parametrize("method,kwargs", CORPUS_SWEEPS)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(enhancer, method, kwargs, name):
    assert_method_parity(enhancer, reference, method, corpus.load(name), **kwargs)


KEYWORD_SWEEPS = (
    keyword_cases("shadows_highlight",
                  [{"shadow": v} for v in (0, 1, 2, -1, 0.0, 3.3, 70000, 1e39, float("nan"))]
                  + [{"highlight": v} for v in (0, 1, -2, 0.25, 1e300, float("inf"))]
                  + [{"shadow": 0, "highlight": 0}])
    + keyword_cases("glow",
                    [{"radius": r} for r in (0, 1, 7, 120)]
                    + [{"intensity": v} for v in (0, 1, 2, 3, 255, 256, 300, 70000, -1, -300, True, 0.0, 2.0, -0.5,
                                           float("nan"))])
    + keyword_cases("brightness_contrast",
                    [{"brightness": v} for v in (0, 1, 255, 300, -300, 70000, -2 ** 31 - 1, 0.5, 1e300, True)]
                    + [{"contrast": v} for v in (0, 2, -1, 256, 2 ** 40, 0.0, 1.5, 3.5e38, float("nan"), False)]
                    + [{"contrast": 70000, "brightness": 0.25}, {"contrast": 0.5, "brightness": 2 ** 63}])
)


@pytest.mark.parametrize("method,kwargs", KEYWORD_SWEEPS)
@pytest.mark.parametrize("name", SMALL_NAMES)
def test_keyword_parity(enhancer, method, kwargs, name):
    assert_method_parity(enhancer, reference, method, corpus.load(name), **kwargs)


@pytest.mark.parametrize("method", METHODS)
@settings(max_examples=30, deadline=None)
@given(src=hnp.arrays(st.sampled_from([np.uint8, np.uint16]),
                      hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=40)
                      | hnp.array_shapes(min_dims=3, max_dims=3, min_side=1, max_side=20)
                      .map(lambda shape: shape[:2] + (3,))))
def test_random_images(enhancer, method, src):
    kwargs = {"radius": 4} if method == "glow" else {}
    assert_method_parity(enhancer, reference, method, src, **kwargs)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("shape,dtype", [((517, 1031), np.uint16), ((301, 403, 3), np.uint16),
                                         ((263, 999), np.uint8)])
def test_larger_images(enhancer, method, shape, dtype):
    rng = np.random.default_rng(sum(shape))
    src = rng.integers(0, np.iinfo(dtype).max, size=shape, dtype=dtype, endpoint=True)
    assert_method_parity(enhancer, reference, method, src)


# --- documented behaviour ---------------------------------------------------------------------

def working_copy_restored(src):
    return ((src // 257) if src.dtype == np.uint16 else src).astype(np.uint16) * 257


def test_shadows_highlight_examples(enhancer):
    run = enhancer.shadows_highlight
    assert_same_array(run(src=np.zeros((20, 30), np.uint8)), np.zeros((20, 30), np.uint16))
    assert_same_array(run(src=np.full((20, 30, 3), 255, np.uint8)), np.full((20, 30, 3), 65535, np.uint16))
    src = corpus.load("u16-grey-every-value-256x256")
    assert_same_array(run(src=src, shadow=0, highlight=0), working_copy_restored(src))
    brightened = run(src=src)
    assert np.all(brightened >= working_copy_restored(src))


@pytest.mark.parametrize("value,dtype", [(0, np.uint8), (90, np.uint8), (255, np.uint8), (300, np.uint16),
                                         (40000, np.uint16)])
def test_glow_of_a_constant_image(enhancer, value, dtype):
    src = np.full((25, 19), value, dtype)
    assert_same_array(enhancer.glow(src=src), working_copy_restored(src))


def test_glow_integer_intensity_wraps_and_real_intensity_saturates(enhancer):
    # A vertical step 0 | 200: the two columns at the step have |d/dx| = 800,
    # saturated to 255, and d/dy = 0, so their edge value is 127.5 rounded to
    # 128; with radius 0 the halo is that edge map times the intensity.
    src = np.zeros((9, 12), np.uint8)
    src[:, 6:] = 200
    restored = src.astype(np.uint16) * 257
    # 128 * 2 wraps to 0 in 8-bit arithmetic: no halo at all.
    assert_same_array(enhancer.glow(src=src, radius=0, intensity=2), restored)
    # 128 * 2.0 = 256 is clipped to 255, which saturates both columns.
    saturated = restored.copy()
    saturated[:, 5:7] = 65535
    assert_same_array(enhancer.glow(src=src, radius=0, intensity=2.0), saturated)


def test_brightness_contrast_examples(enhancer):
    run = enhancer.brightness_contrast
    src = np.array([[100, 200], [0, 255]], np.uint8)
    assert_same_array(run(src=src, contrast=2, brightness=10),
                      np.array([[210 * 257, 65535], [10 * 257, 65535]], np.uint16))
    assert_same_array(run(src=src, brightness=-300), np.zeros((2, 2), np.uint16))
    for name in ("u16-grey-every-value-256x256", "u8-colour-photo-chelsea-96x128"):
        image = corpus.load(name)
        assert_same_array(run(src=image), working_copy_restored(image))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_east_examples(enhancer, dtype):
    constant = np.full((10, 11, 3), 123, dtype)
    assert_same_array(enhancer.east(src=constant), constant)
    step = np.full((12, 7), 100, dtype)
    step[6:] = 50
    expected = step.copy()
    expected[5] = 255 if dtype == np.uint8 else 300
    expected[6] = 250
    assert_same_array(enhancer.east(src=step), expected)


# --- errors -------------------------------------------------------------------------------------

BAD_KEYWORDS = (
    keyword_cases("shadows_highlight", [{"shadow": v} for v in ("x", None)] + [{"highlight": v} for v in ("x", None)])
    + keyword_cases("glow", [{"radius": v} for v in (-1, -7, 2.5, "a", None, 2 ** 40)]
                    + [{"intensity": v} for v in ("x", None)])
    + keyword_cases("brightness_contrast", [{"brightness": v} for v in ("x", None)]
                    + [{"contrast": v} for v in ("x", None)])
)


@pytest.mark.parametrize("method,kwargs", BAD_KEYWORDS)
@pytest.mark.parametrize("name", ["u8-grey-random-57x101", "u16-colour-tiny-1x1"])
def test_bad_keyword_values(enhancer, method, kwargs, name):
    assert_method_parity(enhancer, reference, method, corpus.load(name), **kwargs)


BAD_SOURCES = {
    "missing": None,
    "list": [[1, 2], [3, 4]],
    "empty": np.zeros((0, 5), np.uint8),
    "empty-colour": np.zeros((4, 0, 3), np.uint16),
    "int16": np.arange(-20, 20, dtype=np.int16).reshape(5, 8),
    "int32": np.arange(-20, 20, dtype=np.int32).reshape(5, 8) * 1000,
    "float": np.linspace(0, 1, 40).reshape(5, 8),
    "float32": np.linspace(0, 255, 40, dtype=np.float32).reshape(5, 8),
    "bool": np.arange(40).reshape(5, 8) % 3 == 0,
    "1-channel": np.arange(30, dtype=np.uint16).reshape(5, 6, 1) * 999,
    "4-channel": np.arange(160, dtype=np.uint16).reshape(5, 8, 4) * 300,
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("source", list(BAD_SOURCES))
def test_unusual_sources(enhancer, method, source):
    assert_method_parity(enhancer, reference, method, BAD_SOURCES[source])


@pytest.mark.parametrize("method", ["glow", "brightness_contrast", "east"])
def test_0_d_input_like_the_reference(enhancer, method):
    assert_method_parity(enhancer, reference, method, np.array(7, np.uint8))


@pytest.mark.parametrize("src", [np.array(7, np.uint8), np.zeros((5, 5, 1), np.uint8)], ids=["0-d", "5x5x1"])
def test_shadows_highlight_refuses_what_opencv_reshapes(enhancer, src):
    # OpenCV turns a 0-d float into a 4 x 1 matrix and drops the channel axis
    # of a 5 x 5 x 1 image; the plain recipe broadcasts those against the
    # image into arrays of other shapes, this module refuses them.
    with pytest.raises(ValueError, match="could not be broadcast"):
        enhancer.shadows_highlight(src=src)
