"""UtilityTool against the reference model: same values, same result types,
same warnings, same errors."""
import math
import warnings

import numpy as np
import pytest

import corpus
from conftest import assert_same_array
from reference import utility_tool as reference


@pytest.fixture(scope="module")
def tool(lumenops):
    return lumenops.UtilityTool()


def assert_same_value(ours, expected):
    """Same Python type and the same value, bit for bit for floats (NaN equal to NaN),
    element by element for tuples and arrays."""
    assert type(ours) is type(expected), "type {!r} != {!r}".format(type(ours), type(expected))
    if isinstance(expected, tuple):
        assert len(ours) == len(expected)
        for ours_item, expected_item in zip(ours, expected):
            assert_same_value(ours_item, expected_item)
    elif isinstance(expected, np.ndarray):
        assert_same_array(ours, expected)
        assert ours.strides == expected.strides
    elif isinstance(expected, (float, np.floating)):
        assert np.asarray(ours).tobytes() == np.asarray(expected).tobytes(), \
            "{!r} != {!r}".format(ours, expected)
    else:
        assert ours == expected


def outcome(call, action="always"):
    """The result or the exception of ``call``, with every warning it issued
    (warnings filtered with ``action``: "error" turns them into exceptions)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)
        try:
            result, error = call(), None
        except Exception as exception:  # the reference's exception is the expectation
            result, error = None, exception
    # Garbage collection may report unrelated unclosed resources at any moment.
    return result, error, [(w.category, str(w.message)) for w in caught if w.category is not ResourceWarning]


def assert_same_outcome(ours_call, reference_call, action="always"):
    ours, ours_error, ours_warnings = outcome(ours_call, action)
    expected, expected_error, expected_warnings = outcome(reference_call, action)
    if expected_error is not None:
        assert type(ours_error) is type(expected_error), \
            "raised {!r}, reference raised {!r}".format(ours_error, expected_error)
        assert str(ours_error) == str(expected_error)
    else:
        assert ours_error is None, "raised {!r}".format(ours_error)
        assert_same_value(ours, expected)
    assert ours_warnings == expected_warnings


# --- convert_rgb_to_ycbcr ----------------------------------------------------------------------

def _rgb_variants():
    rng = np.random.default_rng(3)
    u8 = rng.integers(0, 256, (7, 9, 3), dtype=np.uint8)
    return {
        "uint16": rng.integers(0, 65536, (5, 4, 3), dtype=np.uint16),
        "float32": (rng.random((6, 5, 3)) * 255).astype(np.float32),
        "float64": rng.random((6, 5, 3)) * 255,
        "big-endian-float64": (rng.random((3, 4, 3)) * 255).astype(">f8"),
        "int8": rng.integers(-128, 128, (4, 4, 3), dtype=np.int8),
        "int64": rng.integers(-2 ** 60, 2 ** 60, (3, 3, 3), dtype=np.int64),
        "uint64": rng.integers(0, 2 ** 64 - 1, (3, 3, 3), dtype=np.uint64, endpoint=True),
        "bool": rng.random((4, 5, 3)) > 0.5,
        "float16": (rng.random((4, 3, 3)) * 255).astype(np.float16),
        "4-channel": rng.integers(0, 256, (5, 6, 4), dtype=np.uint8),
        "bgr-view": u8[:, :, ::-1],
        "transposed": u8.transpose(1, 0, 2),
        "strided": u8[::2, ::3],
        "empty": np.zeros((0, 4, 3), np.uint8),
        "4-d": rng.integers(0, 256, (2, 3, 3, 2), dtype=np.uint8),
    }


RGB_VARIANTS = _rgb_variants()


@pytest.mark.parametrize("name", corpus.corpus_params(layouts=("colour",)))
def test_ycbcr_corpus_parity(tool, name):
    img = corpus.load(name)
    assert_same_value(tool.convert_rgb_to_ycbcr(img), reference.convert_rgb_to_ycbcr(img.copy()))


@pytest.mark.parametrize("variant", sorted(RGB_VARIANTS))
def test_ycbcr_element_types_and_layouts(tool, variant):
    img = RGB_VARIANTS[variant]
    assert_same_outcome(lambda: tool.convert_rgb_to_ycbcr(img), lambda: reference.convert_rgb_to_ycbcr(img))


def test_ycbcr_of_black_and_white(tool):
    result = tool.convert_rgb_to_ycbcr(np.array([[[0, 0, 0], [255, 255, 255]]], np.uint8))
    assert result.dtype == np.float64 and result.shape == (1, 2, 3)
    np.testing.assert_array_equal(result[0, 0], [16.0, 128.0, 128.0])
    np.testing.assert_allclose(result[0, 1], [235.000176, 128.0, 128.0], atol=1e-5)


@pytest.mark.parametrize("img", [np.zeros((4, 5), np.uint8), np.zeros((4, 5, 2), np.uint8),
                                 [[[1, 2, 3]]], None, "image"],
                         ids=["grey", "2-channel", "list", "None", "string"])
def test_ycbcr_errors(tool, img):
    assert_same_outcome(lambda: tool.convert_rgb_to_ycbcr(img), lambda: reference.convert_rgb_to_ycbcr(img))


# --- normalize_and_calculate_variance ------------------------------------------------------------

def test_documented_list_statistics(tool):
    result = tool.normalize_and_calculate_variance([0, 5, 3, 0, 3, 9])
    assert_same_value(result[:4], (4, np.float64(5.0), np.int64(3), 2))
    assert math.isclose(result[4], 1 / 6) and type(result[4]) is np.float64


@pytest.mark.parametrize("lst", [[], [0, 0.5], (0, 0.25, 0.999), [0.0] * 7], ids=repr)
def test_nothing_kept_gives_integer_zeros(tool, lst):
    assert_same_value(tool.normalize_and_calculate_variance(lst), (0, 0, 0, 0, 0))


def _statistics_inputs():
    rng = np.random.default_rng(5)
    counts = rng.integers(0, 40, 60)
    counts[rng.random(60) < 0.3] = 0
    return {
        "documented": [0, 5, 3, 0, 3, 9],
        "tuple": (0, 5, 3, 0, 3, 9),
        "floats": [float(c) for c in counts],
        "ints": [int(c) for c in counts],
        "fractions": [0.5, 2.5, 0.9, 1.0, 7.25],
        "one-kept": [0, 0, 4.0, 0],
        "all-equal": [0, 3, 3, 0, 3],
        "numpy-floats": list(np.array([0, 2, 9, 4], np.float32)),
        "numpy-array-nothing-kept": np.array([0.0, 0.5]),
        "numpy-array": np.array([0.0, 3.0, 2.0]),
        "infinity": [1.0, float("inf"), float("inf")],
        "nan": [2.0, float("nan"), 5.0],
        "strings": ["a", "b"],
        "not-iterable": 7,
        "mixed": [0, 5, None],
    }


STATISTICS_INPUTS = _statistics_inputs()


@pytest.mark.parametrize("name", sorted(STATISTICS_INPUTS))
def test_list_statistics_parity(tool, name):
    lst = STATISTICS_INPUTS[name]
    assert_same_outcome(lambda: tool.normalize_and_calculate_variance(lst),
                        lambda: reference.normalize_and_calculate_variance(lst))


def test_equal_kept_values_give_nan_and_one_warning_each(tool):
    with pytest.warns(RuntimeWarning) as caught:
        result = tool.normalize_and_calculate_variance([0, 6.0, 6.0, 0.5, 6.0])
    assert result[:4] == (3, 6.0, 6.0, 1) and math.isnan(result[4])
    assert len([w for w in caught if w.category is RuntimeWarning]) == 3


# --- calculate_entropy ---------------------------------------------------------------------------

def test_documented_entropies(tool):
    assert_same_value(tool.calculate_entropy(np.array([0.5, 0.5, 0.0])), np.float64(1.0))
    assert_same_value(tool.calculate_entropy(np.array([1.0])), np.float64(-0.0))
    assert_same_value(tool.calculate_entropy(np.array([0.0, -0.5])), np.float64(-0.0))


def _entropy_inputs():
    rng = np.random.default_rng(9)
    spread = rng.random(300) ** 4
    spread[rng.random(300) < 0.2] = 0
    return {
        "normalised-300": spread / spread.sum(),
        "normalised-13": (lambda v: v / v.sum())(rng.random(13)),
        "2-d": (lambda v: v / v.sum())(rng.random((17, 9))),
        "float32": (lambda v: (v / v.sum()).astype(np.float32))(rng.random(140)),
        "non-contiguous": (lambda v: v / v.sum())(rng.random((20, 20)))[:, ::3],
        "0-d": np.array(0.25),
        "empty": np.zeros(0),
        "negative-and-nan": np.array([0.2, -0.1, np.nan, 0.3, 0.0]),
        "infinity": np.array([0.5, np.inf]),
        "above-one": np.array([3.0, 0.5]),
        "big-endian": (lambda v: (v / v.sum()).astype(">f8"))(rng.random(30)),
        "integers": np.array([0, 1, 2, 1]),
        "float16": np.array([0.25, 0.75, 0], np.float16),
        "list": [0.5, 0.5],
        "None": None,
    }


ENTROPY_INPUTS = _entropy_inputs()


@pytest.mark.parametrize("name", sorted(ENTROPY_INPUTS))
def test_entropy_parity(tool, name):
    probabilities = ENTROPY_INPUTS[name]
    assert_same_outcome(lambda: tool.calculate_entropy(probabilities),
                        lambda: reference.calculate_entropy(probabilities))


@pytest.mark.parametrize("size", [1, 7, 8, 9, 15, 16, 17, 127, 128, 129, 245, 1000])
def test_entropy_sums_in_numpy_order(tool, size):
    rng = np.random.default_rng(size)
    probabilities = rng.random(size) ** 6
    probabilities /= probabilities.sum()
    assert_same_value(tool.calculate_entropy(probabilities), reference.calculate_entropy(probabilities))


# --- get_boundary ----------------------------------------------------------------------------------

DOCUMENTED_BOUNDARY_IMAGE = np.array([10] + [20] * 98 + [30], np.uint8).reshape(10, 10)


@pytest.mark.parametrize("l_scale,expected", [(0, (20, 0.0, 22.0)), (1, (20, 20.0, 22.0))])
def test_documented_boundaries(tool, l_scale, expected):
    peak, left, right = expected
    assert_same_value(tool.get_boundary(DOCUMENTED_BOUNDARY_IMAGE, l_scale=l_scale),
                      (np.int64(peak), np.float64(left), np.float64(right)))


BOUNDARY_ARGUMENTS = [(), (10, 256), (10, 256, 1, 1), (0, 256, 1.5, 0.5), (10, 20, 2, 3),
                      (-5, 300, 1, 1), (100, 101, 1, 1)]


@pytest.mark.parametrize("arguments", BOUNDARY_ARGUMENTS, ids=repr)
@pytest.mark.parametrize("name", corpus.corpus_params(kinds=("synthetic", "photo"), layouts=("grey",)))
def test_boundary_corpus_parity(tool, name, arguments):
    img = corpus.load(name)
    working = img if img.dtype == np.uint8 else (img // 257).astype(np.uint8)
    for image in (working, img):
        assert_same_outcome(lambda: tool.get_boundary(image, *arguments),
                            lambda: reference.get_boundary(image.copy(), *arguments))


def _boundary_images():
    rng = np.random.default_rng(11)
    levels = rng.integers(0, 256, (30, 40))
    return {
        "int16": levels.astype(np.int16) - 60,
        "int32": levels.astype(np.int32),
        "int64": levels.astype(np.int64) * 3,
        "uint32": levels.astype(np.uint32),
        "int8": (levels - 128).astype(np.int8),
        "uint64": levels.astype(np.uint64),
        "float64": levels / 1.7,
        "float32": (levels / 3).astype(np.float32),
        "bool": levels > 128,
        "peak-last-bin": np.full((4, 4), 255, np.uint8),
        "peak-first-bin": np.zeros((4, 4), np.uint8),
        "nothing-in-range": np.full((3, 3), 5, np.uint8),
        "transposed": levels.astype(np.uint8).T,
        "0-d": np.array(40, np.uint8),
        "empty": np.zeros((0, 3), np.uint8),
        "list": [[1, 2], [3, 4]],
        "None": None,
    }


BOUNDARY_IMAGES = _boundary_images()


@pytest.mark.parametrize("arguments", [(), (10, 256, 1, 1), (-50, 60, 1, 2)], ids=repr)
@pytest.mark.parametrize("name", sorted(BOUNDARY_IMAGES))
def test_boundary_element_types_and_edge_images(tool, name, arguments):
    image = BOUNDARY_IMAGES[name]
    assert_same_outcome(lambda: tool.get_boundary(image, *arguments),
                        lambda: reference.get_boundary(image, *arguments))


@pytest.mark.parametrize("arguments", [
    (0, 0), (10, 5), (0.0, 256.0), (0.5, 10.5), (np.int64(10), np.int32(256)), (True, 5),
    (None, 256), (0, "256"), (0, 256, None, 1), (0, 256, 1, "x"), (0, 256, np.float32(0.5), 1),
    (0, 256, np.array([1, 2]), 1), (0, 2 ** 40, 1, 1), (-2 ** 62, 2 ** 62), (0, 256, float("nan"), 1),
], ids=repr)
def test_boundary_odd_arguments(tool, arguments):
    image = BOUNDARY_IMAGES["int32"].astype(np.uint8)
    assert_same_outcome(lambda: tool.get_boundary(image, *arguments),
                        lambda: reference.get_boundary(image, *arguments))


# --- calling convention ----------------------------------------------------------------------------

@pytest.mark.parametrize("method,args,message", [
    ("convert_rgb_to_ycbcr", (), "convert_rgb_to_ycbcr() takes exactly 2 positional arguments (1 given)"),
    ("convert_rgb_to_ycbcr", (1, 2), "convert_rgb_to_ycbcr() takes exactly 2 positional arguments (3 given)"),
    ("normalize_and_calculate_variance", (),
     "normalize_and_calculate_variance() takes exactly 2 positional arguments (1 given)"),
    ("calculate_entropy", (1, 2), "calculate_entropy() takes exactly 2 positional arguments (3 given)"),
    ("get_boundary", (), "get_boundary() takes at least 2 positional arguments (1 given)"),
    ("get_boundary", (1, 2, 3, 4, 5, 6), "get_boundary() takes at most 6 positional arguments (7 given)"),
])
def test_wrong_argument_counts(tool, method, args, message):
    with pytest.raises(TypeError) as caught:
        getattr(tool, method)(*args)
    assert str(caught.value) == message


def test_parameters_by_name(tool):
    image = DOCUMENTED_BOUNDARY_IMAGE
    assert_same_value(tool.get_boundary(image=image, r_scale=0.5, l_scale=1),
                      reference.get_boundary(image, l_scale=1, r_scale=0.5))
    assert_same_value(tool.normalize_and_calculate_variance(lst=[0, 2, 4]),
                      reference.normalize_and_calculate_variance([0, 2, 4]))
    assert_same_value(tool.calculate_entropy(probabilities=np.array([0.25, 0.75])),
                      reference.calculate_entropy(np.array([0.25, 0.75])))
    with pytest.raises(TypeError, match="unexpected keyword argument 'image'"):
        tool.calculate_entropy(image=np.array([1.0]))


def test_failure_names_the_method_in_the_traceback(tool):
    with pytest.raises(TypeError) as caught:
        tool.calculate_entropy([0.5, 0.5])
    names = [entry.name for entry in caught.traceback]
    assert "pictor.lumenops.UtilityTool.calculate_entropy" in names
