"""ImageFusion against the reference model: the input's element type, float64 arithmetic."""
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import corpus
from conftest import assert_method_parity, assert_parity, assert_same_array
from reference import image_fusion as reference

METHODS = ["multiply_fusion", "screen_fusion"]


@pytest.fixture(scope="module")
def fusion(lumenops):
    return lumenops.ImageFusion()


def _positive_maximum(name):
    return corpus.load(name).max() > 0


# --- corpus parity ---------------------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(fusion, method, name):
    assert_method_parity(fusion, reference, method, corpus.load(name), quiet=True)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name", [p for p in corpus.corpus_params() if _positive_maximum(p.values[0])])
@pytest.mark.parametrize("divisor", [1, 7, 65535])
def test_float32_corpus_parity(fusion, method, name, divisor):
    assert_method_parity(fusion, reference, method,
                         corpus.load(name).astype(np.float32) / np.float32(divisor), quiet=True)


def _typed(dtype, shape, seed):
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, dtype=dtype.newbyteorder("="), endpoint=True).astype(dtype)
    if dtype.kind == "b":
        return rng.random(shape) < 0.5
    return (rng.normal(0, 100, shape)).astype(dtype)


# Small images go through the direct loop, larger ones (> 65536 samples) through the value table.
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("shape", [(7, 9), (263, 301), (131, 97, 3)])
@pytest.mark.parametrize("dtype", ["i1", "i2", "i4", "i8", "u1", "u2", "u4",
                                   "u8",
                                   "f2", "f4", "f8", "?", ">u2", ">i2", ">f8", "c16", "O"])
def test_other_element_types(fusion, method, shape, dtype):
    if dtype == "O" and len(shape) == 3:
        pytest.skip("object arrays: one size is enough")
    src = _typed(dtype, shape, seed=len(shape) + sum(shape))
    assert_method_parity(fusion, reference, method, src, quiet=True)
    if np.dtype(dtype).kind in "iu" and np.iinfo(dtype).min < 0:
        assert_method_parity(fusion, reference, method,
                             np.abs(src.astype(np.float64)).clip(0, np.iinfo(dtype).max).astype(dtype), quiet=True)


SPECIAL_SOURCES = {
    "nan": np.array([[1.0, np.nan, 3.0]]),
    "inf": np.array([[1.0, np.inf, 3.0]]),
    "minus-inf": np.array([[1.0, -np.inf, 3.0]]),
    "all-negative": -np.arange(1.0, 7.0).reshape(2, 3),
    "all-negative-int16": -np.arange(1, 70001, dtype=np.int32).astype(np.int16).reshape(350, 200),
    "negative-and-zero-int8": np.array([[-5, 0, -128]], np.int8),
    "uint64-low": np.array([[0, 2 ** 62 + 12345, 2 ** 40]], np.uint64),
    "int64-extremes": np.array([[-2 ** 63, 2 ** 63 - 1, 5]], np.int64),
    "strided-view": np.arange(600, dtype=np.uint16).reshape(20, 30)[::2, ::3],
    "fortran-order": np.asfortranarray(_typed("u2", (50, 40), 3)),
    "read-only": np.arange(20, dtype=np.uint8).reshape(4, 5).copy(),
    "0-d": np.array(200, np.uint8),
    "1-d": np.arange(1, 300, dtype=np.uint16),
    "4-d": _typed("u1", (2, 3, 4, 5), 4),
}
SPECIAL_SOURCES["read-only"].setflags(write=False)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("source", list(SPECIAL_SOURCES))
def test_special_sources(fusion, method, source):
    assert_method_parity(fusion, reference, method, SPECIAL_SOURCES[source], quiet=True)


# float64 -> uint64 takes a separate path from 2**63 up.
@pytest.mark.parametrize("method", METHODS)
def test_uint64_from_2_to_63(fusion, method):
    assert_method_parity(fusion, reference, method,
                         np.array([[0, 2 ** 64 - 1, 2 ** 63, 3 * 2 ** 62]], np.uint64), quiet=True)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("scalar", [np.uint8(200), np.float32(0.3), np.int16(-7), np.uint16(0)])
def test_numpy_scalars_give_scalars(fusion, method, scalar):
    ours = getattr(fusion, method)(src=scalar)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = getattr(reference, method)(src=scalar)
    assert type(ours) is type(expected)
    assert ours == expected or (scalar == 0 and ours == 0)


# --- documented examples ----------------------------------------------------------------

@pytest.mark.parametrize("method,dtype,pairs", [
    ("multiply_fusion", np.uint8, {1: 0, 64: 16, 128: 64, 200: 156, 255: 255}),
    ("screen_fusion", np.uint8, {1: 1, 64: 111, 128: 191, 200: 243, 255: 255}),
    ("multiply_fusion", np.uint16, {1000: 15, 32768: 16384, 65535: 65535}),
    ("screen_fusion", np.uint16, {1000: 1984, 32768: 49151, 65535: 65535}),
])
def test_documented_values(fusion, method, dtype, pairs):
    src = np.array([list(pairs)], dtype)
    assert_same_array(getattr(fusion, method)(src=src), np.array([list(pairs.values())], dtype))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_constant_positive_image_is_unchanged(fusion, method, dtype):
    src = np.full((300, 300), 77, dtype)
    assert_same_array(getattr(fusion, method)(src=src), src)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64, np.int16])
@pytest.mark.parametrize("shape", [(4, 5), (300, 300, 3)])
def test_zero_image_gives_zeros_without_warning(fusion, method, dtype, shape):
    src = np.zeros(shape, dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="raise"):
            result = getattr(fusion, method)(src=src)
    assert_same_array(result, np.zeros(shape, dtype))


def test_concurrent_calls_from_threads(fusion):
    sources = [_typed("u2", (211, 307), seed) for seed in range(6)] + [_typed("f4", (97, 131, 3), 9)]
    expected = [(reference.multiply_fusion(src=src), reference.screen_fusion(src=src)) for src in sources]

    def both(src):
        return fusion.multiply_fusion(src=src), fusion.screen_fusion(src=src)

    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            for ours, wanted in zip(pool.map(both, sources), expected):
                assert_same_array(ours[0], wanted[0])
                assert_same_array(ours[1], wanted[1])


def test_colour_is_normalised_by_the_overall_maximum(fusion):
    src = np.zeros((2, 2, 3), np.uint8)
    src[..., 0] = 255
    src[..., 1] = 128
    result = fusion.multiply_fusion(src=src)
    assert (result[..., 0] == 255).all() and (result[..., 1] == 64).all()


# --- errors --------------------------------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("src", [None, [[1, 2], [3, 4]], 7, "image",
                                 np.zeros((0, 3), np.uint8), np.zeros((2, 0, 3), np.float32)],
                         ids=["missing", "list", "number", "string", "empty", "empty-colour"])
def test_bad_sources(fusion, method, src):
    assert_parity(lambda: getattr(fusion, method)(src=src), lambda: getattr(reference, method)(src=src))


@pytest.mark.parametrize("method", METHODS)
def test_missing_src_names_the_method_in_the_traceback(fusion, method):
    with pytest.raises(AttributeError) as caught:
        getattr(fusion, method)()
    assert "pictor.lumenops.ImageFusion." + method in [entry.name for entry in caught.traceback]
