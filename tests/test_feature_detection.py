"""FeatureDetection.canny_edge against the reference model: 0/65535 edge maps."""
import numpy as np
import pytest

import corpus
from conftest import assert_parity, assert_same_array
from reference import feature_detection as reference

THRESHOLDS = [{}, {"low_thr": 100, "high_thr": 50}, {"low_thr": 10, "high_thr": 30},
              {"low_thr": 0, "high_thr": 0}, {"low_thr": 20.5, "high_thr": 60.25}, {"high_thr": 1000}]


@pytest.fixture(scope="module")
def detector(lumenops):
    return lumenops.FeatureDetection()


def check_parity(detector, src, **kwargs):
    before = src.copy()
    assert_parity(lambda: detector.canny_edge(src=src, **kwargs),
                  lambda: reference.canny_edge(src=before.copy(), **kwargs))
    assert src.tobytes() == before.tobytes(), "input array was modified"


def _label(kwargs):
    return ",".join("{}={!r}".format(k, v) for k, v in kwargs.items()) or "defaults"


@pytest.mark.parametrize("kwargs", THRESHOLDS, ids=_label)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(detector, kwargs, name):
    check_parity(detector, corpus.load(name), **kwargs)


@pytest.mark.parametrize("shape,dtype", [((517, 1031), np.uint16), ((301, 403, 3), np.uint16), ((263, 1999), np.uint8)])
def test_larger_images(detector, shape, dtype):
    src = np.random.default_rng(sum(shape)).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    check_parity(detector, src)


# --- documented examples ---------------------------------------------------------------------

@pytest.mark.parametrize("dtype,value", [(np.uint8, 0), (np.uint8, 200), (np.uint16, 65535), (np.uint16, 300)])
def test_constant_image_has_no_edges(detector, dtype, value):
    assert_same_array(detector.canny_edge(src=np.full((40, 50), value, dtype)), np.zeros((40, 50), np.uint16))


@pytest.mark.parametrize("name", corpus.corpus_params(dtypes=(np.uint8,), kinds=("synthetic", "photo")))
def test_uint16_image_gives_the_edges_of_its_8_bit_equivalent(detector, name):
    src = corpus.load(name)
    wide = src.astype(np.uint16) * 257
    assert_same_array(detector.canny_edge(src=wide), detector.canny_edge(src=src))


@pytest.mark.parametrize("name", ["u16-grey-step-40x41", "u8-grey-checker-33x35", "u16-colour-gradients-45x67"])
def test_edges_are_0_or_65535_and_present(detector, name):
    src = corpus.load(name)
    result = detector.canny_edge(src=src)
    assert result.dtype == np.uint16 and result.shape == src.shape[:2]
    assert set(np.unique(result)) == {0, 65535}


# --- errors -------------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs", [{"low_thr": None}, {"high_thr": "a"}, {"low_thr": (1, 2)},
                                    {"low_thr": float("nan")}, {"high_thr": float("inf")}, {"low_thr": -5}],
                         ids=_label)
def test_bad_thresholds(detector, kwargs):
    check_parity(detector, corpus.load("u16-grey-random-57x101"), **kwargs)


@pytest.mark.parametrize("src", [None, [[1, 2], [3, 4]], np.zeros((0, 4), np.uint8), np.zeros((5, 6, 2), np.uint8),
                                 np.zeros((5, 6, 4), np.uint16), np.linspace(0, 1, 30).reshape(5, 6),
                                 np.arange(30, dtype=np.int16).reshape(5, 6), np.arange(9, dtype=np.uint8)],
                         ids=["missing", "list", "empty", "2-channel", "4-channel", "float", "int16", "1-d"])
def test_bad_sources(detector, src):
    assert_parity(lambda: detector.canny_edge(src=src), lambda: reference.canny_edge(src=src))
