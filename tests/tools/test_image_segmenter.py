"""ImageSegmenter against the reference model: same masks, same errors, same
warnings, and the same calls through ``self.tool``."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corpus
from conftest import assert_method_parity, assert_same_array, keyword_label
from reference import image_segmenter as reference
from reference import utility_tool as reference_tool
from test_utility_tool import assert_same_outcome, outcome

LOCAL = "local_histogram_threshold_segmentation"
ENTROPY = "maximum_entropy_threshold_segmentation"
VARIANCE = "maximum_inter_class_variance_segmentation"
ADAPTIVE = "adaptive_threshold_segmentation"
METHODS = (LOCAL, ENTROPY, VARIANCE, ADAPTIVE)
SHORT = {LOCAL: "local", ENTROPY: "entropy", VARIANCE: "variance", ADAPTIVE: "adaptive"}

SWEEPS = {
    LOCAL: [{}, {"low_thr": 0}, {"low_thr": 50}, {"low_thr": 200}, {"low_thr": 250}, {"low_thr": -5}],
    ENTROPY: [{}],
    VARIANCE: [{}],
    ADAPTIVE: [{}, {"ksize": 1}, {"ksize": 4}, {"ksize": 9, "ratio": 0}, {"ratio": 1.0}, {"ratio": -0.3}],
}


def with_warnings(action="always"):
    """Compares as assert_same_outcome does: NumPy's warnings are under test too."""
    return lambda ours, theirs: assert_same_outcome(ours, theirs, action)


def _sweep_params():
    for method in METHODS:
        for kwargs in SWEEPS[method]:
            yield pytest.param(method, kwargs, id="{}-{}".format(SHORT[method], keyword_label(kwargs)))


# --- corpus and stress images ----------------------------------------------------------------------

@pytest.mark.parametrize("method,kwargs", list(_sweep_params()))
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(segmenter, method, kwargs, name):
    assert_method_parity(segmenter, reference, method, corpus.load(name), compare=with_warnings(), **kwargs)


def _from_levels(counts, seed=0):
    """An 8-bit grey image holding exactly counts[level] pixels of each level,
    shuffled, as wide as a divisor of the pixel count up to 64 allows."""
    values = np.concatenate([np.full(count, level, np.uint8) for level, count in counts.items()])
    np.random.default_rng(seed).shuffle(values)
    width = max(d for d in range(1, 65) if values.size % d == 0)
    return values.reshape(-1, width)


def _gaussian_levels(peaks, total=6000):
    levels = np.arange(256)
    density = sum(weight * np.exp(-0.5 * ((levels - centre) / spread) ** 2) for centre, spread, weight in peaks)
    counts = np.round(density / density.sum() * total).astype(int)
    return {level: count for level, count in enumerate(counts) if count}


def _mirrored_levels(seed):
    """Counts symmetric about 127: the splits t and 255 - t have equal entropy
    sums in exact arithmetic, so floating-point summation order picks the winner."""
    counts = np.random.default_rng(seed).integers(0, 60, 128)
    counts[counts < 15] = 0
    return {level: int(counts[min(level, 254 - level)]) for level in range(255)
            if counts[min(level, 254 - level)]}


def _periodic_levels(pattern, start, end):
    """A repeating pattern of small counts: many splits with near-equal entropy
    sums, where one ulp of a log2 decides the threshold."""
    return {level: pattern[(level - start) % len(pattern)] for level in range(start, end)}


STRESS_LEVELS = {
    "documented-50-150": {50: 1000, 150: 600},
    "equal-50-150": {50: 700, 150: 700},
    "tied-peaks": {60: 500, 180: 500, 120: 90, 121: 90},
    "tied-candidates": {40: 900, **{level: 300 for level in range(60, 200, 7)}},
    "bimodal": _gaussian_levels([(70, 12, 1.0), (170, 15, 0.8)]),
    "multimodal": _gaussian_levels([(40, 6, 1.0), (100, 8, 0.7), (160, 5, 0.9), (220, 4, 0.5)]),
    "shoulder": _gaussian_levels([(90, 3, 1.0), (93, 3, 0.95), (200, 10, 0.4)]),
    "faded-neighbour": {80: 3000, 82: 400, 83: 350, 180: 1500},
    "deep-valley": {30: 5000, 31: 1200, 32: 900, 33: 1, 90: 4000, 91: 3500},
    "busy-window": {level: 50 + (level % 9) * 40 for level in range(20, 240)},
    "ramp": {level: level * 4 for level in range(1, 256)},
    "all-below-low-thr": {level: 30 for level in range(10)},
    "peak-240": {240: 800, 100: 300, 30: 200},
    "peak-245": {245: 900, 246: 100},
    "peak-250": {250: 900, 20: 10},
    "above-250-only": {251: 40, 253: 70, 255: 90},
    "ignored-by-entropy": {0: 40, 3: 30, 250: 10, 252: 20, 255: 5},
    "single-level": {100: 1000},
    "constant-0": {0: 400},
    "constant-255": {255: 400},
    "two-adjacent": {127: 300, 128: 300},
    "four-equal": {20: 250, 90: 250, 160: 250, 230: 250},
    "sparse-equal": {level: 17 for level in range(5, 250, 11)},
    **{"mirrored-{}".format(seed): _mirrored_levels(seed) for seed in range(16)},
    "periodic-22434": _periodic_levels((2, 2, 4, 3, 4), 18, 205),
    "periodic-1134": _periodic_levels((1, 1, 3, 4), 8, 175),
    "periodic-134": _periodic_levels((1, 3, 4), 25, 158),
    "periodic-3242": _periodic_levels((3, 2, 4, 2), 26, 193),
}


def _stress_images():
    for name, counts in STRESS_LEVELS.items():
        img = _from_levels(counts)
        yield name + "-u8", img
        # The same levels at 16 bits, spread over each level's 257 values.
        spread = np.random.default_rng(1).integers(0, 257, img.shape)
        wide = np.minimum(img.astype(np.int64) * 257 + spread, 65535).astype(np.uint16)
        yield name + "-u16", wide
    yield "bimodal-colour-u16", np.stack([_from_levels(STRESS_LEVELS["bimodal"], seed=s) for s in range(3)],
                                         axis=-1).astype(np.uint16) * 257


STRESS_IMAGES = dict(_stress_images())


@pytest.mark.parametrize("method,kwargs", list(_sweep_params()))
@pytest.mark.parametrize("name", sorted(STRESS_IMAGES))
def test_stress_image_parity(segmenter, method, kwargs, name):
    assert_method_parity(segmenter, reference, method, STRESS_IMAGES[name], compare=with_warnings(), **kwargs)


@settings(max_examples=60, deadline=None)
@given(levels=st.dictionaries(st.integers(0, 255), st.integers(1, 400), min_size=1, max_size=14),
       low_thr=st.integers(-3, 250), seed=st.integers(0, 3))
def test_random_histograms(segmenter, levels, low_thr, seed):
    img = _from_levels(levels, seed=seed)
    for method, kwargs in ((LOCAL, {"low_thr": low_thr}), (ENTROPY, {}), (VARIANCE, {})):
        assert_method_parity(segmenter, reference, method, img, compare=with_warnings(), **kwargs)


@settings(max_examples=60, deadline=None)
@given(shape=st.sampled_from([(9, 13), (1, 40), (25, 1), (12, 11, 3), (6, 7, 4)]),
       dtype=st.sampled_from([np.uint8, np.uint16]), seed=st.integers(0, 2 ** 16),
       ksize=st.integers(0, 12),
       ratio=st.one_of(st.floats(-3, 3), st.floats(allow_nan=False, allow_infinity=False, width=64),
                       st.sampled_from([0.0, 1.0, 0.5, 1e-25, -1e37, 5e299, 2e300])))
def test_random_adaptive_thresholds(segmenter, shape, dtype, seed, ksize, ratio):
    top = np.iinfo(dtype).max
    src = np.random.default_rng(seed).integers(0, top, size=shape, dtype=dtype, endpoint=True)
    assert_method_parity(segmenter, reference, ADAPTIVE, src, compare=with_warnings(), ksize=ksize, ratio=ratio)


@pytest.mark.parametrize("ksize", [13, 15, 17])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_adaptive_threshold_of_windows_near_the_top_level(segmenter, ksize, dtype):
    # Windows of top levels with a few dips sum closest to the limits of
    # the narrow windows' 16-bit arithmetic.
    top = np.iinfo(dtype).max
    src = np.full((53, 71, 3), top, dtype)
    src[::6, ::4] = np.random.default_rng(ksize).integers(0, top, size=src[::6, ::4].shape, dtype=dtype)
    assert_method_parity(segmenter, reference, ADAPTIVE, src, compare=with_warnings(), ksize=ksize, ratio=0.01)


# --- documented examples -----------------------------------------------------------------------

@pytest.mark.parametrize("method", [LOCAL, ENTROPY, VARIANCE])
def test_two_level_examples(segmenter, method):
    counts = {50: 1000, 150: 600} if method == LOCAL else {50: 800, 150: 800}
    img = _from_levels(counts)
    result = getattr(segmenter, method)(src=img)
    assert result.dtype == np.uint16 and result.shape == img.shape
    assert np.all(result[img == 50] == 0) and np.all(result[img == 150] == 65535)


def test_local_threshold_lies_in_the_empty_valley(segmenter):
    # 1000 pixels at 50 and 600 at 150 in channel 0, whose histogram alone
    # steers the walk: the threshold is 55, and probes in channel 1 show it.
    first = _from_levels({50: 1000, 150: 600})
    probes = np.where(np.arange(first.size).reshape(first.shape) % 2 == 0, 55, 56).astype(np.uint8)
    img = np.stack([first, probes, probes], axis=-1)
    result = segmenter.local_histogram_threshold_segmentation(src=img)
    assert np.all(result[..., 1:][img[..., 1:] == 55] == 0)
    assert np.all(result[..., 1:][img[..., 1:] == 56] == 65535)
    assert np.all(result[..., 0][first == 150] == 65535) and np.all(result[..., 0][first == 50] == 0)


@pytest.mark.parametrize("method", [ENTROPY, VARIANCE])
@pytest.mark.parametrize("level,expected", [(0, 0), (255, 65535), (90, 65535)])
def test_constant_images(segmenter, method, level, expected):
    result = getattr(segmenter, method)(src=np.full((6, 7), level, np.uint8))
    assert result.dtype == np.uint16 and np.all(result == expected)


@pytest.mark.parametrize("level,threshold", [(90, 96), (5, 16)])
def test_local_walk_gives_up_after_six_empty_candidates(segmenter, level, threshold):
    # The peak (or, below low_thr, the empty histogram's first bin) is followed
    # by empty candidates in ascending order; the sixth one is the threshold.
    img = np.full((6, 7, 3), level, np.uint8)
    img[..., 1] = threshold
    img[..., 2] = threshold + 1
    result = segmenter.local_histogram_threshold_segmentation(src=img)
    assert np.all(result[..., 0] == 0) and np.all(result[..., 1] == 0) and np.all(result[..., 2] == 65535)


def test_local_peak_at_240_thresholds_at_the_peak(segmenter):
    img = _from_levels({240: 500, 241: 10, 200: 100})
    result = segmenter.local_histogram_threshold_segmentation(src=img)
    assert np.all(result[img == 241] == 65535) and np.all(result[img <= 240] == 0)


@pytest.mark.parametrize("ratio", [0.0, 0.15, 1.0])
def test_adaptive_constant_image_is_foreground(segmenter, ratio):
    result = segmenter.adaptive_threshold_segmentation(src=np.zeros((5, 6), np.uint16), ratio=ratio)
    assert result.dtype == np.uint16 and np.all(result == 65535)


@pytest.mark.parametrize("method", METHODS)
def test_colour_result_has_three_channels(segmenter, method):
    src = corpus.load("u16-colour-random-57x101")
    result = getattr(segmenter, method)(src=src)
    assert result.shape == src.shape and result.dtype == np.uint16
    assert set(np.unique(result)) <= {0, 65535}


# --- calls through self.tool ---------------------------------------------------------------------

class RecordingTool:
    """Stands in for UtilityTool: records every call, optionally alters the result."""

    def __init__(self, alter=None):
        self.calls = []
        self.alter = alter

    def _record(self, name, argument, result):
        self.calls.append((name, np.array(argument, copy=True)))
        return self.alter(name, result) if self.alter else result

    def normalize_and_calculate_variance(self, lst):
        return self._record("normalize_and_calculate_variance", lst,
                            reference_tool.normalize_and_calculate_variance(lst))

    def calculate_entropy(self, probabilities):
        return self._record("calculate_entropy", probabilities, reference_tool.calculate_entropy(probabilities))


def _altered(name, result):
    if name == "calculate_entropy":
        return -result * 1.5
    nozero_len, mean_value, min_value, min_index, norm_variance = result
    return nozero_len, mean_value * 3, min_value, min_index + 1, norm_variance


def assert_same_calls(ours, expected):
    assert [name for name, _ in ours.calls] == [name for name, _ in expected.calls]
    for (_, ours_argument), (_, expected_argument) in zip(ours.calls, expected.calls):
        assert ours_argument.tobytes() == expected_argument.tobytes()


@pytest.mark.parametrize("alter", [None, _altered], ids=["recording", "altering"])
@pytest.mark.parametrize("method", [LOCAL, ENTROPY])
@pytest.mark.parametrize("name", ["bimodal-u8", "multimodal-u16", "deep-valley-u8", "documented-50-150-u8"])
def test_replaced_tool_is_called_like_the_recipe_calls_it(segmenter, monkeypatch, method, name, alter):
    src = STRESS_IMAGES[name]
    ours_tool, reference_tool_stand_in = RecordingTool(alter), RecordingTool(alter)
    monkeypatch.setattr(segmenter, "tool", ours_tool)
    monkeypatch.setattr(reference, "tool", reference_tool_stand_in)
    ours = getattr(segmenter, method)(src=src)
    expected = getattr(reference, method)(src=src)
    assert_same_array(ours, expected)
    assert_same_calls(ours_tool, reference_tool_stand_in)
    assert ours_tool.calls, "the tool was not called"


@pytest.mark.parametrize("method,tool_method", [(LOCAL, "normalize_and_calculate_variance"),
                                                (ENTROPY, "calculate_entropy")])
def test_patched_utility_method_is_used(lumenops, segmenter, monkeypatch, method, tool_method):
    src = STRESS_IMAGES["multimodal-u8"]
    ours_tool, reference_tool_stand_in = RecordingTool(_altered), RecordingTool(_altered)
    monkeypatch.setattr(lumenops.UtilityTool, tool_method,
                        lambda self, argument: getattr(ours_tool, tool_method)(argument))
    monkeypatch.setattr(reference, "tool", reference_tool_stand_in)
    ours = getattr(segmenter, method)(src=src)
    expected = getattr(reference, method)(src=src)
    assert_same_array(ours, expected)
    assert len(ours_tool.calls) == len([c for c in reference_tool_stand_in.calls if c[0] == tool_method])


@pytest.mark.parametrize("method", [LOCAL, ENTROPY])
def test_missing_tool_fails_only_where_the_recipe_uses_it(segmenter, monkeypatch, method):
    monkeypatch.delattr(segmenter, "tool")
    constant = np.full((5, 5), 90, np.uint8)
    assert_same_array(getattr(segmenter, method)(src=constant), getattr(reference, method)(src=constant))
    with pytest.raises(AttributeError, match="'tool'"):
        getattr(segmenter, method)(src=STRESS_IMAGES["bimodal-u8"])


# --- warnings ------------------------------------------------------------------------------------

@pytest.mark.parametrize("method,kwargs,src", [
    (LOCAL, {}, _from_levels({50: 1000, 90: 3, 110: 3, 150: 600})),
    (LOCAL, {}, STRESS_IMAGES["tied-candidates-u16"]),
    (ENTROPY, {}, np.zeros((0, 4), np.uint8)),
    (VARIANCE, {}, np.zeros((3, 0), np.uint16)),
    (ADAPTIVE, {"ratio": float("nan")}, STRESS_IMAGES["bimodal-u8"]),
    (ADAPTIVE, {"ratio": float("-inf")}, np.zeros((4, 4), np.uint8)),
    (ADAPTIVE, {"ratio": -3.39e38}, STRESS_IMAGES["bimodal-u8"]),
], ids=["local-equal-valley", "local-tied-candidates", "entropy-empty", "variance-empty", "adaptive-nan",
        "adaptive-inf", "adaptive-overflow"])
@pytest.mark.parametrize("action", ["always", "error"])
def test_warnings_as_numpy_gives_them(segmenter, method, kwargs, src, action):
    _, _, warned = outcome(lambda: getattr(reference, method)(src=src, **kwargs))
    assert warned, "the case should make NumPy warn"
    assert_method_parity(segmenter, reference, method, src, compare=with_warnings(action), **kwargs)


# --- bad input --------------------------------------------------------------------------------------

def _unit_float_image():
    return np.linspace(0.0, 1.0, 35).reshape(5, 7)


def _read_only(img):
    img.setflags(write=False)
    return img


BAD_SOURCES = {
    "missing": None,
    "list": [[1, 2], [3, 4]],
    "float-unit": _unit_float_image(),
    "float32-0-255": (_unit_float_image() * 255).astype(np.float32),
    "int16": (_unit_float_image() * 255).astype(np.int16) - 40,
    "bool": _unit_float_image() > 0.5,
    "big-endian-u16": (np.arange(35).reshape(5, 7) * 1800).astype(">u2"),
    "empty-grey": np.zeros((0, 0), np.uint8),
    "empty-rows": np.zeros((0, 7), np.uint16),
    "empty-colour": np.zeros((4, 0, 3), np.uint8),
    "0-d": np.array(7, np.uint8),
    "1-d": np.arange(90, dtype=np.uint8) * 2,
    "1-channel": (np.arange(60, dtype=np.uint16).reshape(5, 12, 1) * 1000),
    "2-channel": np.arange(60, dtype=np.uint8).reshape(5, 6, 2) * 4,
    "4-channel": np.arange(120, dtype=np.uint16).reshape(5, 6, 4) * 500,
    "5-channel": np.arange(150, dtype=np.uint8).reshape(5, 6, 5),
    "4-d": np.arange(72, dtype=np.uint8).reshape(2, 3, 4, 3) * 3,
    "transposed": np.ascontiguousarray(corpus.load("u8-grey-photo-camera-96x128")).T,
    "channels-reversed": corpus.load("u16-colour-photo-coffee-97x131")[:, :, ::-1],
    "fortran-order": np.asfortranarray(corpus.load("u16-colour-random-57x101")),
    "read-only": _read_only(corpus.load("u8-grey-photo-camera-96x128")),
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("source", sorted(BAD_SOURCES))
def test_bad_sources(segmenter, method, source):
    assert_method_parity(segmenter, reference, method, BAD_SOURCES[source], compare=with_warnings())


ODD_KEYWORDS = {
    LOCAL: [("low_thr", v) for v in (251, 300, 10.0, None, "10", True, np.int64(10), -70000, 2 ** 70)],
    ADAPTIVE: [("ksize", v) for v in (0, 2, -1, -4, 3.0, None, "a", (3, 3), 2 ** 31, 101)]
    + [("ratio", v) for v in (0, True, 1.5, float("nan"), float("inf"), float("-inf"), 4e38, -4e38,
                              3.39e38, np.float64(0.2), np.float32(0.2), np.float16(0.5), None, "x",
                              0.1j, np.array([0.1, 0.2, 0.3]), np.array(0.25), 10 ** 400)],
}


def _odd_keyword_params():
    for method, pairs in ODD_KEYWORDS.items():
        for key, value in pairs:
            yield pytest.param(method, key, value, id="{}-{}={!r}".format(SHORT[method], key, value))


@pytest.mark.parametrize("method,key,value", list(_odd_keyword_params()))
@pytest.mark.parametrize("name", ["u8-grey-photo-camera-96x128", "u16-colour-tiny-1x1"])
def test_odd_keyword_values(segmenter, method, key, value, name):
    assert_method_parity(segmenter, reference, method, corpus.load(name), compare=with_warnings(), **{key: value})


@pytest.mark.parametrize("method", METHODS)
def test_positional_source_is_refused(segmenter, method):
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        getattr(segmenter, method)(np.zeros((3, 3), np.uint8))


@pytest.mark.parametrize("method", METHODS)
def test_failure_names_the_method_in_the_traceback(segmenter, method):
    with pytest.raises(AttributeError) as caught:
        getattr(segmenter, method)()
    assert "pictor.lumenops.ImageSegmenter." + method in [entry.name for entry in caught.traceback]
