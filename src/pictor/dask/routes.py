"""How each method of pictor.dask runs on chunks: the graph of its route
(pictor.stream.methods says which route, and with what halo; the package
documentation names the routes)."""

import math

import numpy as np

import dask
import dask.array as da

from pictor import _lookup
from pictor.stream.canny import stripe_seeds
import pictor._chunked as _chunked  # registered by lumenops
import pictor._full_depth as _full_depth  # registered by lumenops
import pictor._segmentation as _segmentation  # registered by lumenops
from pictor.stream import labels
from pictor.stream.methods import (FULL_DEPTH_METHODS, HALOS, METHODS, TOOL_OF_FULL_DEPTH,
                                 _OneBlock, _defaults, _integer, _odd, _real,
                                   canny_cells_arguments, level_table_route, order_positions,
                                   PYRAMID_ALIGN, PYRAMID_REACH, pyramid_halo)
from pictor.stream.tasks import (
    _call,
    _call_of_shape,
    _call_with_maximum,
    NUMPY_SUM_RUN,
    TRANSFER_RUNS_PER_CHUNK,
    _transfer_statistics,
    _transfer_norm_sums_block,
    _mean_in_numpy_order,
    _transfer_factor,
    _transfer_apply_block,
    _block_level_counts,
    _self_blend_block,
    _levels_at,
    _auto_level_block,
    CANNY_HALO,
    _canny_cells_block,
    _canny_edges_block,
    _fuse_details_block,
    _fuse_bounds,
    _fuse_block,
    _rows,
    _mended_stripe,
)

# Halos of up to this many rows are mended at the cuts between stripes (6 halos
# of rows computed again per cut) rather than assembled onto each stripe
# (map_overlap: a copy of every stripe); wider ones are cheaper assembled.
NARROW_HALO = 8

# Samples per row stripe of a NumPy input: large enough that the halo and the
# per-task cost stay small, small enough for a few stripes per core.
STRIPE_SAMPLES = 1 << 22


# --- planning ---------------------------------------------------------------------------------

def as_dask(src):
    if isinstance(src, da.Array):
        return src
    array = np.asarray(src)
    if array.ndim < 2 or array.size == 0:
        return da.from_array(array, chunks=-1, asarray=False)
    rows = max(1, STRIPE_SAMPLES // max(1, int(np.prod(array.shape[1:]))))
    return da.from_array(array, chunks=(rows,) + array.shape[1:], asarray=False)


def _is_plain_image(x):
    if x.dtype not in (np.uint8, np.uint16) or x.size == 0 or any(math.isnan(n) for n in x.shape):
        return False
    return x.ndim == 2 or (x.ndim == 3 and x.shape[2] == 3)


def _result_dtype(x, kind):
    return {"u16": np.dtype(np.uint16), "u8": np.dtype(np.uint8), "i32": np.dtype(np.int32),
            "level": np.dtype(np.float64)}.get(kind, x.dtype)


def _meta(x, dtype, ndim=None):
    return np.empty((0,) * (x.ndim if ndim is None else ndim), dtype=dtype)


def _aligned_stripes(x, halo, align):
    """Stripes whose first rows, and halo, are multiples of `align`: each level
    of a pyramid built on a stripe then lies on the rows of the whole image's."""
    height = x.shape[0]
    rows = -(-max(max(x.chunks[0]), halo, 1) // align) * align
    if rows >= height:
        return None
    chunks = [rows] * (height // rows)
    remainder = height - sum(chunks)
    if remainder >= halo:
        chunks.append(remainder)
    else:
        chunks[-1] += remainder  # a last stripe lower than the halo joins the one above
    if len(chunks) < 2:
        return None
    return x.rechunk((tuple(chunks),) + tuple((n,) for n in x.shape[1:]))


def _stripes(x, halo):
    """x as full-width row stripes, as high as its highest row chunk (the
    caller's request) and at least `halo` rows; None when that is one stripe."""
    height = x.shape[0]
    rows = max(max(x.chunks[0]), halo, 1)
    if rows >= height:
        return None
    count = height // rows
    base, extra = divmod(height, count)
    chunks = (tuple(base + 1 if i < extra else base for i in range(count)),) + tuple((n,) for n in x.shape[1:])
    return x.rechunk(chunks)


def _one_block_shape(method_name, x, keywords):
    """The whole call's result shape, from the input's shape alone (nan where unknown)."""
    unknown = (float("nan"),) * x.ndim
    try:
        if method_name == "GeometricTransformation.rotate":
            import cv2

            height, width = x.shape[:2]
            matrix = cv2.getRotationMatrix2D((width // 2, height // 2), keywords["angle"], keywords["scale"])
            cos, sin = np.abs(matrix[0, 0]), np.abs(matrix[0, 1])
            return (int(height * cos + width * sin), int(height * sin + width * cos)) + x.shape[2:]
        if method_name in ("GeometricTransformation.resize", "DeepLearning.make_data"):
            height, width = x.shape
            scale = _integer(keywords["scale"])
            return (height // scale, width // scale)
        if method_name in ("DeepLearning.super_resolution", "FeatureDetection.canny_edge"):
            return x.shape[:2]
    except Exception:
        return unknown
    return x.shape


def _one_block(method_name, x, keywords, dtype):
    # The shape follows from the keywords the call will see, defaults included;
    # the call itself gets only the keywords given, as the whole call does.
    shape = _one_block_shape(TOOL_OF_FULL_DEPTH.get(method_name, method_name), x,
                             dict(_defaults(method_name), **keywords))
    whole = x.rechunk(x.shape if _is_known(x.shape) else -1) if x.ndim else x
    value = dask.delayed(_call_of_shape, pure=True)(whole, method_name, keywords, shape)
    return da.from_delayed(value, shape=shape, dtype=dtype, meta=np.empty((0,) * len(shape), dtype=dtype))


def _is_known(shape):
    return not any(isinstance(n, float) and math.isnan(n) for n in shape)


def _pointwise(method_name, x, keywords, dtype, reread=None):
    return x.map_blocks(_call, method_name, keywords, dtype=dtype, meta=_meta(x, dtype))


def _neighbourhood(method_name, x, keywords, dtype, reread=None):
    halo = HALOS[method_name](keywords)
    narrow = halo <= NARROW_HALO
    stripes = _stripes(x, 2 * halo if narrow else halo)
    if stripes is None:  # one stripe: the whole call is the same thing
        return _pointwise(method_name, x.rechunk({0: -1, 1: -1}), keywords, dtype)
    if halo == 0:
        return _pointwise(method_name, stripes, keywords, dtype)
    if narrow:
        return _stripes_mended_at_cuts(method_name, stripes, halo, keywords, dtype)
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = halo
    return da.map_overlap(_call, stripes, depth=depth, boundary="none", trim=True, dtype=dtype,
                          meta=_meta(x, dtype), method_name=method_name, keywords=keywords)


def _stripes_mended_at_cuts(method_name, stripes, halo, keywords, dtype):
    """The method on each stripe as it is, with the rows within `halo` of a cut
    taken from the method on the three halos of rows around them."""
    blocks = stripes.to_delayed().ravel()
    last = len(blocks) - 1
    pieces = []
    for index, (block, height) in enumerate(zip(blocks, stripes.chunks[0])):
        above = dask.delayed(_rows, pure=True)(blocks[index - 1], -halo, None) if index > 0 else None
        below = dask.delayed(_rows, pure=True)(blocks[index + 1], 0, halo) if index < last else None
        mended = dask.delayed(_mended_stripe, pure=True)(block, above, below, halo, method_name, keywords)
        pieces.append(da.from_delayed(mended, shape=(height,) + stripes.shape[1:], dtype=dtype,
                                      meta=_meta(stripes, dtype)))
    return da.concatenate(pieces)


def _reading_for_statistic(x, reread):
    """The chunks that a statistic reads: a second reading of the source when the
    caller can give one, so that the pass that uses the statistic reads them
    again instead of all of them being held in memory until it is known."""
    if reread is None:
        return x
    again = reread()
    if again.ndim == 3:
        again = again.rechunk({2: -1})
    return again


def _pyramid(method_name, x, keywords, dtype, reread=None):
    halo = pyramid_halo(keywords, PYRAMID_ALIGN, PYRAMID_REACH)
    stripes = _aligned_stripes(x, halo, PYRAMID_ALIGN)
    if stripes is None:
        return _pointwise(method_name, x.rechunk({0: -1, 1: -1}), keywords, dtype)
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = halo
    return da.map_overlap(_call, stripes, depth=depth, boundary="none", trim=True, dtype=dtype,
                          meta=_meta(x, dtype), method_name=method_name, keywords=keywords)


# multi_scale_fuse_enhancement: five pyrDown levels, so stripes and halo are
# aligned to 32 rows; a sample depends on fewer than 192 rows around it
# besides the larger blur's half kernel. Its two coarsest detail levels are
# truncated at their mean or maximum over the whole image: each stripe's
# levels (its own rows of them) are computed first and reduced, the mean as
# np.mean sums (runs of 8192 consecutive samples summed pairwise, the runs'
# sums added in order, in the level's own type); then each stripe is
# enhanced with the two bounds given.
FUSE_REACH = 192
FUSE_STRIPE_HALOS = 4
FUSE_LEVEL_SCALES = (8, 16)  # levels 3 and 4


def _level_bound(flat, to_mean):
    if not to_mean:
        return flat.max()
    flat = flat.rechunk(NUMPY_SUM_RUN * TRANSFER_RUNS_PER_CHUNK)
    runs = (tuple(-(-size // NUMPY_SUM_RUN) for size in flat.chunks[0]),)
    run_sums = flat.map_blocks(_chunked.run_sums, chunks=runs, dtype=flat.dtype, meta=np.empty((0,), flat.dtype))
    return dask.delayed(_mean_in_numpy_order, pure=True)(run_sums, flat.size)


def _fuse(method_name, x, keywords, dtype, reread=None):
    largest = max(abs(_odd(keywords["min_ksize"])), abs(_odd(keywords["max_ksize"])))
    halo = -(-(largest // 2 + FUSE_REACH) // PYRAMID_ALIGN) * PYRAMID_ALIGN
    mode = _real(keywords["mode_truncation"])
    # Stripes of at least FUSE_STRIPE_HALOS halos keep the rows computed twice few.
    stripes = _aligned_stripes(x.rechunk({0: max(max(x.chunks[0]), FUSE_STRIPE_HALOS * halo)}), halo, PYRAMID_ALIGN)
    if stripes is None:
        return _pointwise(method_name, x.rechunk({0: -1, 1: -1}), keywords, dtype)
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = halo
    if mode != 0 and mode != 1:  # no truncation: no statistic
        return da.map_overlap(_call, stripes, depth=depth, boundary="none", trim=True, dtype=dtype,
                              meta=_meta(x, dtype), method_name=method_name, keywords=keywords)
    try:  # the levels' element type (float32, or float64 where a keyword widens it)
        sample = np.zeros((64, 64) + x.shape[2:], x.dtype)
        level_type = _chunked.fuse_coarse_details(_lookup.method(method_name), dict(keywords, src=sample))[0].dtype
    except Exception:
        raise _OneBlock  # the whole call's error, raised where it is raised
    source = _reading_for_statistic(x, reread).rechunk(stripes.chunks)
    blocks = da.overlap.overlap(source, depth=depth, boundary="none").to_delayed().ravel()
    tail = int(np.prod(x.shape[2:]))
    pieces = ([], [])
    start = 0
    for index, (block, height) in enumerate(zip(blocks, stripes.chunks[0])):
        top = 0 if index == 0 else halo
        end = start + height
        rows = [(top // scale, -(-end // scale) - start // scale) for scale in FUSE_LEVEL_SCALES]
        details = dask.delayed(_fuse_details_block, pure=True, nout=2)(block, rows, method_name, keywords)
        for level, (scale, (_, count)) in enumerate(zip(FUSE_LEVEL_SCALES, rows)):
            width = -(-x.shape[1] // scale)
            pieces[level].append(da.from_delayed(details[level], shape=(count * width * tail,), dtype=level_type,
                                                 meta=np.empty((0,), level_type)))
        start = end
    to_mean = mode == 0
    levels = [_level_bound(da.concatenate(level_pieces), to_mean) for level_pieces in pieces]
    bounds = dask.delayed(_fuse_bounds, pure=True)(*levels)
    overlapped = da.overlap.overlap(stripes, depth=depth, boundary="none")
    fused = overlapped.map_blocks(_fuse_block, bounds, method_name, keywords, dtype=dtype, meta=_meta(x, dtype))
    return da.overlap.trim_internal(fused, {axis: d for axis, d in depth.items()}, boundary="none")


def _with_maximum(method_name, x, keywords, dtype, reread=None):
    if method_name.startswith("ImageFusion."):
        screen = method_name == "ImageFusion.screen_fusion"
        return x.map_blocks(_self_blend_block, _reading_for_statistic(x, reread).max(), screen, dtype=dtype, meta=_meta(x, dtype))
    return x.map_blocks(_call_with_maximum, _reading_for_statistic(x, reread).max(), method_name, keywords, dtype=dtype, meta=_meta(x, dtype))


def _order_statistics(method_name, x, keywords, dtype, reread=None):
    positions = order_positions(x.size, keywords)
    source = _reading_for_statistic(x, reread)
    levels = 1 << (8 * x.dtype.itemsize)
    counts = source.map_blocks(_block_level_counts, chunks=tuple((1,) * n for n in x.numblocks[:2]) + ((levels,),),
                               new_axis=None if x.ndim == 3 else 2, dtype=np.int64, meta=_meta(x, np.int64, 3))
    total_counts = counts.sum(axis=(0, 1), dtype=np.int64)  # integer counts: exact in any order
    limits = dask.delayed(_levels_at, pure=True)(total_counts, positions)
    return x.map_blocks(_auto_level_block, limits, dtype=dtype, meta=_meta(x, dtype))


def _canny(method_name, x, keywords, dtype, reread=None):
    low, high, full_depth = canny_cells_arguments(method_name, x.dtype, keywords)
    stripes = _stripes(x, CANNY_HALO)
    if stripes is None:
        return _one_block(method_name, x, keywords, dtype)
    if full_depth:  # the thresholds are meant on the whole image's range
        full_depth = dask.delayed(_full_depth.level_range, pure=True)(_total_level_counts(x, reread))
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = CANNY_HALO
    cells = da.map_overlap(_canny_cells_block, stripes, depth=depth, boundary="none", trim=True, dtype=np.uint8,
                           meta=_meta(x, np.uint8, 2), drop_axis=[2] if x.ndim == 3 else [], low=low, high=high,
                           full_depth=full_depth)
    # Each stripe's cells serve its summary and its edges: one task each, which
    # the graph's optimisation would otherwise fuse into both, computing them twice.
    blocks = cells.to_delayed().ravel()
    summaries = [dask.delayed(_chunked.canny_stripe_summary, pure=True)(block) for block in blocks]
    seeds = dask.delayed(stripe_seeds, pure=True)(summaries)
    edges = dask.delayed(_canny_edges_block, pure=True)
    return da.concatenate([da.from_delayed(edges(block, seeds, index), shape=(height,) + x.shape[1:2], dtype=dtype,
                                           meta=_meta(x, dtype, 2))
                           for index, (block, height) in enumerate(zip(blocks, cells.chunks[0]))])


def _total_level_counts(x, reread=None, count_block=_block_level_counts, levels=1 << 16):
    """The whole image's level counts, summed over its chunks."""
    source = _reading_for_statistic(x, reread)
    counts = source.map_blocks(count_block, chunks=tuple((1,) * n for n in x.numblocks[:2]) + ((levels,),),
                               new_axis=None if x.ndim == 3 else 2, dtype=np.int64, meta=_meta(x, np.int64, 3))
    return counts.sum(axis=(0, 1), dtype=np.int64)  # integer counts: exact in any order


def _level_counts_table(method_name, x, keywords, dtype, reread=None):
    """A statistic of the level counts of the whole image: the method's table
    of them, then every chunk mapped through it."""
    count_block, levels, make_table, arguments, map_block = level_table_route(method_name, x.ndim, keywords)
    table = dask.delayed(make_table, pure=True)(_total_level_counts(x, reread, count_block, levels), *arguments)
    return x.map_blocks(map_block, table, dtype=dtype, meta=_meta(x, dtype))


def _threshold(method_name, x, keywords, dtype, reread=None):
    """The method's table of the whole image's level counts, then every chunk mapped through it."""
    levels = 1 << (8 * x.dtype.itemsize)
    table = dask.delayed(labels.threshold_table, pure=True)(
        _total_level_counts(x, reread, levels=levels), keywords["method"])
    return x.map_blocks(labels.mapped_block, table, dtype=dtype, meta=_meta(x, dtype))


def _threshold_level(method_name, x, keywords, dtype, reread=None):
    """The level of the whole image's counts, a delayed float."""
    levels = 1 << (8 * x.dtype.itemsize)
    counts = _total_level_counts(x, reread, levels=levels)
    return dask.delayed(_segmentation.threshold_level_of_counts, pure=True)(counts, keywords["method"])


def _labels(method_name, x, keywords, dtype, reread=None):
    """Full-width row stripes labelled on their own (one task each, serving
    both the seams and the stripe's result), joined at their seams, each
    renumbered in scan order."""
    connectivity = keywords["connectivity"]
    stripes = _stripes(x, 1)
    stripes = x.rechunk({0: -1, 1: -1}) if stripes is None else stripes
    blocks = stripes.to_delayed().ravel()
    summaries = [dask.delayed(labels.stripe_summary, pure=True)(block, connectivity) for block in blocks]
    joined = dask.delayed(labels.joined_stripes, pure=True)(summaries, connectivity)
    renumbered = dask.delayed(labels.renumbered_stripe, pure=True)
    return da.concatenate([da.from_delayed(renumbered(block, joined, index, connectivity), shape=(height, x.shape[1]),
                                           dtype=dtype, meta=_meta(x, dtype, 2))
                           for index, (block, height) in enumerate(zip(blocks, stripes.chunks[0]))])


def _float_mean(method_name, x, keywords, dtype, reread=None):
    ratio = keywords["ratio"]
    if isinstance(ratio, bool) or not isinstance(ratio, (int, float)):
        raise _OneBlock  # NumPy scalars of other types change the arithmetic's types
    full_scale = 65535.0 if x.dtype == np.uint16 else 255.0
    statistics, mean_norm = _transfer_plan(x, ratio * full_scale, reread)
    factor = dask.delayed(_transfer_factor, pure=True)(mean_norm, statistics)
    return x.map_blocks(_transfer_apply_block, statistics, factor, full_scale, dtype=dtype, meta=_meta(x, dtype))


def _transfer_plan(x, target, reread=None):
    """brightness_transfer's statistics (mean, target, extremes) and
    np.mean(transfer_norm), as delayed values."""
    first = _reading_for_statistic(x, reread)
    statistics = dask.delayed(_transfer_statistics, pure=True)(
        first.sum(dtype=np.int64), x.size, first.min(), first.max(), target)  # integer sum: exact
    flat = _reading_for_statistic(x, reread).reshape(-1).rechunk(NUMPY_SUM_RUN * TRANSFER_RUNS_PER_CHUNK)
    runs = (tuple(-(-size // NUMPY_SUM_RUN) for size in flat.chunks[0]),)
    run_sums = flat.map_blocks(_transfer_norm_sums_block, statistics, chunks=runs, dtype=np.float64,
                               meta=np.empty((0,), np.float64))
    return statistics, dask.delayed(_mean_in_numpy_order, pure=True)(run_sums, x.size)


def _flip(method_name, x, keywords, dtype, reread=None):
    mode = _integer(keywords["mode"])
    mapped = _pointwise(method_name, x, keywords, dtype)
    rows = slice(None, None, -1) if mode <= 0 else slice(None)
    columns = slice(None, None, -1) if mode != 0 else slice(None)
    return mapped.blocks[(rows, columns) + (slice(None),) * (x.ndim - 2)]


def _crop(method_name, x, keywords, dtype, reread=None):
    start_x, start_y = _integer(keywords["start_x"]), _integer(keywords["start_y"])
    width, height = _integer(keywords["width"]), _integer(keywords["height"])
    return x[start_y:start_y + height, start_x:start_x + width]


ROUTES = {
    "level counts": _threshold,
    "level": _threshold_level,
    "labels": _labels,
    "pointwise": _pointwise,
    "neighbourhood": _neighbourhood,
    "maximum": _with_maximum,
    "order statistics": _order_statistics,
    "components": _canny,
    "pyramid": _pyramid,
    "fuse": _fuse,
    "working-level table": _level_counts_table,
    "level table": _level_counts_table,
    "float mean": _float_mean,
    "flip": _flip,
    "crop": _crop,
}


def plan(method_name, src, keywords, reread=None):
    route_and_kind = METHODS.get(method_name) or FULL_DEPTH_METHODS.get(method_name)
    if route_and_kind is None:
        raise ValueError("no chunked method {!r}; expected a function name or 'Class.method' of {}".format(
            method_name, ", ".join(sorted(METHODS))))
    x = as_dask(src)
    route, kind = route_and_kind
    merged = dict(_defaults(method_name))
    merged.update(keywords)
    plain = _is_plain_image(x.astype(np.uint8) if route == "labels" and x.dtype == np.bool_ else x)
    if route != "one block" and plain:
        if x.ndim == 3:
            x = x.rechunk({2: -1})
        try:
            return route, ROUTES[route](method_name, x, merged, _result_dtype(x, kind), reread)
        except _OneBlock:
            pass
    return "one block", _one_block(method_name, x, keywords, _result_dtype(x, kind))
