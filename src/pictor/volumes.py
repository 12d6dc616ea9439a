"""Gaussian, median and uniform filters over volumes (any number of axes),
each equal bit for bit to scipy.ndimage's function of the same name.

The functions are declared in _volumes.pyi (keywords, accepted values,
descriptions) and computed by the private native module pictor._volumes; this
module checks what a person passes and prepares the native arguments: the
filtered axes, each axis's float64 Gaussian weights (built by NumPy exactly
as scipy.ndimage builds them) or size, and the mode.

axes= names the axes in either of two ways: letters naming every axis of the
image, as for every function of the package ("TCZYX"), of which Z, Y and X
are filtered and the others (T, C, S) taken volume by volume; or, as in
scipy.ndimage, a sequence of axis indices, filtered in that order. Without
axes every axis is filtered, as in scipy.ndimage.
"""

import functools
import inspect
import numbers
from pathlib import Path

import numpy as np

from pictor import axes as _axes
from pictor import functions as _functions
import pictor._volumes as _volumes  # registered by lumenops

STUB = Path(__file__).resolve().parent / "_volumes.pyi"
DTYPES = (np.uint8, np.uint16, np.float32)
FILTERED_LETTERS = "ZYX"
# scipy.ndimage skips the axes of a smaller sigma.
NEGLIGIBLE_SIGMA = 1e-15
# The median's native kernel takes a window over at most three axes.
MEDIAN_AXES = 3
# Gaussian kernels of more taps than this would take more memory than any volume.
LARGEST_RADIUS = 1 << 20

AXES_DOC = """
axes: None (every axis filtered, as in scipy.ndimage), letters naming every
    axis of img (T time, Z depth, C channel, Y, X, S colour samples, e.g.
    "TCZYX"): Z, Y and X are filtered, each volume of the other axes on its
    own; or a sequence of axis indices as scipy.ndimage takes them. A per-axis
    value (sigma, size, spacing) has one entry per filtered axis in that
    order."""


def check_volume(name, img):
    if not isinstance(img, np.ndarray):
        raise TypeError("{}(): img must be a NumPy array of uint8, uint16 or float32 samples, got {}".format(
            name, type(img).__name__))
    check_layout(name, img.dtype, img.shape)


def check_layout(name, dtype, shape):
    """The sample type of a volume, in memory or lazy: any shape is one."""
    if dtype not in DTYPES:
        raise TypeError("{}(): img has dtype {}; accepted: uint8, uint16 or float32".format(name, dtype))


def filtered_axes(name, img, axes):
    """The indices of the filtered axes, in the order of the passes."""
    if axes is None:
        return list(range(img.ndim))
    if isinstance(axes, str):
        if img.size:
            _axes.validated_axes(name, img.shape, axes, grey_only=False)
        elif len(axes) != img.ndim:
            raise ValueError("{}(): axes {!r} names {} axes; img has {}".format(name, axes, len(axes), img.ndim))
        return [position for position, letter in enumerate(axes) if letter in FILTERED_LETTERS]
    try:
        indices = list(axes)
    except TypeError:
        raise TypeError("{}(): axes must be None, axis letters or a sequence of axis indices, got {!r}".format(
            name, axes)) from None
    for index in indices:
        if isinstance(index, bool) or not isinstance(index, numbers.Integral) or not -img.ndim <= index < img.ndim:
            raise ValueError("{}(): axes {!r} must hold indices of img's {} axes".format(name, axes, img.ndim))
    indices = [int(index) % img.ndim for index in indices]
    if len(set(indices)) != len(indices):
        raise ValueError("{}(): axes {!r} names an axis twice".format(name, axes))
    return indices


def per_axis(name, keyword, value, count):
    """A value for each of COUNT filtered axes: VALUE repeated, or VALUE itself."""
    if isinstance(value, (list, tuple)):
        if len(value) != count:
            raise ValueError("{}(): {} has {} values; one for each of the {} filtered axes expected".format(
                name, keyword, len(value), count))
        return list(value)
    return [value] * count


def gaussian_weights(sigma, truncate):
    """scipy.ndimage.gaussian_filter1d's weights for sigma and truncate, as it builds them."""
    radius = int(truncate * float(sigma) + 0.5)
    if radius > LARGEST_RADIUS:
        raise ValueError("gaussian_filter(): sigma {} and truncate {} make a kernel of {} taps; at most {}".format(
            sigma, truncate, 2 * radius + 1, 2 * LARGEST_RADIUS + 1))
    x = np.arange(-radius, radius + 1)
    phi = np.exp(-0.5 / (sigma * sigma) * x ** 2)
    return np.ascontiguousarray((phi / phi.sum())[::-1])


def native_layout(img):
    """img as the native kernels take it: C-contiguous in native byte order."""
    return np.ascontiguousarray(img, dtype=img.dtype.newbyteorder("="))


def separable(img, axes, parameters, mode, native):
    src = native_layout(img)
    out = np.empty_like(src)
    if src.size == 0:
        return out
    native(src, out, tuple(axes), tuple(parameters), (mode,) * len(axes))
    return out


def gaussian_filter(img, sigma, mode, truncate, spacing, axes, name="gaussian_filter"):
    check_volume(name, img)
    indices = filtered_axes(name, img, axes)
    sigmas = per_axis(name, "sigma", sigma, len(indices))
    spacings = per_axis(name, "spacing", 1 if spacing is None else spacing, len(indices))
    passes = [(axis, s / d if spacing is not None else s) for axis, s, d in zip(indices, sigmas, spacings)]
    passes = [(axis, s) for axis, s in passes if s > NEGLIGIBLE_SIGMA]
    weights = [gaussian_weights(s, truncate) for _, s in passes]
    return separable(img, [axis for axis, _ in passes], weights, mode, _volumes.gaussian_filter)


def uniform_filter(img, size, mode, axes, name="uniform_filter"):
    check_volume(name, img)
    indices = filtered_axes(name, img, axes)
    passes = [(axis, int(s)) for axis, s in zip(indices, per_axis(name, "size", size, len(indices))) if s > 1]
    return separable(img, [axis for axis, _ in passes], [s for _, s in passes], mode, _volumes.uniform_filter)


def median_filter(img, size, mode, axes, name="median_filter"):
    check_volume(name, img)
    indices = filtered_axes(name, img, axes)
    # scipy.ndimage's median lays its box's sizes along the filtered axes in
    # ascending order, whatever order axes= names them in.
    sizes = per_axis(name, "size", size, len(indices))
    window = {axis: int(s) for axis, s in zip(sorted(indices), sizes) if s > 1}
    if len(window) > MEDIAN_AXES:
        raise ValueError("{}(): a window wider than 1 along {} axes; at most {}".format(
            name, len(window), MEDIAN_AXES))
    if img.size == 0:
        return np.empty_like(native_layout(img))
    kept = sorted(window)
    order = [axis for axis in range(img.ndim) if axis not in window] + kept
    moved = native_layout(np.transpose(img, order))
    volume_shape = (1,) * (MEDIAN_AXES - len(kept)) + moved.shape[moved.ndim - len(kept):]
    volumes = moved.reshape((-1,) + volume_shape)
    out = np.empty_like(volumes)
    box = (1,) * (MEDIAN_AXES - len(kept)) + tuple(window[axis] for axis in kept)
    _volumes.median_filter(volumes, out, box, (mode,) * MEDIAN_AXES)
    return np.ascontiguousarray(np.transpose(out.reshape(moved.shape), np.argsort(order)))


IMPLEMENTATIONS = {"gaussian_filter": gaussian_filter, "median_filter": median_filter,
                   "uniform_filter": uniform_filter}


def checked_values(name, keywords, args, given):
    """{keyword: value} of a call with ARGS (the first keyword's value, at
    most) and the keywords GIVEN, every value checked, defaults filled in."""
    if len(args) > 1:
        raise TypeError("{}() takes the image and {} positionally; name the other keywords".format(
            name, next(iter(keywords))))
    given = dict(given, **dict(zip(keywords, args)))
    _functions.check_keywords(name, keywords, given)
    missing = [k.name for k in keywords.values() if k.default is inspect.Parameter.empty and k.name not in given]
    if missing:
        raise TypeError("{}() missing required argument: '{}'".format(name, missing[0]))
    return {k.name: given.get(k.name, k.default) for k in keywords.values()}


def halo(name, img, axes, values):
    """{axis: samples} each filtered axis's result reads beyond a sample on either side."""
    indices = filtered_axes(name, img, axes)
    if name == "gaussian_filter":
        sigmas = per_axis(name, "sigma", values["sigma"], len(indices))
        spacing = values["spacing"]
        spacings = per_axis(name, "spacing", 1 if spacing is None else spacing, len(indices))
        sigmas = [s / d if spacing is not None else s for s, d in zip(sigmas, spacings)]
        return {axis: int(values["truncate"] * float(s) + 0.5) if s > NEGLIGIBLE_SIGMA else 0
                for axis, s in zip(indices, sigmas)}
    ordered = sorted(indices) if name == "median_filter" else indices  # as median_filter lays its box
    return {axis: int(s) // 2 for axis, s in zip(ordered, per_axis(name, "size", values["size"], len(indices)))}


def keyword_call(keyword):
    """'name = default', or 'name (required)'."""
    if keyword.default is inspect.Parameter.empty:
        return "{} (required)".format(keyword.name)
    return "{} = {!r}".format(keyword.name, keyword.default)


def make_function(name, doc, keywords):
    implementation = IMPLEMENTATIONS[name]

    def function(img, /, *args, axes=None, **given):
        return implementation(img, axes=axes, **checked_values(name, keywords, args, given))

    parameters = [inspect.Parameter("img", inspect.Parameter.POSITIONAL_ONLY)]
    first, *rest = keywords.values()
    parameters.append(inspect.Parameter(first.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=first.default))
    parameters += [inspect.Parameter(k.name, inspect.Parameter.KEYWORD_ONLY, default=k.default) for k in rest]
    parameters.append(inspect.Parameter("axes", inspect.Parameter.KEYWORD_ONLY, default=None))
    function.__signature__ = inspect.Signature(parameters)
    function.__name__ = function.__qualname__ = name
    function.__module__ = "pictor"
    lines = [doc, "", "Keywords:"]
    lines += ["    {}: {}".format(keyword_call(k), k.describe()) for k in keywords.values()]
    function.__doc__ = "\n".join(lines) + "\n" + AXES_DOC
    function.keywords = keywords
    function.own_words = "\n".join([name, doc] + list(keywords))  # what `pictor list WORD` searches
    function.tool_method = None
    function.native = "pictor._volumes.{}".format(name)
    function.grey_only = function.eight_bit_copy = function.full_depth = False
    function.mask = function.counted = False
    function.gives_image = True
    function.description = doc
    function.check_layout = functools.partial(check_layout, name)
    return function


@functools.lru_cache(maxsize=None)
def volume_functions():
    """{name: checked function} of the volume filters, from their declarations."""
    return {name: make_function(name, declared.doc, declared.keywords)
            for name, declared in _functions.stub_functions(STUB).items()}
