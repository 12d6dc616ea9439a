"""What every 16-bit ImageEnhancer effect promises, whatever it does to the
image: a new array, views read like copies, and calls from many threads at
once give what sequential calls give."""
import numpy as np
import pytest

import corpus
from conftest import assert_method_parity, assert_same_from_threads
from reference import image_enhancer as reference

UINT16_RESULTS = ["laplacian_pyramid", "multi_scale_fuse_enhancement", "unsharpen_mask", "laplacian_enhancement",
                  "enhance_details", "shadows_highlight", "glow", "brightness_contrast"]
# east keeps the input's element type.
METHODS = UINT16_RESULTS + ["east"]


@pytest.mark.parametrize("method", UINT16_RESULTS)
@pytest.mark.parametrize("name", ["u8-colour-random-57x101", "u16-colour-random-57x101"])
def test_result_is_a_new_uint16_array_of_the_input_shape(enhancer, method, name):
    src = corpus.load(name)
    src.setflags(write=False)
    result = getattr(enhancer, method)(src=src)
    assert type(result) is np.ndarray and result.dtype == np.uint16 and result.shape == src.shape
    assert result.flags.writeable and not np.shares_memory(result, src)


VIEWS = {"chelsea[1::2,::-3]": lambda: corpus.load("u16-colour-photo-chelsea-96x128")[1::2, ::-3],
         "coffee[::2,::-1]": lambda: corpus.load("u16-colour-photo-coffee-97x131")[::2, ::-1]}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("view", list(VIEWS))
def test_non_contiguous_input(enhancer, method, view):
    assert_method_parity(enhancer, reference, method, VIEWS[view]())


@pytest.mark.parametrize("method", METHODS)
def test_concurrent_calls_from_threads(enhancer, method):
    assert_same_from_threads(getattr(enhancer, method), getattr(reference, method))
