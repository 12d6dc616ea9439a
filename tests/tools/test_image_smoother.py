"""ImageSmoother against the reference model: same arrays, same errors.

Each method is described once in METHODS (its reference function and the
keyword sweeps it is checked with); the tests below run over that table, so a
new method only needs a new entry.
"""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corpus
from conftest import assert_method_parity, assert_parity, assert_same_array, keyword_label
from reference import image_smoother as reference

DEFAULT = object()  # keyword left out of the call
KSIZE_SWEEP = [DEFAULT, 0, 1, 2, 3, 4, -4, 7, 31]
BAD_KSIZE = [None, "a", -3, -1, 3.0, 4.0, float("nan"), (3, 3), [3], 2 ** 31, -2 ** 31]


class Method:
    def __init__(self, name, sweeps, bad_values):
        self.name = name
        self.sweeps = sweeps          # list of keyword dicts for the corpus sweep
        self.bad_values = bad_values  # list of (keyword, value) the reference rejects or accepts

    def ours(self, smoother):
        return getattr(smoother, self.name)

    def reference(self):
        return getattr(reference, self.name)


def _ksize_sweep(values):
    return [{} if value is DEFAULT else {"ksize": value} for value in values]


METHODS = [
    Method("mean_blur", _ksize_sweep(KSIZE_SWEEP), [("ksize", v) for v in BAD_KSIZE]),
    Method("median_blur", _ksize_sweep(KSIZE_SWEEP), [("ksize", v) for v in BAD_KSIZE]),
    Method("gaussian_blur", _ksize_sweep(KSIZE_SWEEP), [("ksize", v) for v in BAD_KSIZE]),
]


def _sweep_cases():
    for method in METHODS:
        for kwargs in method.sweeps:
            yield pytest.param(method, kwargs, id="{}-{}".format(method.name, keyword_label(kwargs)))


def _bad_value_cases():
    for method in METHODS:
        for key, value in method.bad_values:
            yield pytest.param(method, key, value, id="{}-{}={!r}".format(method.name, key, value))


def _method_params():
    return [pytest.param(method, id=method.name) for method in METHODS]


# --- corpus parity ---------------------------------------------------------------------

@pytest.mark.parametrize("method,kwargs", list(_sweep_cases()))
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(smoother, method, kwargs, name):
    assert_method_parity(smoother, reference, method.name, corpus.load(name), **kwargs)


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("ksize", [101, 255])
@pytest.mark.parametrize("name", ["u8-grey-tiny-1x1", "u16-colour-random-57x101",
                                  "u8-grey-photo-camera-96x128"])
def test_kernels_larger_than_the_image(smoother, method, ksize, name):
    assert_method_parity(smoother, reference, method.name, corpus.load(name), ksize=ksize)


# The median's own kernels by window side: a selection network (3, 5), bit by
# bit (7 to 13), column histograms (15); rows and columns fewer than the side.
@pytest.mark.parametrize("ksize", [5, 13, 15])
@pytest.mark.parametrize("name", ["u8-grey-tiny-1x1", "u16-colour-random-57x101", "u8-grey-photo-camera-96x128",
                                  "u16-colour-photo-coffee-97x131"])
def test_median_of_each_native_window(smoother, ksize, name):
    assert_method_parity(smoother, reference, "median_blur", corpus.load(name), ksize=ksize)


@pytest.mark.parametrize("method", _method_params())
@settings(max_examples=40, deadline=None)
@given(src=hnp.arrays(st.sampled_from([np.uint8, np.uint16]),
                      hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=40)
                      | hnp.array_shapes(min_dims=3, max_dims=3, min_side=1, max_side=20)
                      .map(lambda shape: shape[:2] + (3,))),
       ksize=st.integers(-1, 12))
def test_random_images(smoother, method, src, ksize):
    assert_method_parity(smoother, reference, method.name, src, ksize=ksize)


# --- documented examples -----------------------------------------------------------------

@pytest.mark.parametrize("method", _method_params())
def test_even_kernel_is_raised_to_the_next_odd_one(smoother, method):
    src = corpus.load("u16-grey-photo-camera-96x128")
    run = method.ours(smoother)
    assert_same_array(run(src=src, ksize=2), run(src=src))
    assert_same_array(run(src=src, ksize=4), run(src=src, ksize=5))
    assert_same_array(run(src=src, ksize=0), run(src=src, ksize=1))


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("ksize", [0, 3, 9])
def test_low_bits_are_lost_before_filtering(smoother, method, ksize):
    src = np.full((9, 10), 300, np.uint16)
    assert_same_array(method.ours(smoother)(src=src, ksize=ksize), np.full((9, 10), 257, np.uint16))


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("name", ["u8-colour-random-57x101", "u16-colour-photo-coffee-97x131"])
def test_result_is_a_new_uint16_array_of_the_input_shape(smoother, method, name):
    src = corpus.load(name)
    result = method.ours(smoother)(src=src)
    assert type(result) is np.ndarray and result.dtype == np.uint16
    assert result.shape == src.shape
    assert result.flags.writeable and not np.shares_memory(result, src)


# --- errors ----------------------------------------------------------------------------------

@pytest.mark.parametrize("method,key,value", list(_bad_value_cases()))
@pytest.mark.parametrize("name", ["u8-grey-random-57x101", "u16-colour-tiny-1x1"])
def test_bad_keyword_values(smoother, method, key, value, name):
    assert_method_parity(smoother, reference, method.name, corpus.load(name), **{key: value})


@pytest.mark.parametrize("method,key,value", list(_bad_value_cases()))
def test_bad_keyword_value_reported_before_missing_src(smoother, method, key, value):
    assert_parity(lambda: method.ours(smoother)(**{key: value}),
                  lambda: method.reference()(**{key: value}))


def _unit_float_image():
    return np.linspace(0.0, 1.0, 35).reshape(5, 7)


BAD_SOURCES = {
    "missing": None,
    "list": [[1, 2], [3, 4]],
    "string": "image.png",
    "number": 7,
    "float-unit": _unit_float_image(),
    "float32-0-255": (_unit_float_image() * 255).astype(np.float32),
    "int16": (_unit_float_image() * 255).astype(np.int16),
    "int8": (_unit_float_image() * 127).astype(np.int8),
    "bool": _unit_float_image() > 0.5,
    "empty-grey": np.zeros((0, 0), np.uint8),
    "empty-rows": np.zeros((0, 7), np.uint16),
    "empty-colour": np.zeros((4, 0, 3), np.uint8),
    "0-d": np.array(7, np.uint8),  # its working copy is a NumPy scalar, which cv2 rejects
    "1-d": np.arange(9, dtype=np.uint8),
    "1-channel": np.zeros((5, 6, 1), np.uint16) + 1000,
    "2-channel": np.arange(60, dtype=np.uint8).reshape(5, 6, 2),
    "4-channel": np.arange(120, dtype=np.uint16).reshape(5, 6, 4) * 500,
    "5-channel": np.arange(150, dtype=np.uint8).reshape(5, 6, 5),
    "4-d": np.zeros((2, 3, 4, 3), np.uint8),
}


def _source_params():
    return [pytest.param(name, id=name) for name in BAD_SOURCES]


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("source", _source_params())
@pytest.mark.parametrize("ksize", [1, 3])
def test_bad_sources(smoother, method, source, ksize):
    src = BAD_SOURCES[source]
    if isinstance(src, np.ndarray):
        assert_method_parity(smoother, reference, method.name, src.copy(), ksize=ksize)
    else:
        assert_parity(lambda: method.ours(smoother)(src=src, ksize=ksize),
                      lambda: method.reference()(src=src, ksize=ksize))


# --- sizes and threads ------------------------------------------------------------------------

def _large(shape, dtype, seed):
    top = np.iinfo(dtype).max
    return np.random.default_rng(seed).integers(0, top, size=shape, dtype=dtype, endpoint=True)


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("ksize", [3, 8])
@pytest.mark.parametrize("shape,dtype", [((517, 1031), np.uint16), ((301, 403, 3), np.uint16),
                                         ((263, 1999), np.uint8)])
def test_larger_images(smoother, method, ksize, shape, dtype):
    assert_method_parity(smoother, reference, method.name, _large(shape, dtype, sum(shape)), ksize=ksize)


@pytest.mark.parametrize("method", _method_params())
@pytest.mark.parametrize("ksize", [11, 13, 15, 17])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_window_sums_near_the_top_level(smoother, method, ksize, dtype):
    # Windows of top levels with a few dips sum closest to the limits of
    # the narrow windows' 16-bit arithmetic.
    top = np.iinfo(dtype).max
    src = np.full((67, 45, 3), top, dtype)
    src[::7, ::5] = _large(src[::7, ::5].shape, dtype, ksize)
    assert_method_parity(smoother, reference, method.name, src, ksize=ksize)


@pytest.mark.parametrize("method", _method_params())
def test_concurrent_calls_from_threads(smoother, method):
    sources = [_large((211, 307), np.uint16, seed) for seed in range(8)]
    sources += [_large((97, 131, 3), np.uint8, seed) for seed in range(8)]
    expected = [method.reference()(src=src, ksize=5) for src in sources]
    run = method.ours(smoother)
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            results = list(pool.map(lambda src: run(src=src, ksize=5), sources))
            for ours, reference_result in zip(results, expected):
                assert_same_array(ours, reference_result)
