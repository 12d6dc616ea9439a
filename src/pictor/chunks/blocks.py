"""What runs on one block of rows, or on the blocks' partial results, in
either executor (a stripe of pictor.stream, a task of pictor.dask inside a
worker). Module-level functions, so that a graph pickles them by name; each
looks its tool up by name (``pictor._lookup``)."""

import numpy as np

from pictor import _lookup, _native
import pictor._chunked as _chunked  # registered by lumenops
import pictor._full_depth as _full_depth  # registered by lumenops
import pictor._segmentation as _segmentation  # registered by lumenops


def call(block, method_name, keywords):
    return _lookup.method(method_name)(src=block, **keywords)


def call_of_shape(block, method_name, keywords, shape):
    """The whole call, refused if its result is not of the shape the graph
    declared: a store would otherwise write it into the wrong region."""
    result = call(block, method_name, keywords)
    known = all(isinstance(n, int) for n in shape)
    if known and getattr(result, "shape", None) != tuple(shape):
        raise RuntimeError("{}: result of shape {} where {} was declared".format(
            method_name, getattr(result, "shape", None), tuple(shape)))
    return result


def edges(block, halo):
    """The rows and columns along a tile's four edges that its neighbours take
    as their halo: (first rows, last rows, first columns, last columns),
    copies, so that the tile itself need not stay in memory for them."""
    return tuple(np.ascontiguousarray(part) for part in
                 (block[:halo], block[-halo:], block[:, :halo], block[:, -halo:]))


# The neighbours of a tile, as (row step, column step), in the order call_with_halo takes their edges.
NEIGHBOURS = ((-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1))


def _edge_towards(edges_of, step, halo):
    """The part of a neighbour's edges (see edges()) next to the tile it is at `step` from."""
    first_rows, last_rows, first_columns, last_columns = edges_of
    rows = last_rows if step[0] < 0 else first_rows if step[0] > 0 else None
    if rows is None:
        return last_columns if step[1] < 0 else first_columns
    return rows if step[1] == 0 else rows[:, -halo:] if step[1] < 0 else rows[:, :halo]


def call_with_halo(block, neighbours, *, halo, method_name, keywords):
    """The method on a tile framed by `halo` rows and columns of its
    neighbours (their edges(), None where the image ends, in NEIGHBOURS
    order), the frame cut off again."""
    present = dict(zip(NEIGHBOURS, neighbours))
    top, left = (halo if present[(-1, 0)] is not None else 0), (halo if present[(0, -1)] is not None else 0)
    bottom, right = (halo if present[(1, 0)] is not None else 0), (halo if present[(0, 1)] is not None else 0)
    height, width = block.shape[:2]
    framed = np.empty((top + height + bottom, left + width + right) + block.shape[2:], block.dtype)
    framed[top:top + height, left:left + width] = block
    rows = {-1: slice(0, top), 0: slice(top, top + height), 1: slice(top + height, None)}
    columns = {-1: slice(0, left), 0: slice(left, left + width), 1: slice(left + width, None)}
    for step, edges_of in present.items():
        if edges_of is not None:
            framed[rows[step[0]], columns[step[1]]] = _edge_towards(edges_of, step, halo)
    return call(framed, method_name, keywords)[top:top + height, left:left + width]


def channel0_level_counts_block(block):
    return _chunked.level_counts(block[..., 0] if block.ndim == 3 else block)[None, None, :]


def call_with_maximum(block, maximum, method_name, keywords):
    # The method scales by the image's maximum: one extra row holding the
    # whole image's maximum makes the chunk's maximum that of the image.
    extra = np.full((1,) + block.shape[1:], maximum, dtype=block.dtype)
    return call(np.concatenate([block, extra]), method_name, keywords)[:-1]


# brightness_transfer's np.mean(transfer_norm) is a float sum: NumPy sums
# runs of 8192 consecutive samples pairwise and adds the runs' sums in order,
# so the flat image is cut at multiples of that run and the sums are folded
# in order (a tree of chunk sums would differ in the last bits).
NUMPY_SUM_RUN = 8192
TRANSFER_RUNS_PER_CHUNK = 512


def transfer_statistics(total, count, low, high, target):
    return float(total) / float(count), target, int(low), int(high)


def transfer_norm_sums_block(flat, statistics):
    return _chunked.transfer_norm_sums(flat, *statistics)


def transfer_factor(mean_norm, statistics):
    with np.errstate(all="ignore"):  # a constant image has no factor; its chunks do not use it
        return float(np.float64(statistics[1]) / np.float64(mean_norm))


def transfer_apply_block(block, statistics, factor, full_scale):
    return _chunked.transfer_apply(block, *statistics, factor, full_scale)


def level_counts_block(block):
    return _chunked.level_counts(block)[None, None, :]


def equalisation_table(counts):
    """The 16-bit result of each working level under cv2.equalizeHist of an
    image with these level counts: the cumulative counts after the first
    occupied level, scaled by 255 / (total - its count) in float32 and rounded
    to the nearest (ties to even), restored to 16 bits."""
    occupied = np.flatnonzero(counts)
    table = np.zeros(256, np.uint16)
    if occupied.size == 0:
        return table
    first = occupied[0]
    total = int(counts.sum())
    if counts[first] == total:  # a flat image stays at its level
        table[first] = first * 257
        return table
    scale = np.float32(255.0) / np.float32(total - counts[first])
    cumulative = np.cumsum(counts[first + 1:]).astype(np.float32)
    levels = np.clip(np.rint(cumulative * scale), 0, 255)
    table[first + 1:] = levels.astype(np.uint16) * 257
    return table


def above_level_table(level):
    return np.where(np.arange(256) > level, np.uint16(65535), np.uint16(0)).astype(np.uint16)


def threshold_table(counts):
    return above_level_table(_chunked.inter_class_variance_level(counts))


# The searches below ask the worker's own ImageSegmenter (its tool), as the
# whole call asks its own.
def local_histogram_table(counts, low_thr):
    return above_level_table(_chunked.local_histogram_level(_lookup.tool("ImageSegmenter"), counts, low_thr))


def entropy_table(counts):
    return above_level_table(_chunked.maximum_entropy_level(_lookup.tool("ImageSegmenter"), counts))


def working_level_counts_block(block):
    return _chunked.working_level_counts(block)[None, None, :]


def channel0_working_level_counts_block(block):
    # cv2.calcHist([x], [0], ...) counts channel 0 only.
    return _chunked.working_level_counts(block[..., 0] if block.ndim == 3 else block)[None, None, :]


def self_blend_block(block, maximum, screen):
    return _chunked.self_blend_apply(block, int(maximum), screen)


def levels_at(histogram, positions):
    cumulative = np.cumsum(histogram)
    return tuple(int(np.searchsorted(cumulative, position, side="right")) for position in positions)


def auto_level_block(block, limits):
    return _chunked.auto_level_apply(block, limits[0], limits[1])


# Canny: cell states from each stripe with a halo, the components at its ends
# joined across the seams (pictor.chunks.seams), then each stripe's own hysteresis.
CANNY_HALO = 3  # Sobel 3 x 3, then non-maximum suppression against the neighbours


def canny_cells_block(block, low, high, full_depth):
    return _chunked.canny_cells(block, low, high, full_depth)


def canny_edges_block(cells, seeds, index):
    top_seeds, bottom_seeds = seeds[index]
    return _chunked.canny_stripe_edges(cells, top_seeds, bottom_seeds)


def fuse_details_block(block, rows, method_name, keywords):
    """Levels 3 and 4 of a stripe with its halo, flattened, only the rows that
    lie in the stripe; rows: per level, (first row, row count) in the block."""
    details = _chunked.fuse_coarse_details(_lookup.method(method_name), dict(keywords, src=block))
    return tuple(level[first:first + count].ravel() for level, (first, count) in zip(details, rows))


def mean_in_numpy_order(run_sums, count):
    total = run_sums.dtype.type(0)
    for run_sum in run_sums:
        total = total + run_sum  # in the level's own type, as NumPy's accumulator
    return float(run_sums.dtype.type(float(total) / count))


def fuse_bounds(*levels):
    return tuple(float(level) for level in levels)


def fuse_block(block, bounds, method_name, keywords):
    return _chunked.fuse_with_bounds(_lookup.method(method_name), dict(keywords, src=block), *bounds)


def full_depth_table(counts, operation, keywords):
    """The full-depth function's table of all 65,536 levels from the image's
    level counts; operation: "pictor.NAME"."""
    return _native.full_depth(operation.partition(".")[2], _native.TABLE)(counts, **keywords)


def level_range(counts):
    """(lowest, step, span) of the whole image's 65,536 level counts, which
    full-depth Canny's cells take to mean their thresholds on the image's range."""
    return _full_depth.level_range(np.asarray(counts).reshape(-1))


# The package's functions of pictor._segmentation in pieces: a threshold from
# the whole image's level counts; labels of row stripes labelled on their
# own, joined at their seams and renumbered in scan order.
def automatic_threshold_table(counts, method):
    """The 0 / 65535 table of the levels (256 or 65,536) of the whole image's counts."""
    return _segmentation.threshold_table(np.asarray(counts).reshape(-1), method)


def automatic_threshold_level(counts, method):
    return _segmentation.threshold_level_of_counts(np.asarray(counts).reshape(-1), method)


def mapped_levels(block, table):
    """Each sample through the table of its level (uint8 samples are their own working level)."""
    return (_chunked.map_levels if block.dtype == np.uint16 else _chunked.map_working_levels)(block, table)


def mask_cells(window):
    """A mask's stripe as label's cells: one byte a sample, non-zero where the mask is."""
    return window.view(np.uint8) if window.dtype == np.bool_ else (window != 0).view(np.uint8)


def label_stripe_summary(mask, connectivity):
    """(count, first row, last row) of the stripe's own labels; the rows are
    copies, so that the summaries kept until the join hold two rows a stripe,
    not the stripes' labels."""
    labels, count = _segmentation.label(mask, connectivity)
    return count, labels[0].copy(), labels[-1].copy()


def joined_label_stripes(summaries, connectivity):
    """(joined, finals, offsets) of the stripes' summaries, in order:
    pictor._segmentation.join_label_stripes and where each stripe's
    provisional labels start."""
    counts = np.array([count for count, _, _ in summaries], np.int64)
    joined, finals, _ = _segmentation.join_label_stripes(
        counts, np.stack([first for _, first, _ in summaries]), np.stack([last for _, _, last in summaries]),
        connectivity)
    return joined, finals, np.concatenate([[0], np.cumsum(counts)])


def renumbered_label_stripe(mask, joined_stripes, index, connectivity):
    """The labels of stripe `index` as the whole image's."""
    joined, finals, offsets = joined_stripes
    start, stop = np.searchsorted(joined, [offsets[index] + 1, offsets[index + 1] + 1])
    return _segmentation.label_stripe(mask, joined[start:stop], finals[start:stop], connectivity, int(offsets[index]),
                                      int(start))
