"""The 8-bit working copy and the 16-bit restore, seen through the blurs with a
1x1 kernel (ksize 0 or 1), where the result is the restored working copy."""
import cv2
import numpy as np
import pytest

from conftest import assert_same_array
from reference import image_smoother as reference
from reference import max_value_of, restore_u16, to_working_u8

BLURS = ["mean_blur", "median_blur", "gaussian_blur"]
IDENTITY_CALLS = [pytest.param(method, ksize, id="{}-ksize{}".format(method, ksize))
                  for method in BLURS for ksize in (0, 1)]


def restored_working_copy(src):
    """What a 1x1 filter returns: the working copy, restored to 16 bits."""
    return restore_u16(to_working_u8(src, max_value_of(src)))


def call_without_touching_input(smoother, method, src, ksize):
    """Call the method and check that the input's bytes and flags survive."""
    before = src.copy()
    writeable = src.flags.writeable
    try:
        return getattr(smoother, method)(src=src, ksize=ksize)
    finally:
        assert src.dtype == before.dtype and src.shape == before.shape
        assert src.tobytes() == before.tobytes(), "input array was modified"
        assert src.flags.writeable == writeable


def result_or_exception(smoother, method, src, ksize):
    """The result, or the ordinary exception raised; internal errors fail the test."""
    try:
        return call_without_touching_input(smoother, method, src, ksize)
    except SystemError:
        raise
    except Exception as error:  # any ordinary exception is an accepted outcome here
        return error


# --- exact values for the two supported depths ---------------------------------------

@pytest.mark.parametrize("method,ksize", IDENTITY_CALLS)
def test_every_uint16_value(smoother, method, ksize):
    src = np.arange(65536, dtype=np.uint32).astype(np.uint16).reshape(256, 256)
    ours = call_without_touching_input(smoother, method, src, ksize)
    assert_same_array(ours, restored_working_copy(src))
    assert_same_array(ours, (src // 257 * 257).astype(np.uint16))


@pytest.mark.parametrize("method,ksize", IDENTITY_CALLS)
def test_every_uint8_value(smoother, method, ksize):
    src = np.arange(256, dtype=np.uint8).reshape(16, 16)
    ours = call_without_touching_input(smoother, method, src, ksize)
    assert_same_array(ours, restored_working_copy(src))
    assert_same_array(ours, src.astype(np.uint16) * 257)


@pytest.mark.parametrize("dtype,samples,restored", [
    (np.uint16, [256, 257, 1000, 40000, 65534, 65535], [0, 257, 771, 39835, 65278, 65535]),
    (np.uint8, [0, 1, 128, 255], [0, 257, 32896, 65535]),
    (np.float64, [0.0, 0.25, 0.999, 1.0], [0, 0, 0, 257]),
    (np.int16, [0, 1, 200, 255], [0, 257, 51400, 65535]),
])
def test_documented_sample_values(smoother, dtype, samples, restored):
    src = np.array([samples], dtype=dtype)
    ours = call_without_touching_input(smoother, "mean_blur", src, 1)
    assert_same_array(ours, np.array([restored], dtype=np.uint16))


@pytest.mark.parametrize("method", BLURS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_all_row_lengths(smoother, method, dtype):
    # Lengths around vector widths catch loops that mishandle their tail.
    rng = np.random.default_rng(11)
    top = np.iinfo(dtype).max
    for length in list(range(1, 41)) + [63, 64, 65, 127, 128, 129, 255, 256, 257, 1031]:
        for shape in ((1, length), (length, 1), (2, length, 3)):
            src = rng.integers(0, top, size=shape, dtype=dtype, endpoint=True)
            ours = call_without_touching_input(smoother, method, src, 1)
            assert_same_array(ours, restored_working_copy(src))


# --- other element types -----------------------------------------------------------

def _in_range(dtype, top):
    values = np.linspace(0, top, 7 * 11).reshape(7, 11)
    return values.astype(dtype)


# Element types whose treatment as 8-bit data is documented: results must match.
DOCUMENTED_TYPES = [
    pytest.param(_in_range(np.float64, 1.0), id="float64-unit"),
    pytest.param(_in_range(np.float32, 1.0), id="float32-unit"),
    pytest.param(_in_range(np.float64, 255.0), id="float64-0-255"),
    pytest.param(_in_range(np.float32, 255.0), id="float32-0-255"),
    pytest.param(_in_range(np.int16, 255), id="int16"),
]
# Other element types: an ordinary exception is acceptable, a result must match.
OTHER_TYPES = [
    pytest.param(_in_range(np.int8, 127), id="int8"),
    pytest.param(_in_range(np.int32, 255), id="int32"),
    pytest.param(_in_range(np.uint32, 255), id="uint32"),
    pytest.param(_in_range(np.int64, 255), id="int64"),
    pytest.param(_in_range(np.uint64, 255), id="uint64"),
    pytest.param(_in_range(np.float16, 255.0), id="float16"),
    pytest.param(_in_range(np.float16, 1.0), id="float16-unit"),
    pytest.param(_in_range(np.longdouble, 255.0), id="longdouble"),
    pytest.param(np.arange(77).reshape(7, 11) % 3 == 0, id="bool"),
    pytest.param(_in_range(np.float64, 255.0).astype(object), id="object"),
]
# Values outside the 8-bit range, and types the convention was not made for:
# any result or an ordinary exception, never a crash.
OUT_OF_RANGE = [
    pytest.param(np.array([[-1.0, 256.0, 1e300, -1e300]]), id="float64-out-of-range"),
    pytest.param(np.array([[np.nan, np.inf, -np.inf, 3.0]]), id="float64-nan-inf"),
    pytest.param(np.array([[np.nan, np.inf, -np.inf, 3.0]], np.float32), id="float32-nan-inf"),
    pytest.param(np.array([[np.nan, np.inf, 65504.0, -3.0]], np.float16), id="float16-special"),
    pytest.param(np.array([[-32768, -1, 256, 32767]], np.int16), id="int16-signed"),
    pytest.param(np.array([[-128, -1, 0, 127]], np.int8), id="int8-signed"),
    pytest.param(np.array([[-2 ** 63, 2 ** 63 - 1, 70000, -5]], np.int64), id="int64-extremes"),
    pytest.param(np.array([[2 ** 64 - 1, 2 ** 32, 0, 1]], np.uint64), id="uint64-extremes"),
    pytest.param(np.array([[2 ** 32 - 1, 0, 300, 1]], np.uint32), id="uint32-extremes"),
    pytest.param(np.array([[1 + 2j, 3, 0, 255]], np.complex128), id="complex128"),
    pytest.param(np.array([["a", "bc", "", "d"]]), id="unicode"),
    pytest.param(np.array([[b"a", b"bc", b"", b"d"]]), id="bytes"),
    pytest.param(np.array([[None, 1, "x", 2.0]], dtype=object), id="object-mixed"),
    pytest.param(np.array([["2020-01-01", "NaT", "1970-01-01", "2000-02-29"]],
                          dtype="datetime64[D]"), id="datetime64"),
    pytest.param(np.array([[1, 2, 3, 4]], dtype="timedelta64[s]"), id="timedelta64"),
    pytest.param(np.zeros((2, 3), dtype=[("a", np.uint8), ("b", np.uint16)]), id="structured"),
    pytest.param(np.zeros((2, 3), dtype="V4"), id="void"),
]


@pytest.mark.parametrize("method,ksize", IDENTITY_CALLS)
@pytest.mark.parametrize("src", DOCUMENTED_TYPES)
def test_documented_other_types(smoother, method, ksize, src):
    ours = call_without_touching_input(smoother, method, src, ksize)
    assert_same_array(ours, restored_working_copy(src))


@pytest.mark.parametrize("method,ksize", IDENTITY_CALLS)
@pytest.mark.parametrize("src", OTHER_TYPES)
def test_other_types_match_when_they_give_a_result(smoother, method, ksize, src):
    ours = result_or_exception(smoother, method, src, ksize)
    if not isinstance(ours, Exception):
        assert_same_array(ours, restored_working_copy(src))


@pytest.mark.parametrize("method", BLURS)
@pytest.mark.parametrize("src", OUT_OF_RANGE)
def test_out_of_range_values_never_crash(smoother, method, src):
    ours = result_or_exception(smoother, method, src, 1)
    if not isinstance(ours, Exception):
        assert type(ours) is np.ndarray
        assert ours.dtype == np.uint16 and ours.shape == src.shape


# --- memory layouts ------------------------------------------------------------------

def _base(dtype, colour):
    shape = (37, 53, 3) if colour else (37, 53)
    top = np.iinfo(dtype).max
    return np.random.default_rng(3).integers(0, top, size=shape, dtype=dtype, endpoint=True)


def _read_only(array):
    array = array.copy()
    array.setflags(write=False)
    return array


def _unaligned(array):
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = raw[1:].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


def _transposed(array):
    return array.T if array.ndim == 2 else array.transpose(1, 0, 2)


def _channel_strided(array):
    """Grey: one channel of a colour image; colour: channels in reverse order."""
    if array.ndim == 2:
        return np.stack([array, array, array], axis=-1)[..., 1]
    return array[..., ::-1]


LAYOUTS = {
    "strided": lambda a: a[::2, ::3],
    "cropped": lambda a: a[1:-1, 2:-3],
    "transposed": _transposed,
    "reversed": lambda a: a[::-1, ::-1],
    "fortran": np.asfortranarray,
    "read-only": _read_only,
    "unaligned": _unaligned,
    "broadcast-rows": lambda a: np.broadcast_to(a[:1], a.shape),
    "channel-strided": _channel_strided,
}


def _layout_cases():
    for dtype in (np.uint8, np.uint16):
        for colour in (False, True):
            for layout in LAYOUTS:
                yield pytest.param(dtype, colour, layout, id="{}-{}-{}".format(
                    np.dtype(dtype).name, "colour" if colour else "grey", layout))


@pytest.mark.parametrize("method", BLURS)
@pytest.mark.parametrize("dtype,colour,layout", list(_layout_cases()))
def test_memory_layouts(smoother, method, dtype, colour, layout):
    src = LAYOUTS[layout](_base(dtype, colour))
    # ksize 3 as well: a neighbourhood filter reads across the working copy's rows.
    for ksize in (1, 3):
        ours = call_without_touching_input(smoother, method, src, ksize)
        assert_same_array(ours, getattr(reference, method)(src=src, ksize=ksize))
        assert not np.shares_memory(ours, src)


@pytest.mark.parametrize("method", BLURS)
def test_big_endian_uint16_follows_the_element_type_test(smoother, method):
    # '>u2' is not equal to np.uint16 on a little-endian machine, so it is taken
    # as 8-bit data; samples up to 255 keep a well-defined result.
    src = np.arange(256, dtype=np.uint16).reshape(16, 16).astype(">u2")
    ours = call_without_touching_input(smoother, method, src, 1)
    assert_same_array(ours, restored_working_copy(src))


@pytest.mark.parametrize("method", BLURS)
def test_big_endian_uint16_full_range_never_crashes(smoother, method):
    src = np.arange(0, 65536, 97, dtype=np.uint32).astype(">u2").reshape(1, -1)
    ours = result_or_exception(smoother, method, src, 1)
    if not isinstance(ours, Exception):
        assert ours.dtype == np.uint16 and ours.shape == src.shape


@pytest.mark.parametrize("method", BLURS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float64])
@pytest.mark.parametrize("shape", [(0,), (0, 0), (0, 5), (5, 0), (0, 5, 3), (5, 0, 3), (4, 5, 0)])
def test_zero_sized_arrays(smoother, method, dtype, shape):
    # The library rejects most empty images; the ones it accepts come back with
    # the shape it chooses, whose samples are not defined.
    src = np.zeros(shape, dtype)
    ours = result_or_exception(smoother, method, src, 3)
    if len(shape) == 3 and shape[2] == 0:
        # OpenCV's binding would read this as 512 channels, past the buffer's
        # end; the module refuses it with OpenCV's exception type instead.
        assert isinstance(ours, cv2.error) and "0 channels" in str(ours)
        return
    try:
        expected = getattr(reference, method)(src=src, ksize=3)
    except Exception as error:  # the reference's exception is the expectation
        assert type(ours) is type(error)
    else:
        assert type(ours) is np.ndarray
        assert (ours.dtype, ours.shape) == (expected.dtype, expected.shape)
