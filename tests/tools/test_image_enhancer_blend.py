"""ImageEnhancer's blend primitives and the two multi-scale adaptive blends
against the reference model: same arrays, same errors."""
import signal
import traceback
import warnings

import numpy as np
import pytest

import corpus
from conftest import assert_calls_parity, assert_method_parity, assert_parity, assert_same_array, keyword_label
from reference import image_enhancer as reference

MODULE = "pictor.lumenops"
MULTI_SCALE = ["multi_scale_adaptive_hard_light_enhancement", "multi_scale_adaptive_image_overlay_enhancement"]
BLENDS = [("_ImageEnhancer__hard_light", reference.hard_light),
          ("_ImageEnhancer__image_overlay", reference.image_overlay)]


def full_scale(src):
    return 65535. if src.dtype == np.uint16 else 255.


def quietly(call):
    """The reference call without NumPy's runtime warnings (they are not under test)."""
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return call()
    return run


# --- __get_overlay ---------------------------------------------------------------------------

@pytest.mark.parametrize("ksize", [1, 3, 11, 2, 0, -1])
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_overlay_corpus_parity(enhancer, name, ksize):
    src = corpus.load(name)
    assert_calls_parity(lambda image: enhancer._ImageEnhancer__get_overlay(image, ksize),
                        lambda image: reference.get_overlay(image, ksize), src, quiet=True)


OVERLAY_SOURCES = {
    "float32": np.linspace(0, 255, 48, dtype=np.float32).reshape(6, 8),
    "float64": np.linspace(-3, 1e5, 48).reshape(6, 8),
    "int16": np.arange(-24, 24, dtype=np.int16).reshape(6, 8) * 100,
    "one-channel": np.arange(48, dtype=np.uint16).reshape(6, 8, 1) * 1000,
    "one-dimensional": np.arange(7, dtype=np.uint16) * 9000,
    "non-contiguous": np.arange(400, dtype=np.uint16).reshape(20, 20)[::2, ::3] * 150,
    "int32": np.arange(48, dtype=np.int32).reshape(6, 8),
    "empty": np.zeros((0, 5), np.uint16),
    "none": None,
}


@pytest.mark.parametrize("source", OVERLAY_SOURCES)
def test_overlay_of_other_sources(enhancer, source):
    src = OVERLAY_SOURCES[source]
    assert_parity(lambda: enhancer._ImageEnhancer__get_overlay(src, 3),
                  quietly(lambda: reference.get_overlay(src, 3)))


@pytest.mark.parametrize("dtype,value", [(np.uint8, 0), (np.uint8, 200), (np.uint16, 300), (np.uint16, 65535)])
def test_overlay_of_a_constant_image_is_one_half(enhancer, dtype, value):
    overlay = enhancer._ImageEnhancer__get_overlay(np.full((9, 12, 3), value, dtype), 5)
    assert_same_array(overlay, np.full((9, 12, 3), 0.5, np.float32))


# --- __hard_light and __image_overlay --------------------------------------------------------

def layers(name):
    """(base, overlay) as the multi-scale methods build them from a corpus image."""
    src = corpus.load(name)
    return src / full_scale(src), reference.get_overlay(src, 11)


def layer_pairs(name):
    base, overlay = layers(name)
    chain = reference.hard_light(overlay, overlay, 0.5)
    return {
        "overlay-overlay": (overlay, overlay),
        "base-chain": (base, chain),
        "chain-overlay": (chain, overlay),
        "overlay-base": (overlay, base),
        "base32-overlay": (base.astype(np.float32), overlay),
    }


PAIR_NAMES = ["overlay-overlay", "base-chain", "chain-overlay", "overlay-base", "base32-overlay"]
# 0.3 rounds differently in float32; 1 is an int; the others take NumPy's own operators.
THRESHOLDS = [0.5, 0.3, 1, 0, 1e39, float("nan"), np.float32(0.3), np.float64(0.7), True]


@pytest.mark.parametrize("method,reference_blend", BLENDS, ids=[b[0] for b in BLENDS])
@pytest.mark.parametrize("pair", PAIR_NAMES)
@pytest.mark.parametrize("thr", THRESHOLDS, ids=repr)
@pytest.mark.parametrize("name", corpus.corpus_params(kinds=("synthetic", "photo")))
def test_blend_corpus_parity(enhancer, method, reference_blend, pair, thr, name):
    base, overlay = layer_pairs(name)[pair]
    assert_parity(lambda: getattr(enhancer, method)(base, overlay, thr),
                  quietly(lambda: reference_blend(base, overlay, thr)))


def _special_layer():
    values = np.array([0.0, -0.0, 0.5, 0.49999997, 1.0, 1.5, -0.5, np.inf, -np.inf, np.nan, 1e-45, 2.0])
    with np.errstate(invalid="ignore"):
        return np.add.outer(values, values * 0.25).ravel()


OTHER_LAYERS = {
    "special-values-64": (_special_layer(), _special_layer()[::-1].copy()),
    "special-values-32": (_special_layer().astype(np.float32), _special_layer()[::-1].astype(np.float32)),
    "broadcast": (np.linspace(0, 1, 12).reshape(3, 4), np.linspace(1, 0, 4)),
    "integer-layers": (np.arange(12, dtype=np.uint8).reshape(3, 4), np.arange(12, dtype=np.int16).reshape(3, 4)),
    "lists": ([0.2, 0.7], [0.9, 0.1]),
    "non-contiguous": (np.linspace(0, 1, 40).reshape(5, 8)[:, ::2], np.linspace(1, 0, 20).reshape(5, 4)),
    "mismatched-shapes": (np.zeros((3, 4)), np.zeros((4, 3))),
    "none": (None, np.zeros(3)),
}


@pytest.mark.parametrize("method,reference_blend", BLENDS, ids=[b[0] for b in BLENDS])
@pytest.mark.parametrize("case", OTHER_LAYERS)
def test_blend_of_other_layers(enhancer, method, reference_blend, case):
    base, overlay = OTHER_LAYERS[case]
    assert_parity(lambda: getattr(enhancer, method)(base, overlay, 0.5),
                  quietly(lambda: reference_blend(base, overlay, 0.5)))


@pytest.mark.parametrize("method", [b[0] for b in BLENDS])
def test_flat_overlay_gives_back_the_base(enhancer, method):
    base = np.linspace(0.0, 1.0, 1001)
    blended = getattr(enhancer, method)(base, np.full_like(base, 0.5), 0.5)
    if method == "_ImageEnhancer__hard_light":
        assert_same_array(blended, base)
    else:  # the screen-like formula rounds 1 - (1 - b)
        assert np.array_equal(blended, 1 - (1 - base))


def test_the_two_blends_select_by_different_layers(enhancer):
    base, overlay = np.array([0.2, 0.8]), np.array([0.8, 0.2])
    hard_light = enhancer._ImageEnhancer__hard_light(base, overlay, 0.5)
    image_overlay = enhancer._ImageEnhancer__image_overlay(base, overlay, 0.5)
    screen = 1 - 2 * (1 - base) * (1 - overlay)
    assert_same_array(hard_light, np.array([2 * 0.2 * 0.8, screen[1]]))
    assert_same_array(image_overlay, np.array([screen[0], 2 * 0.8 * 0.2]))


@pytest.mark.parametrize("method,arguments,message", [
    ("_ImageEnhancer__get_overlay", (np.zeros((4, 4), np.uint8),),
     "__get_overlay() takes exactly 3 positional arguments (2 given)"),
    ("_ImageEnhancer__hard_light", (0.5, 0.5), "__hard_light() takes exactly 4 positional arguments (3 given)"),
    ("_ImageEnhancer__image_overlay", (0.5, 0.5, 0.5, 0.5),
     "__image_overlay() takes exactly 4 positional arguments (5 given)"),
])
def test_private_methods_count_their_arguments(enhancer, method, arguments, message):
    with pytest.raises(TypeError) as caught:
        getattr(enhancer, method)(*arguments)
    assert str(caught.value) == message


def test_private_methods_take_parameters_by_name(enhancer):
    src = corpus.load("u16-grey-photo-camera-96x128")
    overlay = enhancer._ImageEnhancer__get_overlay(ksize=5, src=src)
    assert_same_array(overlay, reference.get_overlay(src, 5))
    assert_same_array(enhancer._ImageEnhancer__image_overlay(thr=0.5, overlay=overlay, base=overlay),
                      reference.image_overlay(overlay, overlay, 0.5))


def test_failing_private_method_names_itself_in_the_traceback(enhancer):
    with pytest.raises(Exception) as caught:
        enhancer._ImageEnhancer__get_overlay(np.zeros((4, 4), np.uint8), 4)
    assert traceback.extract_tb(caught.tb)[-1].name == MODULE + ".ImageEnhancer.__get_overlay"


# --- multi-scale adaptive blends ---------------------------------------------------------------

SWEEPS = [{}, {"init_ksize": 10}, {"init_ksize": 0}, {"init_ksize": 3}, {"multi_scale": 3},
          {"multi_scale": 2, "step_ksize": 4}, {"step_ksize": 5}, {"multi_scale": 2, "step_ksize": 3},
          {"init_ksize": 3, "multi_scale": 2, "step_ksize": -2}]


@pytest.mark.parametrize("method", MULTI_SCALE)
@pytest.mark.parametrize("kwargs", SWEEPS, ids=keyword_label)
@pytest.mark.parametrize("name", corpus.corpus_params())
def test_multi_scale_corpus_parity(enhancer, method, kwargs, name):
    src = corpus.load(name)
    assert_method_parity(enhancer, reference, method, src, quiet=True, **kwargs)


def _large_images():
    # More samples than differences of two levels: the overlay, first-blend and
    # base tables take over from per-sample arithmetic.
    rng = np.random.default_rng(20240612)
    rows, cols = np.mgrid[0:400, 0:400] / 400.0
    smooth = 0.5 + 0.35 * np.sin(7 * rows + 3 * cols) * np.cos(5 * cols)
    noisy = np.clip(smooth + rng.normal(0, 0.05, smooth.shape), 0, 1)
    return {
        "u16-grey": np.round(noisy * 65535).astype(np.uint16),
        "u16-colour": np.round(np.stack([noisy[:260, :260], noisy[140:, 140:], noisy[:260, 140:]], -1) * 65535)
        .astype(np.uint16),
        "u8-grey": np.round(noisy[:300, :300] * 255).astype(np.uint8),
        "int16": np.round((noisy - 0.5) * 65535).astype(np.int16),
        "float32": (noisy[:200, :200] * 255).astype(np.float32),
    }


LARGE = _large_images()


@pytest.mark.parametrize("method", MULTI_SCALE)
@pytest.mark.parametrize("multi_scale", [1, 2, 3])
@pytest.mark.parametrize("name", LARGE)
def test_multi_scale_large_images(enhancer, method, multi_scale, name):
    src = LARGE[name]
    assert_method_parity(enhancer, reference, method, src, quiet=True, multi_scale=multi_scale, step_ksize=4)


# No pass at all (multi_scale 0 or less) is checked on its own below: its message is
# fixed, while the reference model's depends on the running interpreter.
BAD_KEYWORDS = [{"multi_scale": 2.0}, {"multi_scale": None},
                {"multi_scale": True}, {"init_ksize": 11.0}, {"init_ksize": "11"}, {"step_ksize": 6.0},
                {"step_ksize": None}, {"init_ksize": 2 ** 40}]


@pytest.mark.parametrize("method", MULTI_SCALE)
@pytest.mark.parametrize("kwargs", BAD_KEYWORDS, ids=keyword_label)
@pytest.mark.parametrize("name", ["u16-grey-random-57x101", "u8-colour-tiny-3x2"])
def test_multi_scale_bad_keywords(enhancer, method, kwargs, name):
    src = corpus.load(name)
    assert_method_parity(enhancer, reference, method, src, quiet=True, **kwargs)


@pytest.mark.parametrize("method", MULTI_SCALE)
@pytest.mark.parametrize("kwargs", [{"multi_scale": 0}, {"multi_scale": -2}, {"step_ksize": None, "multi_scale": 0}])
def test_no_pass_is_an_unbound_local_error(enhancer, method, kwargs):
    with pytest.raises(UnboundLocalError) as caught:
        getattr(enhancer, method)(src=np.zeros((5, 5), np.uint16), **kwargs)
    assert str(caught.value) == "local variable 'base_hl' referenced before assignment"
    assert traceback.extract_tb(caught.tb)[-1].name == MODULE + ".ImageEnhancer." + method


MULTI_SCALE_SOURCES = dict(OVERLAY_SOURCES, **{
    "uint8-0-d": np.array(7, np.uint8),
    "list": [[1, 2], [3, 4]],
    "bool": np.eye(5, dtype=bool),
    "empty-colour": np.zeros((4, 0, 3), np.uint8),
    "read-only": np.arange(600, dtype=np.uint16).reshape(20, 30) * 100,
})
MULTI_SCALE_SOURCES["read-only"].setflags(write=False)


@pytest.mark.parametrize("method", MULTI_SCALE)
@pytest.mark.parametrize("source", MULTI_SCALE_SOURCES)
@pytest.mark.parametrize("multi_scale", [1, 2])
def test_multi_scale_other_sources(enhancer, method, source, multi_scale):
    src = MULTI_SCALE_SOURCES[source]
    assert_parity(lambda: getattr(enhancer, method)(src=src, multi_scale=multi_scale),
                  quietly(lambda: getattr(reference, method)(src=src, multi_scale=multi_scale)))


@pytest.mark.parametrize("dtype,value,hard_light,image_overlay", [
    (np.uint16, 12345, 12345, 12345),
    (np.uint16, 65535, 65535, 65535),
    (np.uint8, 1, 257, 256),
    (np.uint8, 200, 51400, 51400),
])
def test_constant_images(enhancer, dtype, value, hard_light, image_overlay):
    src = np.full((12, 14), value, dtype)
    assert_same_array(enhancer.multi_scale_adaptive_hard_light_enhancement(src=src),
                      np.full(src.shape, hard_light, np.uint16))
    ours = enhancer.multi_scale_adaptive_image_overlay_enhancement(src=src)
    assert_same_array(ours, np.full(src.shape, image_overlay, np.uint16))


class RecordingCv2:
    """Stands in for the module's cv2 and records the Gaussian kernel sides."""

    def __init__(self, cv2):
        self.cv2 = cv2
        self.sides = []

    def __getattr__(self, name):
        return getattr(self.cv2, name)

    def GaussianBlur(self, src, ksize, sigma):
        self.sides.append(ksize)
        return self.cv2.GaussianBlur(src, ksize, sigma)


@pytest.mark.parametrize("method", MULTI_SCALE)
def test_kernel_sides_grow_by_the_step_and_one_overlay_is_left_unused(enhancer, lumenops, monkeypatch, method):
    recorder = RecordingCv2(lumenops.cv2)
    monkeypatch.setattr(lumenops, "cv2", recorder)
    src = corpus.load("u16-grey-photo-camera-96x128")
    result = getattr(enhancer, method)(src=src, init_ksize=10, multi_scale=3, step_ksize=6)
    assert recorder.sides == [(11, 11), (17, 17), (23, 23), (29, 29)]
    monkeypatch.undo()
    assert_same_array(result, getattr(reference, method)(src=src, init_ksize=10, multi_scale=3, step_ksize=6))


class Interrupted(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("source", ["one-pixel", "one-channel"])
@pytest.mark.parametrize("method", MULTI_SCALE)
def test_a_huge_number_of_passes_can_be_interrupted(enhancer, method, source):
    # As in the recipe, 2**31 - 1 passes take hours; a signal handler's exception stops them.
    src = {"one-pixel": np.zeros((1, 1, 3), np.uint8), "one-channel": np.zeros((2, 2, 1), np.uint8)}[source]

    def interrupt(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Interrupted):
            getattr(enhancer, method)(src=src, multi_scale=2 ** 31 - 1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
