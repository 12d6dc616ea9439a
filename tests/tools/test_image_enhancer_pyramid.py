"""ImageEnhancer.laplacian_pyramid and multi_scale_fuse_enhancement against the
reference model: same arrays (bit for bit), same errors."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corpus
from conftest import assert_method_parity, assert_same_array, keyword_cases
from reference import image_enhancer as reference

SMALL_NAMES = ["u8-grey-random-57x101", "u16-colour-random-57x101", "u16-grey-photo-camera-96x128",
               "u8-colour-photo-coffee-97x131", "u8-grey-tiny-3x2", "u16-colour-tiny-1x1"]


# --- corpus parity --------------------------------------------------------------------------

CORPUS_SWEEPS = (
    keyword_cases("laplacian_pyramid", [{}, {"min_ksize": 8}, {"min_ksize": 3, "scale": 40, "gamma_value": 1.3}])
    + keyword_cases("multi_scale_fuse_enhancement",
                    [{}, {"mode_fuse": 1}, {"mode_truncation": 1}, {"mode_truncation": 2},
              {"mode_fuse": 1, "mode_truncation": 1, "high_value": 5, "low_value": 0}])
)


@pytest.mark.parametrize("method,kwargs", CORPUS_SWEEPS)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_corpus_parity(enhancer, method, kwargs, name):
    assert_method_parity(enhancer, reference, method, corpus.load(name), **kwargs)


KEYWORD_SWEEPS = (
    keyword_cases("laplacian_pyramid",
                  [{"min_ksize": k} for k in (7, 8, 9, 1, 0, -4, 21)]
                  + [{"scale": s} for s in (0, 1, 35, -3, 0.5, 70000, 1e39)]
                  + [{"gamma_value": g} for g in (0.4, 1, 2, 0.5, 0, -0.5, 3.7)])
    + keyword_cases("multi_scale_fuse_enhancement",
                    [{"min_ksize": 8, "max_ksize": 12}, {"min_ksize": 15}, {"max_ksize": 3}]
                    + [{"high_value": v} for v in (5, 0, 1, 0.01, -2.0, True)]
                    + [{"low_value": v} for v in (0, 1.0, 0.6, np.float32(0.2))]
                    + [{"mode_fuse": m} for m in (0.0, False, 1.0, True, 2, -1)]
                    + [{"mode_truncation": m} for m in (0.0, False, 1.0, True, 2, 3.5)]
                    + [{"scale": 300, "mode_truncation": t} for t in (0, 1)]
                    + [{"gamma_value": 2.5, "scale": 100, "mode_fuse": 1}])
)


@pytest.mark.parametrize("method,kwargs", KEYWORD_SWEEPS)
@pytest.mark.parametrize("name", SMALL_NAMES)
def test_keyword_parity(enhancer, method, kwargs, name):
    assert_method_parity(enhancer, reference, method, corpus.load(name), **kwargs)


@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
@settings(max_examples=30, deadline=None)
@given(src=hnp.arrays(st.sampled_from([np.uint8, np.uint16]),
                      hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=48)
                      | hnp.array_shapes(min_dims=3, max_dims=3, min_side=1, max_side=24)
                      .map(lambda shape: shape[:2] + (3,))),
       scale=st.sampled_from([10, 35, 120]))
def test_random_images(enhancer, method, src, scale):
    assert_method_parity(enhancer, reference, method, src, scale=scale)


@pytest.mark.parametrize("shape,dtype", [((517, 1031), np.uint16), ((301, 403, 3), np.uint16),
                                         ((263, 999), np.uint8)])
@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
def test_larger_images(enhancer, method, shape, dtype):
    rng = np.random.default_rng(sum(shape))
    smooth = cv_smooth(rng.integers(0, np.iinfo(dtype).max, size=shape, dtype=dtype, endpoint=True))
    assert_method_parity(enhancer, reference, method, smooth)


def cv_smooth(image):
    """Noise blurred into structure, so that every pyramid level carries detail."""
    import cv2
    return cv2.GaussianBlur(image, (9, 9), 0)


# --- documented behaviour ---------------------------------------------------------------------

@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
@pytest.mark.parametrize("shape", [(16, 20), (57, 101), (9, 7, 3), (1, 1)])
def test_all_zero_image_gives_zeros(enhancer, method, shape):
    for dtype in (np.uint8, np.uint16):
        assert_same_array(getattr(enhancer, method)(src=np.zeros(shape, dtype)), np.zeros(shape, np.uint16))


@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
@pytest.mark.parametrize("name", ["u8-grey-random-57x101", "u8-colour-photo-chelsea-96x128", "u8-grey-tiny-3x2"])
def test_8_bit_and_the_same_image_at_16_bits_agree(enhancer, method, name):
    src = corpus.load(name)
    run = getattr(enhancer, method)
    assert_same_array(run(src=src.astype(np.uint16) * 257), run(src=src))


@pytest.mark.parametrize("same,other", [({"min_ksize": 8}, {"min_ksize": 9}),
                                        ({"min_ksize": 10}, {"min_ksize": 11}),
                                        ({"max_ksize": 21}, {})])
def test_laplacian_pyramid_kernel_sides(enhancer, same, other):
    src = corpus.load("u16-grey-photo-camera-96x128")
    assert_same_array(enhancer.laplacian_pyramid(src=src, **same), enhancer.laplacian_pyramid(src=src, **other))


def test_laplacian_pyramid_ignores_max_ksize_like_the_reference(enhancer):
    src = corpus.load("u8-colour-photo-coffee-97x131")
    assert_method_parity(enhancer, reference, "laplacian_pyramid", src, ours_extra={"max_ksize": 21})


@pytest.mark.parametrize("same,other", [({"high_value": 5}, {"high_value": 1}),
                                        ({"high_value": 0}, {"high_value": 0.01}),
                                        ({"low_value": 0}, {"low_value": 0.01}),
                                        ({"min_ksize": 8, "max_ksize": 12}, {"min_ksize": 9, "max_ksize": 13}),
                                        ({"mode_fuse": 0.0}, {"mode_fuse": False}),
                                        ({"mode_fuse": 1.0}, {"mode_fuse": True}),
                                        ({"mode_truncation": 1.0}, {"mode_truncation": True}),
                                        ({"mode_truncation": 0.0}, {})])
def test_multi_scale_equivalent_keywords(enhancer, same, other):
    src = corpus.load("u16-colour-photo-chelsea-96x128")
    run = enhancer.multi_scale_fuse_enhancement
    assert_same_array(run(src=src, **same), run(src=src, **other))


@pytest.mark.parametrize("value", [0, 17, 128, 200, 255])
@pytest.mark.parametrize("gamma_value", [0.4, 1.0, 2.2])
def test_constant_image_is_the_gamma_curve(enhancer, value, gamma_value):
    src = np.full((23, 31), value, np.uint8)
    expected = np.uint16(np.float32(value / 255.0) ** np.float32(gamma_value) * 65535)
    result = enhancer.laplacian_pyramid(src=src, gamma_value=gamma_value)
    assert result.dtype == np.uint16 and result.shape == src.shape
    assert np.all(np.abs(result.astype(np.int64) - int(expected)) <= 1)


def test_truncation_to_a_mean_below_the_floor(enhancer):
    # A dark square on a bright field: with these gains the mean of the fourth
    # detail level is about -0.36, so mode 0 clips it to [-0.03, mean], a lower
    # bound above the upper one, which leaves the mean everywhere.
    src = np.full((96, 96), 230, np.uint8)
    src[32:64, 32:64] = 0
    for kwargs in ({"low_value": 1.0, "scale": 80}, {"low_value": 1.0, "scale": 80, "mode_truncation": 1}):
        assert_method_parity(enhancer, reference, "multi_scale_fuse_enhancement", src, **kwargs)


@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
def test_the_module_copy_is_used_for_the_pyramid_base(lumenops, enhancer, method, monkeypatch):
    import copy as standard_copy

    class CountingCopy:
        calls = 0

        @classmethod
        def deepcopy(cls, value):
            cls.calls += 1
            return standard_copy.deepcopy(value)

    src = corpus.load("u8-grey-photo-camera-96x128")
    expected = getattr(reference, method)(src=src)
    monkeypatch.setattr(lumenops, "copy", CountingCopy)
    assert_same_array(getattr(enhancer, method)(src=src), expected)
    assert CountingCopy.calls == 1


def test_without_a_module_copy_the_pyramids_raise_name_error(fresh_python):
    # In a fresh interpreter: deleting a module attribute would reorder the
    # namespace of this one.
    output = fresh_python("""
        import numpy as np
        from pictor import lumenops
        del lumenops.copy
        for method in ("laplacian_pyramid", "multi_scale_fuse_enhancement"):
            try:
                getattr(lumenops.ImageEnhancer(), method)(src=np.zeros((8, 8), np.uint8))
            except NameError as error:
                print(error)
    """)
    assert output.splitlines() == ["name 'copy' is not defined"] * 2

# --- errors -------------------------------------------------------------------------------------

BAD_KEYWORDS = (
    keyword_cases("laplacian_pyramid",
                  [{"min_ksize": v} for v in (None, "a", 7.0, 2.5, -1)] + [{"scale": v} for v in ("x", None)]
                  + [{"gamma_value": v} for v in ("x", None)])
    + keyword_cases("multi_scale_fuse_enhancement",
                    [{"min_ksize": v} for v in (None, 7.0)] + [{"max_ksize": v} for v in ("a", -3)]
                    + [{"high_value": v} for v in ("x", None)] + [{"low_value": "x"}, {"scale": "x"}])
)


@pytest.mark.parametrize("method,kwargs", BAD_KEYWORDS)
def test_bad_keyword_values(enhancer, method, kwargs):
    assert_method_parity(enhancer, reference, method, corpus.load("u16-grey-random-57x101"), **kwargs)


BAD_SOURCES = {
    "missing": None,
    "list": [[1, 2], [3, 4]],
    "empty": np.zeros((0, 5), np.uint8),
    "empty-colour": np.zeros((4, 0, 3), np.uint16),
    "int16": np.arange(-20, 20, dtype=np.int16).reshape(5, 8),
    "float": np.linspace(0, 1, 40).reshape(5, 8),
    "bool": np.arange(40).reshape(5, 8) % 3 == 0,
    "1-channel": np.arange(30, dtype=np.uint16).reshape(5, 6, 1) * 999,
    "4-channel": np.arange(160, dtype=np.uint16).reshape(5, 8, 4) * 300,
}


@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
@pytest.mark.parametrize("source", list(BAD_SOURCES))
def test_unusual_sources(enhancer, method, source):
    assert_method_parity(enhancer, reference, method, BAD_SOURCES[source])


@pytest.mark.parametrize("method", ["laplacian_pyramid", "multi_scale_fuse_enhancement"])
@pytest.mark.parametrize("src", [np.array(7, np.uint8), np.zeros((5, 5, 1), np.uint8), np.arange(9, dtype=np.uint8)],
                         ids=["0-d", "5x5x1", "1-d"])
def test_shapes_that_opencv_reshapes_are_refused(enhancer, method, src):
    # OpenCV turns a 0-d float into a 4 x 1 matrix, a vector into a column and
    # drops the channel axis of a one-channel image; the plain recipe
    # broadcasts those against the image into arrays of other shapes, this
    # module refuses them.
    with pytest.raises(ValueError, match="could not be broadcast"):
        getattr(enhancer, method)(src=src)
