"""A pipeline's steps as a plan of stripe steps for the engine: each step's
route (pictor.chunks) becomes its stripe form, Local steps with their halo
or a Gathered one with the statistic its route needs; a chain with a step
whose route has no stripe form (graph_only: a geometric change of shape, the
fusion's statistic of its coarse levels, a float mean) has no plan, and runs
otherwise."""

import numpy as np

from pictor import chunks
from pictor.chunks import blocks, routes
from pictor.stream.engine import Gathered, Local, whole_rows

# Samples per stripe: the halos computed twice stay a few percent of the
# work, and a stripe of every step fits in the caches' reach.
STRIPE_SAMPLES = 1 << 23


# Cells per block of the routes joined at their seams (Canny's hysteresis,
# labels): their statistic keeps two rows of labels per block, so their
# blocks are taller than the others.
JOINED_BLOCK_CELLS = 1 << 22


class NoStripes(Exception):
    """The chain has a step without a stripe form."""


def stripe_steps(steps, dtype, shape, stripe_rows=None):
    """(engine steps, the (dtype, shape) of each one's input, result dtype,
    result shape) of the chain on an image of dtype and shape; raises
    NoStripes when one step has no stripe form. stripe_rows, when given, is
    every step's block height."""
    plan, inputs = [], []
    for step in steps:
        step.function.check_layout(dtype, (1, 1) + tuple(shape[2:]))
        call = chunks.route_of_function(step.function, dtype, step.keywords)
        if call.route.graph_only:
            raise NoStripes(step.name)
        try:
            made = FORMS[type(call.route)](call, dtype, shape, stripe_rows)
        except chunks.OneBlock:
            raise NoStripes(step.name) from None
        made = made if isinstance(made, list) else [made]
        # a route of two steps (joined at the seams) hands its second the cells of the plane
        layouts = [(dtype, shape)] + ([call.route.cells_layout(shape)] if len(made) > 1 else [])
        for stripe_step, (step_dtype, step_shape) in zip(made, layouts):
            plan.append(stripe_step)
            inputs.append((np.dtype(step_dtype), tuple(step_shape)))
        dtype, shape = call.route.result_dtype(dtype), call.route.result_shape(shape, call.keywords)
    return plan, inputs, np.dtype(dtype), tuple(shape)


def block_rows(shape, plan, stripe_rows=None, samples=STRIPE_SAMPLES):
    """The stripe height: stripe_rows, or `samples` worth of rows, rounded up
    to a multiple of every step's alignment (of each one, not only the largest)."""
    rows = stripe_rows or max(1, samples // max(1, int(np.prod(shape[1:]))))
    align = int(np.lcm.reduce([step.align for step in plan]))
    return -(-rows // align) * align


def _call(call):
    return lambda window: blocks.call(window, call.operation, call.given)


def _rows_around(call, dtype, shape, stripe_rows):
    return Local(call.route.halo(call.keywords), whole_rows(_call(call)))


def _pyramid(call, dtype, shape, stripe_rows):
    return Local(call.route.halo(call.keywords), whole_rows(_call(call)), align=call.route.align)


def _counted(count_block):
    """gather: the sum of count_block over the stripes (integer counts: exact in any order)."""
    def gather(stripes, height, block_rows):
        total = None
        for block in stripes:
            counts = count_block(block).reshape(-1)
            total = counts if total is None else total + counts
        return total

    return gather


def _order_statistics(call, dtype, shape, stripe_rows):
    positions = call.route.positions(int(np.prod(shape)), call.keywords)

    def local(counts):
        limits = blocks.levels_at(counts, positions)
        return _mapped_levels(lambda levels: blocks.auto_level_block(levels, limits), dtype)

    return Gathered(_counted(blocks.level_counts_block), local)


def _mapped_levels(pointwise, dtype):
    """A Local step of a function of each sample's level alone: tabulated
    once over every level, then each block mapped through the table."""
    levels = np.arange(1 << (8 * np.dtype(dtype).itemsize), dtype=dtype)
    table = pointwise(levels)
    return Local(0, whole_rows(lambda block: blocks.mapped_levels(block, table)))


def _level_counts_table(call, dtype, shape, stripe_rows):
    count_block, _, make_table, arguments, map_block = call.route.parts(call.operation, dtype, len(shape),
                                                                        call.keywords)

    def local(counts):
        table = make_table(counts, *arguments)
        return Local(0, whole_rows(lambda block: map_block(block, table)))

    return Gathered(_counted(count_block), local)


def _with_maximum(call, dtype, shape, stripe_rows):
    apply_block, arguments = call.route.apply_block(call.operation, call.given)

    def gather(stripes, height, block_rows):
        return max(int(stripe.max()) for stripe in stripes)

    def local(maximum):
        return Local(0, whole_rows(lambda block: apply_block(block, maximum, *arguments)))

    return Gathered(gather, local)


def _joined_stripes(call, dtype, shape, stripe_rows):
    """Two steps: each block's cells from the rows around them (after the
    whole image's level range, where the route means its keywords on it);
    then the finish, whose statistic is the cells' summaries joined across
    the blocks' seams."""
    parts = call.route.parts(dtype, call.keywords)
    rows = stripe_rows or max(1, JOINED_BLOCK_CELLS // shape[1])
    halo = call.route.halo(call.keywords)
    cells_block, cells_arguments = parts.cells

    def cells(*level_range):
        return Local(halo, whole_rows(lambda window: cells_block(window, *cells_arguments, *level_range)), rows)

    def gather(stripes, height, block_rows):
        (summary, summary_arguments), (join, join_arguments) = parts.summary, parts.join
        return join([summary(stripe, *summary_arguments) for stripe in stripes], *join_arguments), block_rows

    def local(statistic):
        joined, block_rows = statistic
        finish, finish_arguments = parts.finish

        def finished(window, window_top, first, stop):
            return finish(window, joined, first // block_rows, *finish_arguments)

        return Local(0, finished, rows)

    finishing = Gathered(gather, local, rows)
    if not parts.on_range:
        return [cells(), finishing]
    return [Gathered(_counted(blocks.level_counts_block), lambda counts: cells(blocks.level_range(counts)), rows),
            finishing]


def _volume(call, dtype, shape, stripe_rows):
    # Blocks of a multiple of two halos: the rows (a stack's planes) filtered
    # again around each block stay at most as many as its own.
    halo = call.route.stripe_halo(call.keywords, dtype, shape)
    return Local(halo, whole_rows(_call(call)), align=max(1, 2 * halo))


# The stripe form of every route class that has one (the others are graph_only).
FORMS = {
    routes.Pointwise: _rows_around,
    routes.Neighbourhood: _rows_around,
    routes.Pyramid: _pyramid,
    routes.Maximum: _with_maximum,
    routes.OrderStatistics: _order_statistics,
    routes.LevelTable: _level_counts_table,
    routes.FullDepthLevelTable: _level_counts_table,
    routes.LevelCounts: _level_counts_table,
    routes.Components: _joined_stripes,
    routes.Labels: _joined_stripes,
    routes.Volume: _volume,
}
