"""Deterministic image corpus shared by the parity tests.

Every image has a stable name (used as the pytest id) and is rebuilt the same
way on every run: synthetic patterns come from a seeded generator, photographs
are the public-domain / CC0 samples shipped inside the scikit-image wheel,
shrunk so that a parity sweep over the whole corpus stays quick.

    corpus(kinds=("synthetic",), dtypes=(np.uint16,), layouts=("colour",))
        yields (name, array) pairs, each array a fresh copy;
    load(name)
        returns a fresh copy of one image;
    names(...) / corpus_params(...)
        the same filters, for ``pytest.mark.parametrize`` (ids = names).

Kinds: "synthetic" (patterns of modest size), "tiny" (1x1, 1xN, Nx1, 3x2),
"photo" (real photographs). Layouts: "grey" (HxW) and "colour" (HxWx3).
"""
import functools
import importlib.util
import os
import zlib

import cv2
import numpy as np
import pytest

SEED = 20240607
KINDS = ("synthetic", "tiny", "photo")
LAYOUTS = ("grey", "colour")

# Photographs whose licence allows any use (CC0 or public domain), with the
# shape they are cut down to: (file, read as grey?, (width, height)).
PHOTOS = (
    ("camera.png", True, (128, 96)),
    ("astronaut.png", True, (96, 128)),
    ("chelsea.png", False, (128, 96)),
    ("coffee.png", False, (131, 97)),
)

# 16-bit photographs get noise of this amplitude around v * 257, so that their
# samples are mostly not multiples of 257 and the working copy truncates.
PHOTO_NOISE_U16 = 128


class _Entry:
    __slots__ = ("name", "kind", "array")

    def __init__(self, name, kind, array):
        self.name = name
        self.kind = kind
        self.array = array
        array.setflags(write=False)

    @property
    def layout(self):
        return "colour" if self.array.ndim == 3 else "grey"


def _rng(tag):
    # One generator per image, so adding an image never changes the others.
    return np.random.default_rng([SEED, zlib.crc32(tag.encode())])


def _full_scale(dtype):
    return int(np.iinfo(dtype).max)


def _tag(dtype, layout, what, shape):
    depth = "u8" if dtype == np.uint8 else "u16"
    size = "x".join(str(n) for n in shape[:2])
    return "{}-{}-{}-{}".format(depth, layout, what, size)


def _as_colour(grey_stack):
    return np.ascontiguousarray(np.stack(grey_stack, axis=-1))


def _random(dtype, shape, tag):
    return _rng(tag).integers(0, _full_scale(dtype), size=shape, dtype=dtype,
                              endpoint=True)


def _horizontal_gradient(dtype, height, width):
    row = np.linspace(0, _full_scale(dtype), width).round().astype(dtype)
    return np.repeat(row[None, :], height, axis=0)


def _vertical_gradient(dtype, height, width):
    return np.ascontiguousarray(_horizontal_gradient(dtype, width, height).T)


def _step(dtype, height, width, low, high):
    img = np.full((height, width), low, dtype=dtype)
    img[:, width // 2:] = high
    return img


def _bimodal(dtype, height, width, tag, centres):
    rng = _rng(tag)
    which = rng.random((height, width)) < 0.5
    spread = 0.04 * _full_scale(dtype)
    values = np.where(which, centres[0], centres[1]) + rng.normal(0, spread, (height, width))
    return np.clip(values.round(), 0, _full_scale(dtype)).astype(dtype)


def _checkerboard(dtype, height, width, cell, low, high):
    rows, cols = np.indices((height, width))
    return np.where(((rows // cell) + (cols // cell)) % 2 == 0, low, high).astype(dtype)


def _every_u16_value():
    # 256 x 256 holds each 16-bit value exactly once, in order.
    return np.arange(65536, dtype=np.uint32).astype(np.uint16).reshape(256, 256)


def _synthetic_entries():
    u8, u16 = np.uint8, np.uint16
    grey = [
        (u8, "random", _random(u8, (57, 101), "u8 grey random")),
        (u8, "const0", np.zeros((16, 20), u8)),
        (u8, "const255", np.full((16, 20), 255, u8)),
        (u8, "hgrad", _horizontal_gradient(u8, 24, 256)),
        (u8, "vgrad", _vertical_gradient(u8, 101, 33)),
        (u8, "step", _step(u8, 40, 41, 20, 230)),
        (u8, "bimodal", _bimodal(u8, 64, 80, "u8 bimodal", (60, 190))),
        (u8, "checker", _checkerboard(u8, 33, 35, 4, 0, 255)),
        (u16, "random", _random(u16, (57, 101), "u16 grey random")),
        (u16, "const0", np.zeros((16, 20), u16)),
        (u16, "const300", np.full((16, 20), 300, u16)),
        (u16, "const65534", np.full((16, 20), 65534, u16)),
        (u16, "const65535", np.full((16, 20), 65535, u16)),
        (u16, "every-value", _every_u16_value()),
        (u16, "hgrad", _horizontal_gradient(u16, 24, 301)),
        (u16, "step", _step(u16, 40, 41, 1000, 40000)),
        (u16, "bimodal", _bimodal(u16, 64, 80, "u16 bimodal", (15000, 50000))),
        (u16, "checker", _checkerboard(u16, 33, 35, 5, 256, 65534)),
    ]
    colour = [
        (u8, "random", _random(u8, (57, 101, 3), "u8 colour random")),
        (u8, "gradients", _as_colour([_horizontal_gradient(u8, 45, 67),
                                      _vertical_gradient(u8, 45, 67),
                                      _checkerboard(u8, 45, 67, 3, 40, 200)])),
        (u16, "random", _random(u16, (57, 101, 3), "u16 colour random")),
        (u16, "gradients", _as_colour([_horizontal_gradient(u16, 45, 67),
                                       _step(u16, 45, 67, 257, 65000),
                                       _bimodal(u16, 45, 67, "u16 colour bimodal",
                                                (9000, 47000))])),
    ]
    for dtype, what, img in grey:
        yield _Entry(_tag(dtype, "grey", what, img.shape), "synthetic", img)
    for dtype, what, img in colour:
        yield _Entry(_tag(dtype, "colour", what, img.shape), "synthetic", img)


def _tiny_entries():
    u8, u16 = np.uint8, np.uint16
    tiny = [
        (u8, "grey", np.array([[200]], u8)),
        (u8, "grey", _random(u8, (1, 17), "u8 1x17")),
        (u8, "grey", _random(u8, (13, 1), "u8 13x1")),
        (u8, "grey", _random(u8, (3, 2), "u8 3x2")),
        (u8, "colour", np.array([[[10, 128, 255]]], u8)),
        (u8, "colour", _random(u8, (3, 2, 3), "u8 3x2x3")),
        (u16, "grey", np.array([[256]], u16)),
        (u16, "grey", _random(u16, (1, 17), "u16 1x17")),
        (u16, "grey", _random(u16, (2, 3), "u16 2x3")),
        (u16, "colour", np.array([[[257, 1000, 65534]]], u16)),
    ]
    for dtype, layout, img in tiny:
        yield _Entry(_tag(dtype, layout, "tiny", img.shape), "tiny", img)


def _skimage_data_dir():
    spec = importlib.util.find_spec("skimage")
    if spec is None:
        raise RuntimeError("the test corpus needs scikit-image (its bundled sample photographs)")
    return os.path.join(spec.submodule_search_locations[0], "data")


def _read_photo(path, as_grey, size):
    img = cv2.imread(path, cv2.IMREAD_GRAYSCALE if as_grey else cv2.IMREAD_COLOR)
    if img is None:
        raise RuntimeError("cannot read sample photograph " + path)
    return np.ascontiguousarray(cv2.resize(img, size, interpolation=cv2.INTER_AREA))


def _to_u16_with_noise(img, tag):
    noise = _rng(tag).integers(-PHOTO_NOISE_U16, PHOTO_NOISE_U16, size=img.shape,
                               endpoint=True)
    return np.clip(img.astype(np.int64) * 257 + noise, 0, 65535).astype(np.uint16)


def _photo_entries():
    data_dir = _skimage_data_dir()
    for file_name, as_grey, size in PHOTOS:
        img = _read_photo(os.path.join(data_dir, file_name), as_grey, size)
        layout = "grey" if as_grey else "colour"
        what = "photo-" + os.path.splitext(file_name)[0]
        yield _Entry(_tag(np.uint8, layout, what, img.shape), "photo", img)
        wide = _to_u16_with_noise(img, file_name)
        yield _Entry(_tag(np.uint16, layout, what, wide.shape), "photo", wide)


@functools.lru_cache(maxsize=None)
def _entries():
    entries = list(_synthetic_entries()) + list(_tiny_entries()) + list(_photo_entries())
    seen = set()
    for entry in entries:
        if entry.name in seen:
            raise RuntimeError("duplicate corpus name " + entry.name)
        seen.add(entry.name)
    return tuple(entries)


def _selected(kinds=None, dtypes=None, layouts=None):
    wanted_dtypes = None if dtypes is None else {np.dtype(d) for d in dtypes}
    for entry in _entries():
        if kinds is not None and entry.kind not in kinds:
            continue
        if wanted_dtypes is not None and entry.array.dtype not in wanted_dtypes:
            continue
        if layouts is not None and entry.layout not in layouts:
            continue
        yield entry


def corpus(kinds=None, dtypes=None, layouts=None):
    """Yield (name, fresh writable copy) for every image matching the filters."""
    for entry in _selected(kinds, dtypes, layouts):
        yield entry.name, entry.array.copy()


def names(kinds=None, dtypes=None, layouts=None):
    return [entry.name for entry in _selected(kinds, dtypes, layouts)]


def load(name):
    """A fresh writable copy of one corpus image."""
    for entry in _entries():
        if entry.name == name:
            return entry.array.copy()
    raise KeyError(name)


def corpus_params(kinds=None, dtypes=None, layouts=None):
    """Image names as pytest params; the test loads the array with ``load``.

    Parametrising by name keeps the arrays out of pytest's shared parameter
    objects, so a test that (wrongly) writes into its input cannot spoil the
    next one.
    """
    return [pytest.param(name, id=name) for name in names(kinds, dtypes, layouts)]
