"""A pipeline's steps as a plan of stripe steps for the engine: each step's
route (pictor.stream.methods) becomes a Local step with its halo, or a
Gathered one with the statistic its route needs; a chain with a step that
has no stripe form (a geometric change of shape, the fusion's statistic of
its coarse levels, a float mean) has no plan, and runs otherwise."""

import numpy as np

from pictor import functions as _functions
import pictor._chunked as _chunked
import pictor._full_depth as _full_depth  # registered by lumenops
from pictor.stream import canny, labels, methods, tasks
from pictor.stream.engine import Gathered, Local, whole_rows

# Samples per stripe: the halos computed twice stay a few percent of the
# work, and a stripe of every step fits in the caches' reach.
STRIPE_SAMPLES = 1 << 23


# Cells per block of Canny's hysteresis: its statistic keeps two rows of
# labels per block, so its blocks are taller than the others.
CANNY_BLOCK_CELLS = 1 << 22


# The result element types of the routes' kinds ("same": the input's).
RESULT_TYPES = {"u16": np.dtype(np.uint16), "u8": np.dtype(np.uint8), "i32": np.dtype(np.int32)}


class NoStripes(Exception):
    """The chain has a step without a stripe form."""


def method_of(function, dtype, given):
    """(method name, keywords) by which pictor.stream knows pictor's function
    called with the keywords given on images of dtype: its full-depth
    function's, or its tool method's."""
    if function.tool_method is None:  # a function of a private module: its own name
        return methods.full_depth_name("." + function.__name__), dict(given)
    cls, name = function.tool_method
    method_name = "{}.{}".format(cls.__name__, name)
    if _functions.computes_full_depth(function, dtype, given):
        method_name = methods.full_depth_name(method_name)
    return method_name, {key: value for key, value in given.items() if key != _functions.DEPTH}


def stripe_steps(steps, dtype, shape, stripe_rows=None):
    """(engine steps, the (dtype, shape) of each one's input, result dtype,
    result shape) of the chain on an image of dtype and shape; raises
    NoStripes when one step has no stripe form. stripe_rows, when given, is
    every step's block height."""
    plan, inputs = [], []
    for step in steps:
        _functions.check_image_layout(step.name, dtype, (1, 1) + tuple(shape[2:]), step.function.grey_only)
        method_name, keywords = method_of(step.function, dtype, step.keywords)
        route, kind = methods.METHODS.get(method_name) or methods.FULL_DEPTH_METHODS[method_name]
        merged = dict(methods._defaults(method_name), **keywords)
        try:
            made = ROUTES[route](method_name, keywords, merged, dtype, shape, stripe_rows)
        except (KeyError, methods._OneBlock):
            raise NoStripes(step.name) from None
        for stripe_step in made if isinstance(made, list) else [made]:
            plan.append(stripe_step)
            inputs.append((np.dtype(dtype), tuple(shape)))
            if route == "components":  # the hysteresis takes the cells
                dtype, shape = np.uint8, tuple(shape[:2])
        dtype = RESULT_TYPES.get(kind, np.dtype(dtype))
    return plan, inputs, np.dtype(dtype), tuple(shape)


def block_rows(shape, plan, stripe_rows=None, samples=STRIPE_SAMPLES):
    """The stripe height: stripe_rows, or `samples` worth of rows, rounded up
    to a multiple of every step's alignment."""
    rows = stripe_rows or max(1, samples // max(1, int(np.prod(shape[1:]))))
    align = max(step.align for step in plan)
    return -(-rows // align) * align


def _call(method_name, keywords):
    return lambda window: tasks._call(window, method_name, keywords)


def _pointwise(method_name, keywords, merged, dtype, shape, stripe_rows):
    return Local(0, whole_rows(_call(method_name, keywords)))


def _neighbourhood(method_name, keywords, merged, dtype, shape, stripe_rows):
    return Local(methods.HALOS[method_name](merged), whole_rows(_call(method_name, keywords)))


def _pyramid(method_name, keywords, merged, dtype, shape, stripe_rows):
    return Local(methods.pyramid_halo(merged), whole_rows(_call(method_name, keywords)), align=methods.PYRAMID_ALIGN)


def _counted(count_block):
    """gather: the sum of count_block over the stripes (integer counts: exact in any order)."""
    def gather(blocks, height, block_rows):
        total = None
        for block in blocks:
            counts = count_block(block).reshape(-1)
            total = counts if total is None else total + counts
        return total

    return gather


def _order_statistics(method_name, keywords, merged, dtype, shape, stripe_rows):
    positions = methods.order_positions(int(np.prod(shape)), merged)

    def local(counts):
        limits = tasks._levels_at(counts, positions)
        return _mapped_levels(lambda levels: tasks._auto_level_block(levels, limits), dtype)

    return Gathered(_counted(tasks._block_level_counts), local)


def _mapped_levels(pointwise, dtype):
    """A Local step of a function of each sample's level alone: tabulated
    once over every level, then each block mapped through the table."""
    levels = np.arange(1 << (8 * np.dtype(dtype).itemsize), dtype=dtype)
    table = pointwise(levels)
    # uint8 samples are their own working level
    mapped = _chunked.map_levels if np.dtype(dtype) == np.uint16 else _chunked.map_working_levels
    return Local(0, whole_rows(lambda block: mapped(block, table)))


def _level_counts_table(method_name, keywords, merged, dtype, shape, stripe_rows):
    count_block, _, make_table, arguments, map_block = methods.level_table_route(method_name, len(shape), merged)

    def local(counts):
        table = make_table(counts, *arguments)
        return Local(0, whole_rows(lambda block: map_block(block, table)))

    return Gathered(_counted(count_block), local)


def _with_maximum(method_name, keywords, merged, dtype, shape, stripe_rows):
    def gather(blocks, height, block_rows):
        return max(int(block.max()) for block in blocks)

    def local(maximum):
        if method_name.startswith("ImageFusion."):
            screen = method_name == "ImageFusion.screen_fusion"
            return Local(0, whole_rows(lambda block: tasks._self_blend_block(block, maximum, screen)))
        return Local(0, whole_rows(lambda block: tasks._call_with_maximum(block, maximum, method_name, keywords)))

    return Gathered(gather, local)


def _canny(method_name, keywords, merged, dtype, shape, stripe_rows):
    """Two steps: the cells of the detector (none, weak, strong) from the
    rows around them; then the hysteresis, whose statistic is which cells
    along the stripes' first and last rows join a strong cell elsewhere."""
    low, high, full_depth = methods.canny_cells_arguments(method_name, dtype, merged)
    rows = stripe_rows or max(1, CANNY_BLOCK_CELLS // shape[1])

    def cells_on(level_range):
        return Local(tasks.CANNY_HALO,
                     whole_rows(lambda window: _chunked.canny_cells(window, low, high, level_range)), rows)

    def gather(blocks, height, block_rows):
        return canny.stripe_seeds([_chunked.canny_stripe_summary(block) for block in blocks]), block_rows

    def local(statistic):
        seeds, block_rows = statistic

        def edges(window, window_top, first, stop):
            return _chunked.canny_stripe_edges(window, *seeds[first // block_rows])

        return Local(0, edges, rows)

    hysteresis = Gathered(gather, local, rows)
    if not full_depth:
        return [cells_on(False), hysteresis]
    # At full depth the thresholds are meant on the whole image's range: its level counts first.
    return [Gathered(_counted(tasks._block_level_counts), lambda counts: cells_on(_full_depth.level_range(counts)),
                     rows), hysteresis]


def _threshold(method_name, keywords, merged, dtype, shape, stripe_rows):
    def local(counts):
        table = labels.threshold_table(counts, merged["method"])
        return Local(0, whole_rows(lambda block: labels.mapped_block(block, table)))

    return Gathered(_counted(tasks._block_level_counts), local)


def _labels(method_name, keywords, merged, dtype, shape, stripe_rows):
    """Each stripe labelled on its own; its count and first and last rows
    joined over the seams; then each stripe labelled again and renumbered."""
    connectivity = merged["connectivity"]
    rows = stripe_rows or max(1, CANNY_BLOCK_CELLS // shape[1])

    def gather(stripes, height, block_rows):
        # The stripes as they come, cut into the blocks that the renumbering pass labels.
        blocks = Local(0, whole_rows(lambda window: window)).blocks(stripes, height, block_rows)
        summaries = [labels.stripe_summary(block, connectivity) for block in blocks]
        return labels.joined_stripes(summaries, connectivity), block_rows

    def local(statistic):
        joined, block_rows = statistic

        def renumbered(window, window_top, first, stop):
            return labels.renumbered_stripe(window, joined, first // block_rows, connectivity)

        return Local(0, renumbered, rows)

    return Gathered(gather, local, rows)


ROUTES = {
    "level counts": _threshold,
    "labels": _labels,
    "pointwise": _pointwise,
    "neighbourhood": _neighbourhood,
    "pyramid": _pyramid,
    "maximum": _with_maximum,
    "order statistics": _order_statistics,
    "working-level table": _level_counts_table,
    "level table": _level_counts_table,
    "components": _canny,
}
