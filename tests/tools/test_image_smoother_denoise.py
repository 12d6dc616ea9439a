"""ImageSmoother's edge-preserving filters against the reference model.

The odd-value rule applies to all three numeric parameters of each filter,
floats included (10.0 -> 11.0, 2.5 stays).
"""
import cv2
import numpy as np
import pytest

import corpus
from conftest import assert_method_parity, assert_parity, assert_same_array
from reference import image_smoother as reference
from reference import restore_u16

NLM_SWEEP = [{}, {"denoising_strength": 10}, {"denoising_strength": 0},
             {"template_win": 6, "search_win": 20}, {"denoising_strength": 2.5, "search_win": 9},
             {"denoising_strength": 10.0, "template_win": 3.0}]
BILATERAL_SWEEP = [{}, {"ksize": 0}, {"ksize": 4, "sigma_color": 50, "sigma_space": 50},
                   {"sigma_color": 50.5, "sigma_space": 10.0}, {"ksize": -1, "sigma_space": 4},
                   {"ksize": -4, "sigma_space": 3}]
SWEEPS = {"nlm_blur": NLM_SWEEP, "bilateral_filter": BILATERAL_SWEEP}
PARAMETERS = {"nlm_blur": ["denoising_strength", "template_win", "search_win"],
              "bilateral_filter": ["ksize", "sigma_color", "sigma_space"]}
BAD_VALUES = [None, "a", (3, 3), float("nan"), 2 ** 31, -3]


def _sweep_cases():
    for method, sweep in SWEEPS.items():
        for kwargs in sweep:
            label = ",".join("{}={!r}".format(k, v) for k, v in kwargs.items()) or "defaults"
            yield pytest.param(method, kwargs, id="{}-{}".format(method, label))


@pytest.mark.parametrize("method", list(SWEEPS))
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity_with_defaults(smoother, method, name):
    assert_method_parity(smoother, reference, method, corpus.load(name))


@pytest.mark.parametrize("method,kwargs", list(_sweep_cases()))
@pytest.mark.parametrize("name", corpus.corpus_params(kinds=("photo", "tiny")))
def test_parameter_sweeps(smoother, method, kwargs, name):
    assert_method_parity(smoother, reference, method, corpus.load(name), **kwargs)


@pytest.mark.parametrize("method", list(SWEEPS))
@pytest.mark.parametrize("shape,dtype", [((301, 257), np.uint16), ((129, 211, 3), np.uint16), ((263, 199), np.uint8)])
def test_larger_images(smoother, method, shape, dtype):
    src = np.random.default_rng(sum(shape)).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    assert_method_parity(smoother, reference, method, src)


# --- the odd-value rule, as documented ------------------------------------------------------------

def _working_copy(src):
    return src if src.dtype == np.uint8 else (src // 257).astype(np.uint8)


@pytest.mark.parametrize("kwargs,used", [
    ({}, (3, 7, 21)),
    ({"denoising_strength": 10}, (11, 7, 21)),
    ({"denoising_strength": 0}, (1, 7, 21)),
    ({"template_win": 6, "search_win": 20}, (3, 7, 21)),
    ({"denoising_strength": 10.0}, (11.0, 7, 21)),
    ({"denoising_strength": 2.5}, (2.5, 7, 21)),
])
def test_nlm_parameters_used(smoother, kwargs, used):
    src = corpus.load("u16-grey-photo-camera-96x128")
    expected = restore_u16(cv2.fastNlMeansDenoising(_working_copy(src), None, *used))
    assert_same_array(smoother.nlm_blur(src=src, **kwargs), expected)


@pytest.mark.parametrize("kwargs,used", [
    ({}, (9, 75, 75)),
    ({"ksize": 0}, (1, 75, 75)),
    ({"sigma_color": 50, "sigma_space": 50}, (9, 51, 51)),
    ({"sigma_color": 50.5}, (9, 50.5, 75)),
    ({"ksize": -3, "sigma_space": 4}, (-3, 75, 5)),
])
def test_bilateral_parameters_used(smoother, kwargs, used):
    src = corpus.load("u8-colour-photo-chelsea-96x128")
    expected = restore_u16(cv2.bilateralFilter(src, *used))
    assert_same_array(smoother.bilateral_filter(src=src, **kwargs), expected)


@pytest.mark.parametrize("method", list(SWEEPS))
def test_low_bits_are_lost_before_filtering(smoother, method):
    src = np.full((20, 30), 300, np.uint16)
    assert_same_array(getattr(smoother, method)(src=src), np.full((20, 30), 257, np.uint16))


# --- errors -----------------------------------------------------------------------------------------

def _bad_value_cases():
    for method, names in PARAMETERS.items():
        for key in names:
            for value in BAD_VALUES:
                if key == "search_win" and value == -3:
                    continue  # kills the reference's process: see below
                if key == "ksize" and value == -3:
                    continue  # a diameter from sigma_space 75: slow, and swept above
                yield pytest.param(method, key, value, id="{}-{}={!r}".format(method, key, value))


@pytest.mark.parametrize("method,key,value", list(_bad_value_cases()))
def test_bad_parameters(smoother, method, key, value):
    assert_method_parity(smoother, reference, method, corpus.load("u16-grey-random-57x101"), **{key: value})


@pytest.mark.parametrize("method,key,value", list(_bad_value_cases()))
def test_bad_parameter_reported_before_missing_src(smoother, method, key, value):
    assert_parity(lambda: getattr(smoother, method)(**{key: value}),
                  lambda: getattr(reference, method)(**{key: value}))


# OpenCV's non-local means dies of a division by zero for search windows from
# -3 down to about minus the template window, and rejects smaller ones: pictor
# refuses them all with cv2.error.
@pytest.mark.parametrize("search_win", [-3, -4, -5, -21, -22, -2 ** 31 + 1, np.int64(-7)])
@pytest.mark.parametrize("template_win", [3, 7, 21])
@pytest.mark.parametrize("name", ["u8-grey-random-57x101", "u16-colour-random-57x101"])
def test_negative_search_window_is_refused(smoother, search_win, template_win, name):
    with pytest.raises(cv2.error, match="cannot search a window"):
        smoother.nlm_blur(src=corpus.load(name), search_win=search_win, template_win=template_win)


@pytest.mark.parametrize("search_win", [-1, -2, 0, 1, 2])
def test_search_windows_from_minus_one_up_reach_opencv(smoother, search_win):
    assert_method_parity(smoother, reference, "nlm_blur", corpus.load("u8-grey-random-57x101"), search_win=search_win)


# A diameter whose square overflows 32 bits (given, or derived from sigma_space
# when the diameter is not positive) would make OpenCV run for hours.
@pytest.mark.parametrize("kwargs", [{"ksize": 2 ** 31 - 1}, {"ksize": 46342}, {"ksize": -2, "sigma_space": 1e9},
                                    {"ksize": -1, "sigma_space": float("inf")}])
def test_overflowing_bilateral_diameter_is_refused(smoother, kwargs):
    with pytest.raises(cv2.error, match="cannot use a diameter"):
        smoother.bilateral_filter(src=np.zeros((1, 1), np.uint16), **kwargs)


@pytest.mark.parametrize("kwargs", [{"ksize": 2 ** 70}, {"ksize": 101}, {"ksize": -1, "sigma_space": 30.0},
                                    {"ksize": 0, "sigma_space": float("nan")}, {"ksize": -5, "sigma_space": -3}])
def test_largest_bilateral_diameters_reach_opencv(smoother, kwargs):
    assert_method_parity(smoother, reference, "bilateral_filter", np.arange(12, dtype=np.uint8).reshape(3, 4), **kwargs)


def test_negative_search_window_with_missing_src_reports_the_src(smoother):
    with pytest.raises(AttributeError):
        smoother.nlm_blur(search_win=-3)


@pytest.mark.parametrize("method", list(SWEEPS))
@pytest.mark.parametrize("src", [None, [[1, 2], [3, 4]], np.zeros((0, 4), np.uint8), np.zeros((5, 6, 2), np.uint8),
                                 np.linspace(0, 1, 30).reshape(5, 6), np.arange(30, dtype=np.int16).reshape(5, 6)],
                         ids=["missing", "list", "empty", "2-channel", "float", "int16"])
def test_bad_sources(smoother, method, src):
    assert_parity(lambda: getattr(smoother, method)(src=src), lambda: getattr(reference, method)(src=src))
