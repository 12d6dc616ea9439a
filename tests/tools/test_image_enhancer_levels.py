"""ImageEnhancer's brightness transfer, histogram stretches and grey-level
mappings against the reference model, and the choices for the cases the
recipe leaves undefined (0 / 0) that the methods' docstrings in
src/pictor/lumenops.pyi state."""
import sys
import types
import warnings

import cv2
import numpy as np
import pytest

import corpus
import reference as reference_package
import reference.utility_tool  # noqa: F401  (the stretch reads its boundaries through it)
from conftest import assert_parity, assert_same_array, keyword_label
from reference import image_enhancer as reference

SWEEPS = {
    "brightness_transfer": [{}, {"ratio": 0}, {"ratio": 0.9}, {"ratio": 0.25}, {"ratio": 1}],
    "histogram_enhancement": [{}],
    "auto_level": [{}, {"low_percent": 0, "high_percent": 0.5}, {"low_percent": 0.3, "high_percent": 0.3},
                   {"low_percent": 0.999}, {"high_percent": 0.999}, {"low_percent": -0.2},
                   {"high_percent": 0}, {"low_percent": 1}],
    "gamma_stretched": [{}, {"gamma_value": 0.5}, {"gamma_value": 1}, {"gamma_value": 2}, {"gamma_value": 0.4},
                        {"gamma_value": -0.7}, {"gamma_value": 0}, {"gamma_value": -1}, {"gamma_value": 3}],
    "maximum_gray_level": [{}],
    "maximum_grayscale_value": [{}],
}
METHODS = list(SWEEPS)


def _sweep_cases():
    for method, sweeps in SWEEPS.items():
        for kwargs in sweeps:
            yield pytest.param(method, kwargs, id="{}-{}".format(method, keyword_label(kwargs)))


def full_scale(src):
    return 65535. if src.dtype == np.uint16 else 255.


def divides_zero_by_zero(method, src, **kwargs):
    """Whether the recipe's stretch divides 0 by 0 for this input (the reference
    then writes whatever NumPy's cast makes of NaN)."""
    if method == "brightness_transfer":
        return src.min() == src.max()
    if method == "auto_level":
        ordered = np.sort((src.astype(np.float32) / full_scale(src)).ravel())
        low = ordered[int(np.floor(ordered.size * kwargs.get("low_percent", 0.01)))]
        high = ordered[int(np.floor(ordered.size * (1 - kwargs.get("high_percent", 0.01))))]
        return low == high
    if method == "maximum_grayscale_value":
        return src.astype(np.float32).max() == 0
    if method == "adaptive_histogram_truncation_stretched":
        working = (src / full_scale(src) * 255.0).astype(np.uint8)
        _, low, high = reference_package.utility_tool.get_boundary(
            working, low_thr=10, high_thr=256, l_scale=kwargs.get("scale_l", 0), r_scale=kwargs.get("scale_r", 1))
        return low == high
    return False


def stated_result(method, src, **kwargs):
    """Our value where the recipe divides 0 by 0, as the method's docstring in
    lumenops.pyi states it."""
    if method == "brightness_transfer":  # the target mean itself
        target = kwargs.get("ratio", 0.5) * full_scale(src)
        return np.full(src.shape, np.clip(target, 0, full_scale(src))).astype(src.dtype)
    if method == "auto_level":  # a stretch term of 0: every sample keeps the level I_min
        image = src.astype(np.float32) / full_scale(src)
        i_min = np.sort(image.ravel())[int(np.floor(image.size * kwargs.get("low_percent", 0.01)))]
        return (np.full(src.shape, min(i_min, np.float32(1.0)), np.float32) * 65535).astype(np.uint16)
    if method == "maximum_grayscale_value":  # 0 for the zero samples of an all-zero image
        return np.zeros(src.shape, np.uint8)
    if method == "adaptive_histogram_truncation_stretched":  # every sample sits at the lower limit: 0
        return np.zeros(src.shape, np.uint16)
    raise AssertionError("no 0 / 0 case stated in the docstring of " + method)


def check(enhancer, method, src, **kwargs):
    """Ours equals the reference (array or exception), or the value its docstring states
    where the recipe divides 0 by 0; the input stays untouched."""
    before = src.copy()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            expected = getattr(reference, method)(src=src.copy(), **kwargs)
    except Exception:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert_parity(lambda: getattr(enhancer, method)(src=src, **kwargs),
                          lambda: getattr(reference, method)(src=src.copy(), **kwargs))
    else:
        if divides_zero_by_zero(method, src, **kwargs):
            expected = stated_result(method, src, **kwargs)
            with warnings.catch_warnings():
                warnings.simplefilter("error", RuntimeWarning)  # handled without a NumPy warning
                ours = getattr(enhancer, method)(src=src, **kwargs)
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # NumPy's own, from the power
                ours = getattr(enhancer, method)(src=src, **kwargs)
        assert_same_array(ours, expected)
    assert src.tobytes() == before.tobytes(), "input array was modified"


@pytest.mark.parametrize("method,kwargs", list(_sweep_cases()))
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(enhancer, method, kwargs, name):
    check(enhancer, method, corpus.load(name), **kwargs)


def _large_images():
    # More samples than levels: the per-level tables take over from per-sample arithmetic.
    rng = np.random.default_rng(20240611)
    return {
        "u16-random": rng.integers(0, 65536, (300, 310), dtype=np.uint16),
        "u16-narrow": rng.integers(20000, 20400, (300, 300)).astype(np.uint16),
        "u16-colour": rng.integers(0, 65536, (150, 160, 3), dtype=np.uint16),
        "u8-random": rng.integers(0, 256, (260, 270), dtype=np.uint8),
        "int16": rng.integers(-32768, 32768, (260, 260)).astype(np.int16),
        "int8": rng.integers(-128, 128, (100, 100)).astype(np.int8),
        "float32": (rng.random((90, 110)) * 255).astype(np.float32),
        "float64": rng.random((90, 110)) * 300 - 20,
        "int32": rng.integers(-5, 70000, (90, 110)).astype(np.int32),
        "bool": rng.random((40, 50)) > 0.3,
    }


LARGE = _large_images()


@pytest.mark.parametrize("method,kwargs", list(_sweep_cases()))
@pytest.mark.parametrize("name", LARGE)
def test_large_and_other_sample_types(enhancer, method, kwargs, name):
    check(enhancer, method, LARGE[name].copy(), **kwargs)


BAD_SOURCES = {
    "missing": None,
    "list": [[1, 2], [3, 4]],
    "empty-grey": np.zeros((0, 0), np.uint8),
    "empty-colour": np.zeros((4, 0, 3), np.uint16),
    "non-contiguous": np.arange(4000, dtype=np.uint16).reshape(40, 100)[::3, ::7] * 16,
    "read-only": np.arange(600, dtype=np.uint16).reshape(20, 30) * 100,
    "big-endian": (np.arange(600, dtype=np.uint16).reshape(20, 30) * 100).astype(">u2"),
    "one-dimensional": np.arange(50, dtype=np.uint8) * 5,
    "nan": np.array([[0.5, np.nan], [3.0, 200.0]], np.float32),
    "infinite": np.array([[0.5, np.inf], [-np.inf, 200.0]]),
}
BAD_SOURCES["read-only"].setflags(write=False)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("source", BAD_SOURCES)
def test_bad_sources(enhancer, method, source):
    src = BAD_SOURCES[source]
    if isinstance(src, np.ndarray):
        check(enhancer, method, src)
    else:
        assert_parity(lambda: getattr(enhancer, method)(src=src), lambda: getattr(reference, method)(src=src))


@pytest.mark.parametrize("method", [m for m in METHODS if m != "histogram_enhancement"])
def test_element_types_without_native_kernels_raise_type_error(enhancer, method):
    with pytest.raises(TypeError):
        getattr(enhancer, method)(src=np.ones((4, 4), np.float16))


@pytest.mark.parametrize("kwargs", [{"ratio": "a"}, {"ratio": None}, {"ratio": np.float32(0.3)}, {"ratio": True}])
def test_brightness_transfer_ratio_values(enhancer, kwargs):
    check(enhancer, "brightness_transfer", corpus.load("u16-grey-photo-camera-96x128"), **kwargs)


@pytest.mark.parametrize("kwargs", [{"low_percent": "a"}, {"high_percent": None}, {"low_percent": float("nan")},
                                    {"high_percent": float("-inf")}, {"low_percent": 10 ** 30},
                                    {"low_percent": np.float32(0.25)}, {"low_percent": -1.0}, {"low_percent": -1.1}])
def test_auto_level_fraction_values(enhancer, kwargs):
    check(enhancer, "auto_level", corpus.load("u8-colour-photo-chelsea-96x128"), **kwargs)


@pytest.mark.parametrize("gamma_value", [None, "a", np.float32(0.4), np.float64(2.0), 1e300, float("nan"),
                                         float("inf"), -1e39, 3.4e38, np.array([0.5, 2.0, 1.0]), np.array(0.7),
                                         np.array(2), np.array(0.5, np.float32), 1j, 2 ** 70, True, np.int64(2),
                                         np.uint8(1), np.float16(0.5), np.float32(-1), 16777217, 2.0, -1.0, 0.0,
                                         np.longdouble(0.4)],
                         ids=repr)
@pytest.mark.parametrize("name", ["u16-colour-random-57x101", "u8-grey-photo-camera-96x128"])
def test_gamma_values(enhancer, gamma_value, name):
    src = corpus.load(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy's own warnings (ComplexWarning, invalid cast) on both sides
        assert_parity(lambda: enhancer.gamma_stretched(src=src, gamma_value=gamma_value),
                      lambda: reference.gamma_stretched(src=src.copy(), gamma_value=gamma_value))


@pytest.mark.parametrize("shape", [(8, 8), (300, 300)])
@pytest.mark.parametrize("gamma_value", [-0.5, -40.0, 0.4, 7, 30])
def test_gamma_power_warns_like_numpy_only_for_levels_present(enhancer, shape, gamma_value):
    with_black = np.zeros(shape, np.uint16)
    with_black[0, :2] = [1, 65535]
    without_black = with_black + 1000
    for src in (with_black, without_black):
        with warnings.catch_warnings(record=True) as expected:
            warnings.simplefilter("always")
            reference.gamma_stretched(src=src, gamma_value=gamma_value)
        with warnings.catch_warnings(record=True) as ours:
            warnings.simplefilter("always")
            enhancer.gamma_stretched(src=src, gamma_value=gamma_value)
        assert sorted(str(w.message) for w in ours) == sorted(str(w.message) for w in expected)


# --- documented examples ---------------------------------------------------------------

@pytest.mark.parametrize("name", corpus.corpus_params(dtypes=(np.uint8,), layouts=("grey",)))
def test_histogram_enhancement_of_8_bits_is_the_equalised_levels_times_257(enhancer, name):
    src = corpus.load(name)
    assert_same_array(enhancer.histogram_enhancement(src=src), cv2.equalizeHist(src).astype(np.uint16) * 257)


# Histograms with one level, two, a long thin tail, and more samples than a
# float32 counts exactly (the running counts then round where they meet the scale).
@pytest.mark.parametrize("shape, levels", [((7, 5), [9]), ((40, 30), [0, 255]), ((300, 200), "tail"),
                                           ((4100, 4100), "tail")], ids=["one", "two", "tail", "over-2**24"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_histogram_enhancement_of_shaped_histograms_equals_opencv(enhancer, shape, levels, dtype):
    rng = np.random.default_rng(shape[0])
    if levels == "tail":
        working = np.minimum(rng.geometric(0.02, shape) - 1, 255).astype(np.uint8)
    else:
        working = rng.choice(np.array(levels, np.uint8), shape)
    if dtype == np.uint16:  # any of the 257 samples of each working level
        working16 = working.astype(np.uint16)
        src = working16 * 257 + np.where(working < 255, rng.integers(0, 257, shape, np.uint16), 0).astype(np.uint16)
    else:
        src = working
    assert_same_array(enhancer.histogram_enhancement(src=src), cv2.equalizeHist(working).astype(np.uint16) * 257)


def test_histogram_enhancement_of_colour_is_opencvs_error(enhancer):
    with pytest.raises(cv2.error):
        enhancer.histogram_enhancement(src=corpus.load("u8-colour-random-57x101"))


def test_auto_level_of_100_samples_clamps_at_sorted_indices_1_and_99(enhancer):
    src = np.arange(0, 200, 2, dtype=np.uint8).reshape(10, 10)[::-1].copy()
    low, high = np.float32(2) / 255, np.float32(198) / 255
    clamped = np.clip(src.astype(np.float32) / 255, low, high)
    expected = np.clip((clamped - low) * np.float32(1.0 - low) / (high - low) + low, low, 1.0)
    result = enhancer.auto_level(src=src)
    assert_same_array(result, (expected * 65535).astype(np.uint16))
    assert result.min() == int(low * 65535)


@pytest.mark.parametrize("kwargs", [{"high_percent": 0}, {"low_percent": 1}])
def test_auto_level_one_past_the_end_is_an_index_error(enhancer, kwargs):
    with pytest.raises(IndexError, match="index 100 is out of bounds for axis 0 with size 100"):
        enhancer.auto_level(src=np.zeros((10, 10), np.uint8), **kwargs)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_gamma_one_keeps_the_levels(enhancer, dtype):
    src = np.arange(256, dtype=dtype) if dtype == np.uint8 else np.arange(65536, dtype=np.uint32).astype(dtype)
    scale = 257 if dtype == np.uint8 else 1
    assert_same_array(enhancer.gamma_stretched(src=src, gamma_value=1), src.astype(np.uint16) * scale)


def test_gamma_default_is_the_square_root_and_negative_powers_send_black_to_white(enhancer):
    src = np.array([[0, 16384, 65535]], np.uint16)
    assert_same_array(enhancer.gamma_stretched(src=src),
                      (np.sqrt(src.astype(np.float32) / 65535) * 65535.0).astype(np.uint16))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert enhancer.gamma_stretched(src=src, gamma_value=-0.5)[0, 0] == 65535


def test_maximum_gray_level_examples(enhancer):
    src = np.array([[0, 256, 257, 65535]], np.uint16)
    assert_same_array(enhancer.maximum_gray_level(src=src), np.array([[0, 0, 1, 255]], np.uint8))
    levels = np.arange(256, dtype=np.uint8).reshape(16, 16)
    assert_same_array(enhancer.maximum_gray_level(src=levels), levels)
    every = np.arange(65536, dtype=np.uint32).astype(np.uint16)
    assert_same_array(enhancer.maximum_gray_level(src=every), (every // 257).astype(np.uint8))


def test_maximum_grayscale_value_examples(enhancer):
    src = np.array([[100, 50, 0]], np.uint16)
    assert_same_array(enhancer.maximum_grayscale_value(src=src), np.array([[255, 127, 0]], np.uint8))


# Edge maxima, and maxima where a product by the reciprocal would round differently.
EVERY_LEVEL_MAXIMA = ([(np.uint16, m) for m in (1, 2, 3, 255, 256, 257, 4097, 32768, 50001, 63341, 65534, 65535)]
                      + [(np.uint16, int(m)) for m in np.random.default_rng(2026).integers(2, 65535, 24)]
                      + [(np.uint8, m) for m in (1, 2, 3, 127, 128, 254, 255)])


@pytest.mark.parametrize("dtype,maximum", EVERY_LEVEL_MAXIMA)
def test_maximum_grayscale_value_of_every_level_up_to_the_maximum(enhancer, dtype, maximum):
    src = np.arange(maximum, -1, -1).astype(dtype).reshape(1, -1)
    assert_parity(lambda: enhancer.maximum_grayscale_value(src=src),
                  lambda: reference.maximum_grayscale_value(src=src.copy()))


# --- the 0 / 0 choices, as the docstrings in lumenops.pyi state them ------------------------

@pytest.mark.parametrize("dtype,value", [(np.uint8, 0), (np.uint8, 77), (np.uint16, 300), (np.uint16, 65535)])
@pytest.mark.parametrize("ratio,expected_fraction", [(0.5, 0.5), (0.2, 0.2), (1.5, 1.0), (-1, 0.0)])
def test_brightness_transfer_of_a_constant_image_is_the_target_mean(enhancer, dtype, value, ratio, expected_fraction):
    full = 65535. if dtype == np.uint16 else 255.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = enhancer.brightness_transfer(src=np.full((5, 6, 3), value, dtype), ratio=ratio)
    assert_same_array(result, np.full((5, 6, 3), int(expected_fraction * full), dtype))


@pytest.mark.parametrize("dtype,value,expected", [(np.uint16, 300, 300), (np.uint16, 65535, 65535),
                                                   (np.uint8, 255, 65535), (np.uint8, 1, 257), (np.uint8, 0, 0)])
def test_auto_level_of_a_constant_image_keeps_its_level(enhancer, dtype, value, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = enhancer.auto_level(src=np.full((7, 9), value, dtype))
    assert_same_array(result, np.full((7, 9), expected, np.uint16))


def test_maximum_grayscale_value_of_an_all_zero_image_is_zero(enhancer):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = enhancer.maximum_grayscale_value(src=np.zeros((4, 5, 3), np.uint16))
    assert_same_array(result, np.zeros((4, 5, 3), np.uint8))


# --- adaptive histogram truncation stretch -------------------------------------------------

ADAPTIVE_SWEEPS = [{}, {"scale_l": 1}, {"scale_l": 1, "scale_r": 0.5}, {"scale_l": 0.7, "scale_r": 1.3},
                   {"scale_r": 0}, {"scale_l": 2, "scale_r": 3}]


@pytest.mark.parametrize("kwargs", ADAPTIVE_SWEEPS, ids=keyword_label)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_adaptive_stretch_corpus_parity(enhancer, kwargs, name):
    src = corpus.load(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the boundary search of an empty histogram
        assert_parity(lambda: enhancer.adaptive_histogram_truncation_stretched(src=src, **kwargs),
                      lambda: reference.adaptive_histogram_truncation_stretched(src=src.copy(), **kwargs))


def stub_boundary(limits):
    def get_boundary(image, low_thr=0, high_thr=256, l_scale=0, r_scale=1):
        assert image.dtype == np.uint8 and (low_thr, high_thr) == (10, 256)
        return limits
    return get_boundary


@pytest.fixture
def boundary_stub(lumenops, monkeypatch):
    """Replaces get_boundary, for us and for the reference, by one returning given limits."""
    def install(limits):
        get_boundary = stub_boundary(limits)
        monkeypatch.setattr(lumenops.UtilityTool(), "get_boundary", get_boundary, raising=False)
        fake = types.ModuleType("reference.utility_tool")
        fake.get_boundary = get_boundary
        monkeypatch.setitem(sys.modules, "reference.utility_tool", fake)
        monkeypatch.setattr(reference_package, "utility_tool", fake, raising=False)
    return install


STUB_LIMITS = {
    "default-like": (100, np.float64(0.0), np.float64(200.0)),
    "narrow": (100, np.float64(60.0), np.float64(61.0)),
    "fractional": (100, np.float64(10.3), np.float64(230.7)),
    "coinciding": (100, np.float64(80.0), np.float64(80.0)),
    "coinciding-at-zero": (10, np.float64(0.0), np.float64(0.0)),
    "reversed": (100, np.float64(200.0), np.float64(50.0)),
    "python-floats": (3, 20.0, 250.0),
    "beyond-float32": (3, -1e39, 1e39),
}


@pytest.mark.parametrize("limits", STUB_LIMITS)
@pytest.mark.parametrize("name", ["u16-grey-photo-camera-96x128", "u8-colour-photo-coffee-97x131",
                                  "u16-grey-every-value-256x256", "u8-grey-tiny-1x17"])
def test_adaptive_stretch_between_given_limits(enhancer, boundary_stub, limits, name):
    boundary_stub(STUB_LIMITS[limits])
    check(enhancer, "adaptive_histogram_truncation_stretched", corpus.load(name))


@pytest.mark.parametrize("boundary", [None, (1, 2.0), (1, 2.0, 3.0, 4.0), 5, (1, "a", 3.0)], ids=repr)
def test_adaptive_stretch_unpacks_the_boundary_like_python(enhancer, boundary_stub, boundary):
    boundary_stub(boundary)
    src = corpus.load("u8-grey-random-57x101")
    assert_parity(lambda: enhancer.adaptive_histogram_truncation_stretched(src=src),
                  lambda: reference.adaptive_histogram_truncation_stretched(src=src.copy()))
