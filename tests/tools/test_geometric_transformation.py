"""GeometricTransformation rotate/flip/resize/crop against the reference model.

These keep the input's element type; crop returns a view of its input.
"""
import numpy as np
import pytest

import corpus
from conftest import assert_method_parity, assert_parity, assert_same_array, keyword_label
from reference import geometric_transformation as reference

ROTATIONS = [{}, {"angle": 0}, {"angle": 45}, {"angle": 90}, {"angle": -30}, {"angle": 0, "scale": 2},
             {"angle": 45, "scale": 2}, {"angle": -30, "scale": 2}, {"angle": 180.5, "scale": 0.5}]
FLIP_MODES = [{}, {"mode": 0}, {"mode": 1}, {"mode": -1}, {"mode": 7}, {"mode": -3}]
RESIZE_SCALES = [{}, {"scale": 1}, {"scale": 3}, {"scale": 7}]
CROPS = [{}, {"start_x": 2, "start_y": 3, "width": 5, "height": 4}, {"start_x": 95, "width": 10, "height": 5},
         {"start_x": 60, "start_y": 30, "width": 500, "height": 500}, {"start_x": 1000, "start_y": 1000},
         {"start_x": -5, "start_y": -3, "width": 4, "height": 2}, {"start_x": -5, "width": 10},
         {"width": 0, "height": 0}, {"width": -2, "height": 3}]


@pytest.fixture(scope="module")
def geometry(lumenops):
    return lumenops.GeometricTransformation()


def _cases(method, sweep):
    return [pytest.param(method, kwargs, id="{}-{}".format(method, keyword_label(kwargs))) for kwargs in sweep]


SWEEPS = _cases("rotate", ROTATIONS) + _cases("flip", FLIP_MODES) + _cases("resize", RESIZE_SCALES)


@pytest.mark.parametrize("method,kwargs", SWEEPS)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(geometry, method, kwargs, name):
    assert_method_parity(geometry, reference, method, corpus.load(name), **kwargs)


@pytest.mark.parametrize("kwargs", CROPS, ids=keyword_label)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_crop_corpus_parity(geometry, kwargs, name):
    src = corpus.load(name)
    ours = geometry.crop(src=src, **kwargs)
    assert_same_array(ours, reference.crop(src=src, **kwargs))
    assert ours.base is not None and (ours.size == 0 or np.shares_memory(ours, src))


@pytest.mark.parametrize("method,kwargs", SWEEPS)
@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.float32, np.float64])
def test_other_element_types_keep_their_type(geometry, method, kwargs, dtype):
    src = (corpus.load("u8-grey-photo-camera-96x128").astype(np.float64) - 100).astype(dtype)
    assert_method_parity(geometry, reference, method, src, **kwargs)


# --- documented examples -----------------------------------------------------------------------

def test_default_rotation_is_a_quarter_turn_counter_clockwise(geometry):
    src = np.arange(24, dtype=np.uint16).reshape(4, 6) * 1000
    result = geometry.rotate(src=src)
    assert result.shape == (6, 4) and result.dtype == np.uint16
    # Source column x lands on row 6 - x: the re-centring about the integer
    # centre (3, 2) puts the turned image one row below np.rot90's.
    assert_same_array(result[1:], np.rot90(src)[:-1])
    assert (result[0] == 0).all()


@pytest.mark.parametrize("kwargs,shape", [({"angle": 0}, (100, 100)), ({"angle": 45}, (141, 141)),
                                          ({"angle": 0, "scale": 2}, (200, 200)),
                                          ({"angle": 90, "scale": 2}, (200, 200))], ids=keyword_label)
def test_rotated_canvas_size(geometry, kwargs, shape):
    assert geometry.rotate(src=np.zeros((100, 100, 3), np.uint16), **kwargs).shape == shape + (3,)


def test_rotation_by_zero_of_an_even_image_is_a_copy(geometry):
    src = corpus.load("u16-grey-random-57x101")[:56, :100].copy()
    assert_same_array(geometry.rotate(src=src, angle=0), src)


@pytest.mark.parametrize("mode,expected", [(1, lambda a: a[:, ::-1]), (0, lambda a: a[::-1, :]),
                                           (-1, lambda a: a[::-1, ::-1])])
def test_flip_mappings(geometry, mode, expected):
    src = corpus.load("u16-colour-random-57x101")
    assert_same_array(geometry.flip(src=src, mode=mode), np.ascontiguousarray(expected(src)))


@pytest.mark.parametrize("kwargs,shape", [({}, (33, 33)), ({"scale": 1}, (100, 100)), ({"scale": 7}, (14, 14))],
                         ids=keyword_label)
def test_resize_sizes(geometry, kwargs, shape):
    src = np.zeros((100, 100), np.uint16)
    result = geometry.resize(src=src, **kwargs)
    assert result.shape == shape and result.dtype == np.uint16 and not np.shares_memory(result, src)


def test_crop_is_a_view_that_writes_through(geometry):
    src = corpus.load("u8-colour-random-57x101")
    piece = geometry.crop(src=src, start_x=10, start_y=20, width=3, height=2)
    assert piece.shape == (2, 3, 3)
    piece[...] = 7
    assert (src[20:22, 10:13] == 7).all()


@pytest.mark.parametrize("kwargs,shape", [({}, (1, 1)), ({"start_x": 95, "width": 10}, (1, 5)),
                                          ({"start_x": 200}, (1, 0))], ids=keyword_label)
def test_crop_sizes(geometry, kwargs, shape):
    assert geometry.crop(src=np.zeros((100, 100), np.uint16), **kwargs).shape == shape


def _view_makeup(view):
    flags = {name: view.flags[name] for name in ("C_CONTIGUOUS", "F_CONTIGUOUS", "WRITEABLE", "ALIGNED", "OWNDATA")}
    return (type(view), view.dtype, view.shape, view.strides, flags, view.__array_interface__["data"][0],
            id(view.base))


def _read_only(array):
    array.flags.writeable = False
    return array


CROP_SOURCES = {
    "grey": lambda: np.arange(40 * 30, dtype=np.uint16).reshape(40, 30),
    "colour": lambda: np.arange(40 * 30 * 3, dtype=np.uint8).reshape(40, 30, 3),
    "strided view": lambda: np.arange(80 * 60, dtype=np.uint16).reshape(80, 60)[::2, 1::2],
    "fortran": lambda: np.asfortranarray(np.arange(40 * 30, dtype=np.float32).reshape(40, 30)),
    "read-only": lambda: _read_only(np.zeros((40, 30), np.uint8)),
}


@pytest.mark.parametrize("kwargs", CROPS + [{"start_x": True, "width": 3}, {"start_y": 2 ** 70}], ids=keyword_label)
@pytest.mark.parametrize("source", CROP_SOURCES)
def test_crop_view_is_the_one_slicing_makes(geometry, source, kwargs):
    src = CROP_SOURCES[source]()
    assert _view_makeup(geometry.crop(src=src, **kwargs)) == _view_makeup(reference.crop(src=src, **kwargs))


# --- errors ---------------------------------------------------------------------------------------

BAD_CALLS = [
    ("rotate", {"src": None}), ("rotate", {"src": [[1, 2], [3, 4]]}), ("rotate", {"src": np.arange(5)}),
    ("rotate", {"angle": "a"}), ("rotate", {"angle": None}), ("rotate", {"scale": float("nan")}),
    ("rotate", {"scale": float("inf")}), ("rotate", {"angle": float("nan")}), ("rotate", {"scale": 1e300}),
    ("rotate", {"scale": 0}), ("rotate", {"scale": -1}), ("rotate", {"src": np.zeros((0, 5), np.uint8)}),
    ("flip", {"mode": "a"}), ("flip", {"mode": 2.5}),
    ("resize", {"src": None}), ("resize", {"src": np.zeros((30, 30, 3), np.uint8)}), ("resize", {"src": np.arange(9)}),
    ("resize", {"scale": 0}), ("resize", {"scale": -3}), ("resize", {"scale": 2.5}), ("resize", {"scale": 1000}),
    ("resize", {"scale": None}),
    ("crop", {"src": None}), ("crop", {"width": "a"}), ("crop", {"start_x": None}), ("crop", {"start_y": 1.5}),
    ("crop", {"src": np.arange(9)}), ("crop", {"src": [[1, 2], [3, 4]]}),
]


@pytest.mark.parametrize("method,kwargs", BAD_CALLS, ids=keyword_label)
def test_bad_calls(geometry, method, kwargs):
    kwargs = dict(kwargs)
    kwargs.setdefault("src", corpus.load("u16-grey-random-57x101"))
    assert_parity(lambda: getattr(geometry, method)(**kwargs), lambda: getattr(reference, method)(**kwargs))


@pytest.mark.parametrize("src", [None, np.zeros((0, 3), np.uint8)], ids=["missing", "empty"])
def test_flip_of_nothing_is_none_as_in_opencv(geometry, src):
    assert reference.flip(src=src) is None
    assert geometry.flip(src=src) is None


@pytest.mark.parametrize("method", ["rotate", "resize", "crop"])
def test_missing_src_names_the_method_in_the_traceback(geometry, method):
    with pytest.raises(Exception) as caught:
        getattr(geometry, method)()
    assert "pictor.lumenops.GeometricTransformation." + method in [entry.name for entry in caught.traceback]
