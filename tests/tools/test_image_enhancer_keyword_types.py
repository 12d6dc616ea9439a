"""Numeric keywords of the pyramid, sharpening and tone enhancements typed as
NumPy 1.x types them: every Python and NumPy scalar type, at the value
boundaries where NumPy's value-based promotion changes the result type."""
import numpy as np
import pytest

import corpus
from conftest import assert_parity
from reference import image_enhancer as reference

# (method, keyword): the keywords that take part in array arithmetic.
ARITHMETIC_KEYWORDS = [
    ("laplacian_pyramid", "scale"), ("laplacian_pyramid", "gamma_value"),
    ("multi_scale_fuse_enhancement", "high_value"), ("multi_scale_fuse_enhancement", "low_value"),
    ("unsharpen_mask", "alpha"), ("laplacian_enhancement", "alpha"), ("laplacian_enhancement", "beta"),
    ("shadows_highlight", "shadow"), ("shadows_highlight", "highlight"), ("glow", "intensity"),
    ("brightness_contrast", "brightness"), ("brightness_contrast", "contrast"),
]

VALUES = [
    # Python ints at the boundaries of the smallest holding type
    2, 255, 256, 65535, 65536, 2 ** 31, 2 ** 63, -1, -128, -129, -32769, -2 ** 63,
    # bools, floats, and floats beyond float32's range
    True, False, 0.75, -2.5, 3.5e38, float("nan"), float("-inf"),
    # NumPy scalars: same kind as the image's arithmetic, and a higher kind
    np.int8(-3), np.uint8(7), np.int16(-300), np.uint16(40000), np.int32(5), np.uint32(3), np.int64(-9),
    np.uint64(2 ** 64 - 1), np.bool_(True), np.float16(1.5), np.float32(0.3), np.float64(0.3),
    np.float64(1e300), np.longdouble(0.7),
    # 0-d arrays count like the scalars they hold
    np.array(3), np.array(0.25, np.float32), np.array(-2.0),
]

NAMES = ["u8-grey-random-57x101", "u16-colour-photo-chelsea-96x128"]


def _value_id(value):
    return "{}({!r})".format(type(value).__name__, value.item() if isinstance(value, np.generic) else value)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("method,keyword", ARITHMETIC_KEYWORDS)
@pytest.mark.parametrize("value", VALUES, ids=_value_id)
@pytest.mark.parametrize("name", NAMES)
def test_keyword_value_types(enhancer, method, keyword, value, name):
    src = corpus.load(name)
    kwargs = {keyword: value}
    if method == "glow":
        kwargs["radius"] = 5
    assert_parity(lambda: getattr(enhancer, method)(src=src, **kwargs),
                  lambda: getattr(reference, method)(src=src.copy(), **kwargs))


@pytest.mark.parametrize("method,keyword", [key for key in ARITHMETIC_KEYWORDS if key[1] != "gamma_value"])
@pytest.mark.parametrize("value", [1j, np.complex64(2), 2 ** 70, [1.5]], ids=repr)
def test_values_without_native_arithmetic_raise_type_error(enhancer, method, keyword, value):
    # Complex numbers, integers beyond 64 bits and sequences: the plain
    # recipe would compute with complex, object or broadcast arrays; this
    # module refuses them with an ordinary exception.
    src = corpus.load("u8-grey-random-57x101")
    kwargs = {keyword: value}
    if method == "multi_scale_fuse_enhancement" and value == 2 ** 70:
        pytest.skip("clipped to 1 before any arithmetic, as the recipe does")
    with pytest.raises(TypeError, match="no native kernel"):
        getattr(enhancer, method)(src=src, **kwargs)
