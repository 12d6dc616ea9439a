"""The graph form of every route of the catalogue (pictor.chunks): how a
call's route becomes a dask graph. The package documentation names the
routes."""

import functools
import math

import numpy as np

import dask
import dask.array as da
from dask.highlevelgraph import HighLevelGraph

import pictor._chunked as _chunked  # registered by lumenops
from pictor.chunks import OneBlock, blocks, route_of, routes

# A tile is at least this many halos high and wide (whole input chunks joined
# where they are narrower), so that the samples computed twice at its edges
# stay a small part of its work.
TILE_HALOS = 8

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


def _is_plain_image(x, takes_bool=False):
    accepted = (np.uint8, np.uint16, np.bool_) if takes_bool else (np.uint8, np.uint16)
    if x.dtype not in accepted or x.size == 0 or any(math.isnan(n) for n in x.shape):
        return False
    return x.ndim == 2 or (x.ndim == 3 and x.shape[2] == 3)


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
    """x as full-width row stripes, each of whole input row chunks and at least
    `halo` rows; None when that is one stripe."""
    rows = _joined_chunks(x.chunks[0], max(halo, 1))
    if len(rows) < 2:
        return None
    return x.rechunk((rows,) + tuple((n,) for n in x.shape[1:]))


def _joined_chunks(chunks, least):
    """Consecutive chunks joined into runs of at least `least` (a last shorter
    run joins the one before): the input's cuts, fewer of them."""
    runs, run = [], 0
    for size in chunks:
        run += size
        if run >= least:
            runs.append(run)
            run = 0
    if run:
        if runs:
            runs[-1] += run
        else:
            runs.append(run)
    return tuple(runs)


def _tiles(x, halo):
    """x in tiles of whole input chunks, at least TILE_HALOS halos high and wide."""
    least = TILE_HALOS * halo
    chunks = (_joined_chunks(x.chunks[0], least), _joined_chunks(x.chunks[1], least)) + x.chunks[2:]
    return x if chunks == x.chunks else x.rechunk(chunks)


def _one_block(call, x, dtype, reread=None):
    # The shape follows from the keywords the call will see, defaults included;
    # the call itself gets only the keywords given, as the whole call does.
    shape = call.route.result_shape(x.shape, call.keywords)
    whole = x.rechunk(x.shape if _is_known(x.shape) else -1) if x.ndim else x
    value = dask.delayed(blocks.call_of_shape, pure=True)(whole, call.operation, call.given, shape)
    return da.from_delayed(value, shape=shape, dtype=dtype, meta=np.empty((0,) * len(shape), dtype=dtype))


def _is_known(shape):
    return not any(isinstance(n, float) and math.isnan(n) for n in shape)


def _pointwise(call, x, dtype, reread=None):
    return x.map_blocks(blocks.call, call.operation, call.keywords, dtype=dtype, meta=_meta(x, dtype))


def _on_overlapping_stripes(call, stripes, halo, dtype):
    depth = {axis: 0 for axis in range(stripes.ndim)}
    depth[0] = halo
    return da.map_overlap(blocks.call, stripes, depth=depth, boundary="none", trim=True, dtype=dtype,
                          meta=_meta(stripes, dtype), method_name=call.operation, keywords=call.keywords)


def _neighbourhood(call, x, dtype, reread=None):
    """The method on each 2-D tile framed by a halo of rows and columns from
    the tiles around it; at the true image edge, no frame: OpenCV applies its
    own border there (Dask's borders are not OpenCV's). Each tile hands its
    neighbours only its edges, in one task, so that a cluster moves the
    frames, not the tiles: two tasks per tile."""
    halo = call.route.halo(call.keywords)
    if halo == 0:
        return _pointwise(call, x, dtype)
    tiles = _tiles(x, halo)
    token = dask.base.tokenize(tiles, halo, call.operation, call.keywords)
    edges_name, framed_name = "edges-" + token, "halo-" + token
    framed = functools.partial(blocks.call_with_halo, halo=halo, method_name=call.operation, keywords=call.keywords)
    rows, columns = tiles.numblocks[:2]
    channels = (0,) * (tiles.ndim - 2)
    graph = {}
    for row, column in np.ndindex(rows, columns):
        graph[(edges_name, row, column)] = (blocks.edges, (tiles.name, row, column) + channels, halo)
    for row, column in np.ndindex(rows, columns):
        neighbours = [(edges_name, row + down, column + right)
                      if 0 <= row + down < rows and 0 <= column + right < columns else None
                      for down, right in blocks.NEIGHBOURS]
        graph[(framed_name, row, column) + channels] = (framed, (tiles.name, row, column) + channels, neighbours)
    layers = HighLevelGraph.from_collections(framed_name, graph, dependencies=[tiles])
    return da.Array(layers, framed_name, tiles.chunks, dtype=dtype, meta=_meta(tiles, dtype))


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


def _pyramid(call, x, dtype, reread=None):
    halo = call.route.halo(call.keywords)
    stripes = _aligned_stripes(x, halo, call.route.align)
    if stripes is None:
        return _pointwise(call, x.rechunk({0: -1, 1: -1}), dtype)
    return _on_overlapping_stripes(call, stripes, halo, dtype)


def _level_bound(flat, to_mean):
    if not to_mean:
        return flat.max()
    flat = flat.rechunk(blocks.NUMPY_SUM_RUN * blocks.TRANSFER_RUNS_PER_CHUNK)
    runs = (tuple(-(-size // blocks.NUMPY_SUM_RUN) for size in flat.chunks[0]),)
    run_sums = flat.map_blocks(_chunked.run_sums, chunks=runs, dtype=flat.dtype, meta=np.empty((0,), flat.dtype))
    return dask.delayed(blocks.mean_in_numpy_order, pure=True)(run_sums, flat.size)


def _fuse(call, x, dtype, reread=None):
    route = call.route
    halo = route.halo(call.keywords)
    truncation = route.truncation(call.keywords)
    stripes = _aligned_stripes(x.rechunk({0: max(max(x.chunks[0]), route.stripe_halos * halo)}), halo, route.align)
    if stripes is None:
        return _pointwise(call, x.rechunk({0: -1, 1: -1}), dtype)
    if truncation is None:  # no statistic
        return _on_overlapping_stripes(call, stripes, halo, dtype)
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = halo
    level_type = route.level_type(call.operation, np.zeros((64, 64) + x.shape[2:], x.dtype), call.keywords)
    source = _reading_for_statistic(x, reread).rechunk(stripes.chunks)
    overlapping = da.overlap.overlap(source, depth=depth, boundary="none").to_delayed().ravel()
    tail = int(np.prod(x.shape[2:]))
    pieces = ([], [])
    start = 0
    for index, (block, height) in enumerate(zip(overlapping, stripes.chunks[0])):
        top = 0 if index == 0 else halo
        end = start + height
        rows = [(top // scale, -(-end // scale) - start // scale) for scale in route.level_scales]
        details = dask.delayed(blocks.fuse_details_block, pure=True, nout=2)(block, rows, call.operation,
                                                                             call.keywords)
        for level, (scale, (_, count)) in enumerate(zip(route.level_scales, rows)):
            width = -(-x.shape[1] // scale)
            pieces[level].append(da.from_delayed(details[level], shape=(count * width * tail,), dtype=level_type,
                                                 meta=np.empty((0,), level_type)))
        start = end
    levels = [_level_bound(da.concatenate(level_pieces), truncation == "mean") for level_pieces in pieces]
    bounds = dask.delayed(blocks.fuse_bounds, pure=True)(*levels)
    overlapped = da.overlap.overlap(stripes, depth=depth, boundary="none")
    fused = overlapped.map_blocks(blocks.fuse_block, bounds, call.operation, call.keywords, dtype=dtype,
                                  meta=_meta(x, dtype))
    return da.overlap.trim_internal(fused, {axis: d for axis, d in depth.items()}, boundary="none")


def _with_maximum(call, x, dtype, reread=None):
    apply_block, arguments = call.route.apply_block(call.operation, call.keywords)
    return x.map_blocks(apply_block, _reading_for_statistic(x, reread).max(), *arguments, dtype=dtype,
                        meta=_meta(x, dtype))


def _total_counts(x, count_block, levels, reread):
    """The whole image's counts of its levels, summed over count_block of each chunk."""
    source = _reading_for_statistic(x, reread)
    counts = source.map_blocks(count_block, chunks=tuple((1,) * n for n in x.numblocks[:2]) + ((levels,),),
                               new_axis=None if x.ndim == 3 else 2, dtype=np.int64, meta=_meta(x, np.int64, 3))
    return counts.sum(axis=(0, 1), dtype=np.int64)  # integer counts: exact in any order


def _order_statistics(call, x, dtype, reread=None):
    positions = call.route.positions(x.size, call.keywords)
    total_counts = _total_counts(x, blocks.level_counts_block, 1 << (8 * x.dtype.itemsize), reread)
    limits = dask.delayed(blocks.levels_at, pure=True)(total_counts, positions)
    return x.map_blocks(blocks.auto_level_block, limits, dtype=dtype, meta=_meta(x, dtype))


def _joined_stripes(call, x, dtype, reread=None):
    """Each stripe's cells (after the whole image's level range, where the
    route means its keywords on it), one task each serving its summary and its
    finish; the summaries joined across the seams; each stripe finished."""
    parts = call.route.parts(x.dtype, call.keywords)
    halo = call.route.halo(call.keywords)
    stripes = _stripes(x, halo)
    if stripes is None:  # one stripe: the same steps on the whole image
        stripes = x.rechunk({0: -1, 1: -1})
    cells_block, arguments = parts.cells
    if parts.on_range:
        counts = _total_counts(x, blocks.level_counts_block, 1 << 16, reread)
        arguments += (dask.delayed(blocks.level_range, pure=True)(counts),)
    depth = {axis: 0 for axis in range(x.ndim)}
    depth[0] = halo
    overlapped = da.overlap.overlap(stripes, depth=depth, boundary="none")
    cells = overlapped.map_blocks(cells_block, *arguments, dtype=np.uint8, meta=_meta(x, np.uint8, 2),
                                  drop_axis=[2] if x.ndim == 3 else [])
    cells = da.overlap.trim_internal(cells, {0: halo, 1: 0}, boundary="none")
    # Each stripe's cells serve its summary and its finish: one task each, which
    # the graph's optimisation would otherwise fuse into both, computing them twice.
    stripe_cells = cells.to_delayed().ravel()
    (summary, summary_arguments), (join, join_arguments) = parts.summary, parts.join
    summaries = [dask.delayed(summary, pure=True)(block, *summary_arguments) for block in stripe_cells]
    joined = dask.delayed(join, pure=True)(summaries, *join_arguments)
    finish, finish_arguments = parts.finish
    finished = dask.delayed(finish, pure=True)
    return da.concatenate([da.from_delayed(finished(block, joined, index, *finish_arguments),
                                           shape=(height,) + x.shape[1:2], dtype=dtype, meta=_meta(x, dtype, 2))
                           for index, (block, height) in enumerate(zip(stripe_cells, cells.chunks[0]))])


def _level_counts_table(call, x, dtype, reread=None):
    """A statistic of the level counts of the whole image: the method's table
    of them, then every chunk mapped through it."""
    count_block, levels, make_table, arguments, map_block = call.route.parts(call.operation, x.dtype, x.ndim,
                                                                             call.keywords)
    total_counts = _total_counts(x, count_block, levels, reread)
    table = dask.delayed(make_table, pure=True)(total_counts, *arguments)
    return x.map_blocks(map_block, table, dtype=dtype, meta=_meta(x, dtype))


def _level_of_counts(call, x, dtype, reread=None):
    """A number of the level counts of the whole image, as a lazy value (dask.delayed)."""
    count_block, levels, of_counts, arguments, _ = call.route.parts(call.operation, x.dtype, x.ndim, call.keywords)
    return dask.delayed(of_counts, pure=True)(_total_counts(x, count_block, levels, reread), *arguments)


def _float_mean(call, x, dtype, reread=None):
    target, full_scale = call.route.target(call.keywords, x.dtype)
    statistics, mean_norm = _transfer_plan(x, target, reread)
    factor = dask.delayed(blocks.transfer_factor, pure=True)(mean_norm, statistics)
    return x.map_blocks(blocks.transfer_apply_block, statistics, factor, full_scale, dtype=dtype, meta=_meta(x, dtype))


def _transfer_plan(x, target, reread=None):
    """brightness_transfer's statistics (mean, target, extremes) and
    np.mean(transfer_norm), as delayed values."""
    first = _reading_for_statistic(x, reread)
    statistics = dask.delayed(blocks.transfer_statistics, pure=True)(
        first.sum(dtype=np.int64), x.size, first.min(), first.max(), target)  # integer sum: exact
    flat = _reading_for_statistic(x, reread).reshape(-1).rechunk(blocks.NUMPY_SUM_RUN * blocks.TRANSFER_RUNS_PER_CHUNK)
    runs = (tuple(-(-size // blocks.NUMPY_SUM_RUN) for size in flat.chunks[0]),)
    run_sums = flat.map_blocks(blocks.transfer_norm_sums_block, statistics, chunks=runs, dtype=np.float64,
                               meta=np.empty((0,), np.float64))
    return statistics, dask.delayed(blocks.mean_in_numpy_order, pure=True)(run_sums, x.size)


def _flip(call, x, dtype, reread=None):
    rows_reversed, columns_reversed = call.route.reversed_axes(call.keywords)
    mapped = _pointwise(call, x, dtype)
    rows = slice(None, None, -1) if rows_reversed else slice(None)
    columns = slice(None, None, -1) if columns_reversed else slice(None)
    return mapped.blocks[(rows, columns) + (slice(None),) * (x.ndim - 2)]


def _crop(call, x, dtype, reread=None):
    start_y, start_x, height, width = call.route.window(call.keywords)
    return x[start_y:start_y + height, start_x:start_x + width]


def _volume(call, x, dtype, reread=None):
    """Each chunk filtered with a halo along every axis the filter reaches
    (map_overlap); a float32 mean's filtered axes whole."""
    depths = call.route.depths(call.keywords, x.shape)
    if call.route.whole_lines(x.dtype):
        whole_lines = x.rechunk({axis: -1 for axis, depth in depths.items() if depth})
        return whole_lines.map_blocks(blocks.call, call.operation, call.given, dtype=dtype, meta=_meta(x, dtype))
    boundary = "periodic" if call.route.wraps(call.keywords) else "none"
    return x.map_overlap(blocks.call, depth=depths, boundary={axis: boundary for axis in depths}, trim=True,
                         dtype=dtype, meta=_meta(x, dtype), method_name=call.operation, keywords=call.given)


# The graph form of every route class.
FORMS = {
    routes.Pointwise: _pointwise,
    routes.Neighbourhood: _neighbourhood,
    routes.Pyramid: _pyramid,
    routes.Fuse: _fuse,
    routes.Maximum: _with_maximum,
    routes.OrderStatistics: _order_statistics,
    routes.LevelTable: _level_counts_table,
    routes.FullDepthLevelTable: _level_counts_table,
    routes.LevelCounts: _level_counts_table,
    routes.CountsLevel: _level_of_counts,
    routes.Components: _joined_stripes,
    routes.Labels: _joined_stripes,
    routes.FloatMean: _float_mean,
    routes.Flip: _flip,
    routes.Crop: _crop,
    routes.WholeImage: _one_block,
    routes.Volume: _volume,
}


def plan(operation, src, keywords, reread=None):
    """(route name, lazy result) of the operation ("Class.method" or
    "pictor.NAME") on src with the keywords given."""
    call = route_of(operation, keywords)
    x = as_dask(src)
    dtype = call.route.result_dtype(x.dtype)
    if not isinstance(call.route, routes.WholeImage) and (_is_plain_image(x, call.route.takes_bool)
                                                          or call.route.any_layout):
        planes = x.rechunk({2: -1}) if x.ndim == 3 and not call.route.any_layout else x
        try:
            return call.route.name, _in_chunks_of(x, FORMS[type(call.route)](call, planes, dtype, reread))
        except OneBlock:
            pass
    return routes.WholeImage.name, _one_block(call, x, dtype)


def _in_chunks_of(x, result):
    """The result in x's chunking where it covers the same rows and columns
    (routes on stripes: the stripes cut again at the input's cuts)."""
    if not isinstance(result, da.Array) or result.shape[:2] != x.shape[:2]:
        return result  # a number (threshold_level's delayed level), or another shape
    chunks = x.chunks[:2] + (x.chunks[2:] if result.shape == x.shape else result.chunks[2:])
    return result if result.chunks == chunks else result.rechunk(chunks)
