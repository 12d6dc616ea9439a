"""FeatureDetection.canny_edge against the reference model: 0/65535 edge maps."""
import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corpus
from conftest import assert_method_parity, assert_parity, assert_same_array, keyword_label
from reference import feature_detection as reference

THRESHOLDS = [{}, {"low_thr": 100, "high_thr": 50}, {"low_thr": 10, "high_thr": 30},
              {"low_thr": 0, "high_thr": 0}, {"low_thr": 20.5, "high_thr": 60.25}, {"high_thr": 1000}]


@pytest.fixture(scope="module")
def detector(lumenops):
    return lumenops.FeatureDetection()


@pytest.mark.parametrize("kwargs", THRESHOLDS, ids=keyword_label)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(detector, kwargs, name):
    assert_method_parity(detector, reference, "canny_edge", corpus.load(name), **kwargs)


@pytest.mark.parametrize("shape,dtype", [((517, 1031), np.uint16), ((301, 403, 3), np.uint16), ((263, 1999), np.uint8)])
def test_larger_images(detector, shape, dtype):
    src = np.random.default_rng(sum(shape)).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    assert_method_parity(detector, reference, "canny_edge", src)


# --- native detector: suppression and hysteresis against OpenCV ------------------------------

# Threshold pairs around the cases the native detector must reproduce: zero,
# negative, equal, swapped, fractional (floored), beyond the largest magnitude.
STRESS_THRESHOLDS = [(50, 100), (10, 30), (0, 0), (-5, 10), (-20, -3), (40, 40), (100, 50), (10.7, 30.2),
                     (30.2, 10.7), (0.5, 0.9), (99.999, 100.0001), (1000, 5000), (2039, 2040), (2040, 2041)]


def _stripes(shape, degrees, period, soft):
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    angle = np.deg2rad(degrees)
    wave = np.sin((x * np.cos(angle) + y * np.sin(angle)) / period)
    return (127 + 127 * wave).astype(np.uint8) if soft else ((wave > 0) * 200 + 20).astype(np.uint8)


def _stress_image(name):
    rng = np.random.default_rng(sum(map(ord, name)))
    kind, _, size = name.partition("-")
    shape = tuple(int(n) for n in size.split("x")) if size else (61, 67)
    if kind == "noise8":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == "noise16":
        return rng.integers(0, 65536, shape, dtype=np.uint16)
    if kind == "lownoise":
        return rng.integers(100, 110, shape, dtype=np.uint8)
    if kind == "blurred":
        return cv2.GaussianBlur(rng.integers(0, 256, shape, dtype=np.uint8), (0, 0), 1.5)
    if kind == "smooth":
        y, x = np.mgrid[0:shape[0], 0:shape[1]]
        return (127 + 120 * np.sin(x / 7.0 + y / 11.0)).astype(np.uint8)
    if kind == "colour8":
        return rng.integers(0, 256, shape + (3,), dtype=np.uint8)
    if kind == "colour16":
        return rng.integers(0, 65536, shape + (3,), dtype=np.uint16)
    if kind == "colourlevels":  # channels often tie in magnitude with different directions
        return (rng.integers(0, 3, shape + (3,)) * 40).astype(np.uint8)
    if kind == "blocks":
        return np.kron(rng.integers(0, 4, (shape[0] // 3 + 1, shape[1] // 3 + 1)) * 60,
                       np.ones((3, 3)))[:shape[0], :shape[1]].astype(np.uint8)
    raise ValueError(name)


# Grey and colour images, shapes from a single pixel up to images traced by
# two threads (the band seam must not change the result).
STRESS_IMAGES = ["noise8-1x1", "noise8-1x9", "noise8-9x1", "noise8-2x2", "noise8-3x3", "noise8-2x300",
                 "noise8-300x2", "noise8-61x67", "noise16-61x67", "lownoise-61x67", "blurred-61x67", "smooth-61x67",
                 "blocks-61x67", "noise8-300x520", "blurred-413x390", "noise16-257x513", "colour8-1x1",
                 "colour8-3x3", "colour8-1x40", "colour16-61x67", "colourlevels-61x67", "colourlevels-300x520"]


@pytest.mark.parametrize("low,high", STRESS_THRESHOLDS)
@pytest.mark.parametrize("name", STRESS_IMAGES)
def test_stress_parity(detector, name, low, high):
    assert_method_parity(detector, reference, "canny_edge", _stress_image(name), low_thr=low, high_thr=high)


@pytest.mark.parametrize("soft", [False, True], ids=["hard", "soft"])
@pytest.mark.parametrize("degrees", range(0, 180, 15))
def test_stripes_at_every_angle(detector, degrees, soft):
    for low, high in [(50, 100), (10, 30), (200, 400)]:
        assert_method_parity(detector, reference, "canny_edge",
                             _stripes((47, 71), degrees, 2.3 if soft else 3.0, soft), low_thr=low, high_thr=high)


def test_weak_chain_across_the_band_seam(detector):
    # One strong spot feeds a long spiral of weak edges winding through both
    # halves of an image large enough to be traced in two bands.
    src = np.zeros((520, 520), np.uint8)
    turns = np.linspace(0, 14 * np.pi, 4000)
    radius = 10 + 17 * turns
    points = np.stack([260 + radius / 3 * np.cos(turns), 260 + radius / 3 * np.sin(turns)], axis=1)
    cv2.polylines(src, [points.astype(np.int32)], False, 40, thickness=2)
    cv2.circle(src, tuple(points[0].astype(int)), 4, 255, -1)
    expected = assert_method_parity(detector, reference, "canny_edge", src, low_thr=50, high_thr=200)
    edge_rows = np.nonzero(expected.any(axis=1))[0]
    assert edge_rows.min() < 100 and edge_rows.max() > 400, "the traced spiral should span both halves"


@pytest.mark.parametrize("low,high", [(float("nan"), 100), (50, float("nan")), (float("-inf"), 100), (2.0 ** 40, 10),
                                      (-2 ** 40, 10), (2 ** 70, 5), ("10", 20), (np.array([10.0]), 30),
                                      (np.float64(10.5), 30), (np.int32(10), np.uint8(30)), (True, 30)],
                         ids=["nan-low", "nan-high", "-inf", "2**40.", "-2**40", "2**70", "string", "array",
                              "float64", "numpy-ints", "bool"])
def test_thresholds_left_to_opencv(detector, low, high):
    assert_method_parity(detector, reference, "canny_edge",
                         corpus.load("u16-grey-random-57x101"), low_thr=low, high_thr=high)


def _layouts():
    base = np.random.default_rng(7).integers(0, 65536, (45, 52), dtype=np.uint16)
    return {"fortran": np.asfortranarray(base), "strided": base[::2, 1::3], "big-endian": base.astype(">u2"),
            "uint8-view": (base // 257).astype(np.uint8)[3:40, 5:50], "float-unit": base / 65535.0,
            "float-8-bit": (base // 257).astype(np.float32), "int16": (base // 4).astype(np.int16),
            "read-only": np.frombuffer(base.tobytes(), np.uint16).reshape(base.shape)}


@pytest.mark.parametrize("layout", sorted(_layouts()))
def test_unusual_layouts(detector, layout):
    assert_method_parity(detector, reference, "canny_edge", _layouts()[layout], low_thr=20, high_thr=60)


@settings(max_examples=150, deadline=None)
@given(rows=st.integers(1, 24), cols=st.integers(1, 24), levels=st.integers(2, 256), seed=st.integers(0, 2 ** 32 - 1),
       low=st.one_of(st.integers(-5, 300), st.floats(-5, 300)),
       high=st.one_of(st.integers(-5, 300), st.floats(-5, 300)),
       wide=st.booleans())
def test_random_small_images(detector, rows, cols, levels, seed, low, high, wide):
    values = np.random.default_rng(seed).integers(0, levels, (rows, cols)) * (255 // (levels - 1))
    src = (values * 257).astype(np.uint16) if wide else values.astype(np.uint8)
    assert_method_parity(detector, reference, "canny_edge", src, low_thr=low, high_thr=high)


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
                         ids=keyword_label)
def test_bad_thresholds(detector, kwargs):
    assert_method_parity(detector, reference, "canny_edge", corpus.load("u16-grey-random-57x101"), **kwargs)


@pytest.mark.parametrize("src", [None, [[1, 2], [3, 4]], np.zeros((0, 4), np.uint8), np.zeros((5, 6, 2), np.uint8),
                                 np.zeros((5, 6, 4), np.uint16), np.linspace(0, 1, 30).reshape(5, 6),
                                 np.arange(30, dtype=np.int16).reshape(5, 6), np.arange(9, dtype=np.uint8)],
                         ids=["missing", "list", "empty", "2-channel", "4-channel", "float", "int16", "1-d"])
def test_bad_sources(detector, src):
    assert_parity(lambda: detector.canny_edge(src=src), lambda: reference.canny_edge(src=src))
