"""The route classes: how an operation runs in pieces.

A route says what either executor needs and nothing of how it runs: whether a
statistic of the whole image comes first (`gathers`), the halo of rows its
keywords need, its result's element type, and the block functions
(pictor.chunks.blocks) with their arguments. pictor.stream makes stripe
steps of it, pictor.dask a graph; a route without a stripe form says so
(`graph_only`), and a chain holding one runs step by step.

Helpers raise keywords.OneBlock where the catalogue says a call runs as one
block (keywords of unusual types, or what only the whole call reproduces).
"""

import numpy as np

from pictor import _lookup
import pictor._chunked as _chunked  # registered by lumenops
from pictor.chunks import blocks, seams
from pictor.chunks.keywords import OneBlock, integer, odd, real

U16, U8, I32, LEVEL, SAME = "u16", "u8", "i32", "level", "same"


class Route:
    """What every route says. name: the route's name, as pictor.dask.route_of
    reports it; result: the result's element type ("u16", "u8", or "same" as
    the input's)."""

    name = None
    gathers = False  # a statistic of the whole image comes before the blocks that use it
    graph_only = False  # no stripe form
    any_layout = False  # takes arrays other than the tools' images
    takes_bool = False  # masks of bool samples run in pieces too

    def __init__(self, result=U16):
        self.result = result

    @property
    def statistic_of_input(self):
        """Whether the statistic is one of the route's input (which a second
        reading of the input can serve), rather than of a step of its own."""
        return self.gathers

    def result_dtype(self, dtype):
        return {U16: np.dtype(np.uint16), U8: np.dtype(np.uint8), I32: np.dtype(np.int32),
                LEVEL: np.dtype(np.float64)}.get(self.result, np.dtype(dtype))

    def result_shape(self, shape, keywords):
        """The result's shape for an input of this shape (nan where the keywords do not tell)."""
        return tuple(shape)

    def at_full_depth(self):
        """The route of the operation's full-depth function, which computes
        uint16 images at 16 bits: the same, where the full-depth steps reach
        as far as the tool's."""
        return self


class Pointwise(Route):
    """Each sample from its own level and the element type: the operation on each block as it is."""

    name = "pointwise"

    @staticmethod
    def halo(keywords):
        return 0


class Neighbourhood(Route):
    """Each sample from the rows around it: full-width row stripes with a halo
    of rows from the keywords (generous where OpenCV derives a size itself; a
    larger halo never changes a sample)."""

    name = "neighbourhood"

    def __init__(self, halo, result=U16, full_depth=None):
        super().__init__(result)
        self.halo = halo
        self.full_depth = full_depth

    def at_full_depth(self):
        """full_depth, where given: the route at full depth (a comparison
        meant on the whole image's range, which no halo holds, runs as one
        block)."""
        return self if self.full_depth is None else self.full_depth


class Pyramid(Route):
    """laplacian_pyramid: four pyrDown levels (each 2 x 2 coarser), the detail
    levels and the collapse back up; a sample depends on fewer than `reach`
    rows around it besides the detail blur's half kernel. Stripes whose first
    rows and halo are multiples of `align` put each level of a stripe's
    pyramid on the rows of the whole image's."""

    name = "pyramid"
    align = 32
    reach = 96

    def halo(self, keywords):
        raw = integer(keywords["min_ksize"])
        largest = max(abs(odd(raw)), abs(odd(raw + 4)))
        return -(-(largest // 2 + self.reach) // self.align) * self.align


class Fuse(Pyramid):
    """multi_scale_fuse_enhancement: five pyrDown levels, so stripes and halo
    are aligned as for the pyramid; a sample depends on fewer than `reach`
    rows around it besides the larger blur's half kernel. Its two coarsest
    detail levels (1/8 and 1/16 of the rows) are truncated at their mean or
    maximum over the whole image: each stripe's levels are computed first and
    reduced (the mean as np.mean sums them), then each stripe is enhanced with
    the two bounds. Stripes of at least `stripe_halos` halos keep the rows
    computed twice few."""

    name = "fuse"
    gathers = True
    graph_only = True
    reach = 192
    stripe_halos = 4
    level_scales = (8, 16)  # levels 3 and 4

    def halo(self, keywords):
        largest = max(abs(odd(keywords["min_ksize"])), abs(odd(keywords["max_ksize"])))
        return -(-(largest // 2 + self.reach) // self.align) * self.align

    @staticmethod
    def truncation(keywords):
        """"mean", "maximum", or None where the levels are not truncated (no statistic)."""
        mode = real(keywords["mode_truncation"])
        return {0: "mean", 1: "maximum"}.get(mode) if mode in (0, 1) else None

    @staticmethod
    def level_type(operation, sample, keywords):
        """The levels' element type (float32, or float64 where a keyword widens
        it), from a small sample of the image's type; the whole call's error
        is raised where it is raised."""
        import cv2

        try:
            return _chunked.fuse_coarse_details(_lookup.method(operation), dict(keywords, src=sample))[0].dtype
        except (TypeError, ValueError, OverflowError, ArithmeticError, cv2.error):
            raise OneBlock from None


class Maximum(Route):
    """A statistic of the whole image, its maximum, then each block with it:
    ImageFusion's self blend (screen or multiply) given the maximum, or the
    operation on the block with one extra row holding it."""

    name = "maximum"
    gathers = True

    def __init__(self, result=U16, screen=None):
        super().__init__(result)
        self.screen = screen

    def apply_block(self, operation, keywords):
        """(block function, its arguments after the block and the maximum)."""
        if self.screen is None:
            return blocks.call_with_maximum, (operation, keywords)
        return blocks.self_blend_block, (self.screen,)


class OrderStatistics(Route):
    """auto_level: the whole image's level counts, its low and high levels at
    their positions among the sorted samples, then each block stretched."""

    name = "order statistics"
    gathers = True

    def positions(self, total, keywords):
        return (_sorted_position(total, keywords["low_percent"]),
                _sorted_position(total, 1 - real(keywords["high_percent"])))


def _sorted_position(total, fraction):
    # I_sort[int(np.floor(total * fraction))], with Python's indexing rules.
    position = int(np.floor(total * real(fraction)))
    if not -total <= position < total:
        raise OneBlock  # the whole call's IndexError, raised where it is raised
    return position + total if position < 0 else position


class LevelTable(Route):
    """Each sample mapped through a table of the whole image's level counts:
    the tool's 256 working levels ("working-level table"), or at full depth
    all 65,536 levels ("level table"). table(counts, *table_keywords(keywords))
    makes the working table; channel0: only channel 0 is counted, as the
    operation counts; grey_only: a colour image runs as one block (it fails as
    the whole call does)."""

    name = "working-level table"
    gathers = True

    def __init__(self, table=None, table_keywords=lambda keywords: (), channel0=False, grey_only=False):
        super().__init__(U16)
        self.table, self.table_keywords = table, table_keywords
        self.channel0, self.grey_only = channel0, grey_only

    def at_full_depth(self):
        return FullDepthLevelTable(channel0=self.channel0, grey_only=self.grey_only)

    def parts(self, operation, dtype, ndim, keywords):
        """(count_block, number of levels, make_table, its arguments, map_block)."""
        if self.grey_only and ndim != 2:
            raise OneBlock  # cv2.equalizeHist takes one channel: the whole call's error
        return self.table_parts(operation, dtype, keywords)

    def table_parts(self, operation, dtype, keywords):
        count_block = (blocks.channel0_working_level_counts_block if self.channel0
                       else blocks.working_level_counts_block)
        return count_block, 256, self.table, self.table_keywords(keywords), _chunked.map_working_levels


class FullDepthLevelTable(LevelTable):
    """A working-level table's route at full depth: the counts of all 65,536
    levels, the full-depth module's table of them."""

    name = "level table"

    def table_parts(self, operation, dtype, keywords):
        count_block = blocks.channel0_level_counts_block if self.channel0 else blocks.level_counts_block
        return count_block, 1 << 16, blocks.full_depth_table, (operation, keywords), _chunked.map_levels


class LevelCounts(LevelTable):
    """threshold: the whole image's counts of its own levels (256 at 8 bits,
    65,536 at 16), the method's 0 / 65535 table of them, then each block
    mapped through it."""

    name = "level counts"

    def table_parts(self, operation, dtype, keywords):
        levels = 1 << (8 * np.dtype(dtype).itemsize)
        return (blocks.level_counts_block, levels, blocks.automatic_threshold_table, (keywords["method"],),
                blocks.mapped_levels)


class CountsLevel(LevelCounts):
    """threshold_level: the method's level of the whole image's counts of
    its own levels, a number (no image, so no stripes: a lazy value)."""

    name = "level"
    graph_only = True

    def __init__(self):
        super().__init__()
        self.result = LEVEL

    def result_shape(self, shape, keywords):
        return ()

    def table_parts(self, operation, dtype, keywords):
        count_block, levels, _, arguments, _ = super().table_parts(operation, dtype, keywords)
        return count_block, levels, blocks.automatic_threshold_level, arguments, None


class JoinedStripes(Route):
    """Row stripes' own cells (from each stripe with a halo of `halo` rows), a
    summary of each stripe's cells, the summaries joined across the stripes'
    seams, then each stripe's cells finished with the join. parts(dtype,
    keywords) names the block functions; where its `on_range` is true, the
    whole image's level range (blocks.level_range of its level counts) comes
    first and is the cells function's last argument."""

    gathers = True

    @property
    def statistic_of_input(self):
        return False  # the seams' statistic is of the route's own cells

    def result_shape(self, shape, keywords):
        return tuple(shape[:2])

    @staticmethod
    def cells_layout(shape):
        """(dtype, shape) of the cells of an image of this shape."""
        return np.dtype(np.uint8), tuple(shape[:2])


class StripeParts:
    """The block functions of a JoinedStripes route, each (function, its
    arguments after the data): cells(window, ...), summary(cells, ...),
    join(summaries, ...), finish(cells, joined, stripe index, ...)."""

    def __init__(self, cells, summary, join, finish, on_range=False):
        self.cells, self.summary, self.join, self.finish, self.on_range = cells, summary, join, finish, on_range


class Components(JoinedStripes):
    """canny_edge: the cells of the detector (none, weak, strong) from each
    stripe with a halo of `halo` rows; hysteresis keeps the 8-connected
    components of candidates that hold a strong cell, joined across the
    stripes' seams (pictor.chunks.seams), then each stripe traced on its own.
    At full depth the thresholds are meant on the whole image's range, which
    is gathered first."""

    name = "components"
    halo = staticmethod(lambda keywords: blocks.CANNY_HALO)

    def __init__(self, full_depth=False):
        super().__init__(U16)
        self.full_depth = full_depth

    def at_full_depth(self):
        return Components(full_depth=True)

    def parts(self, dtype, keywords):
        """Raises OneBlock where the whole call leaves the thresholds to
        cv2.Canny, which only the whole call reproduces (asked of canny_cells
        itself)."""
        low, high = keywords["low_thr"], keywords["high_thr"]
        if self.full_depth and dtype != np.uint16:
            raise OneBlock
        try:
            blocks.canny_cells_block(np.zeros((1, 1), np.uint16 if self.full_depth else np.uint8), low, high,
                                     self.full_depth)
        except (TypeError, ValueError, OverflowError):
            raise OneBlock from None
        cells = (blocks.canny_cells_block, (low, high) if self.full_depth else (low, high, False))
        return StripeParts(cells, (_chunked.canny_stripe_summary, ()), (seams.stripe_seeds, ()),
                           (blocks.canny_edges_block, ()), on_range=self.full_depth)


class Labels(JoinedStripes):
    """label: each stripe of the mask labelled on its own, its count and its
    first and last rows' labels joined across the seams, then each stripe
    labelled again and renumbered in the whole image's scan order (the cells
    are the mask itself, so that no stripe's labels wait for the join).
    Masks of bool samples take this route too."""

    name = "labels"
    takes_bool = True
    halo = staticmethod(lambda keywords: 0)

    def __init__(self):
        super().__init__(I32)

    def parts(self, dtype, keywords):
        connectivity = keywords["connectivity"]
        return StripeParts((blocks.mask_cells, ()), (blocks.label_stripe_summary, (connectivity,)),
                           (blocks.joined_label_stripes, (connectivity,)),
                           (blocks.renumbered_label_stripe, (connectivity,)))


class FloatMean(Route):
    """brightness_transfer: its statistics (mean, extremes: exact integer
    reductions) and the float mean of its normalised transfer as NumPy sums
    it (runs of 8192 consecutive samples summed pairwise, the runs' sums
    added in order), then each block with them."""

    name = "float mean"
    gathers = True
    graph_only = True

    @staticmethod
    def target(keywords, dtype):
        """(target level, full scale) of the ratio keyword."""
        ratio = keywords["ratio"]
        if isinstance(ratio, bool) or not isinstance(ratio, (int, float)):
            raise OneBlock  # NumPy scalars of other types change the arithmetic's types
        full_scale = 65535.0 if np.dtype(dtype) == np.uint16 else 255.0
        return ratio * full_scale, full_scale


class Flip(Route):
    """The blocks flipped, and their order reversed: no arithmetic of our own."""

    name = "flip"
    graph_only = True

    @staticmethod
    def reversed_axes(keywords):
        """(rows reversed, columns reversed)."""
        mode = integer(keywords["mode"])
        return mode <= 0, mode != 0


class Crop(Route):
    """A slice of the image: no arithmetic of our own."""

    name = "crop"
    graph_only = True

    @staticmethod
    def window(keywords):
        """(first row, first column, height, width)."""
        return tuple(integer(keywords[key]) for key in ("start_y", "start_x", "height", "width"))


class WholeImage(Route):
    """The whole image as one block: resampling that needs window-aware
    kernels to tile exactly. shape(shape, keywords), when given, is the
    result's shape from the input's."""

    name = "one block"
    graph_only = True

    def __init__(self, result=U16, shape=None):
        super().__init__(result)
        self.shape = shape

    def result_shape(self, shape, keywords):
        if self.shape is None:
            return tuple(shape)
        try:
            return self.shape(shape, keywords)
        except (OneBlock, ArithmeticError, ValueError):
            return (float("nan"),) * len(shape)  # the call tells, or raises its own error


class Volume(Route):
    """The volume filters (pictor.gaussian_filter, median_filter,
    uniform_filter) on arrays of any number of axes and of float32 too: each
    sample from those within the filter's reach along every filtered axis, so
    a block with a halo of that reach along each axis it is cut along is exact
    (each later separable pass reads only along its own axis). Stripes cut the
    first axis: the rows of an image, the planes of a Z-first stack. At the
    array's ends the block's own mode extends it as the whole call does;
    "wrap" reads the far end instead (periodic halos in a graph; no stripes).
    A float32 mean is scipy's running sum along each whole line, whose
    rounding depends on where the line starts: its filtered axes are not cut."""

    name = "volume"
    any_layout = True  # not only the tools' 8/16-bit images

    def __init__(self, function_name):
        super().__init__(SAME)
        self.function_name = function_name

    def depths(self, keywords, shape):
        """{axis: samples} the filter reads beyond a sample on either side
        (keywords with defaults, and `axes` where given)."""
        from pictor import volumes

        layout = np.broadcast_to(np.zeros((), np.uint8), shape)  # the shape, without its memory
        values = {key: value for key, value in keywords.items() if key != "axes"}
        return volumes.halo(self.function_name, layout, keywords.get("axes"), values)

    @staticmethod
    def wraps(keywords):
        return keywords["mode"] == "wrap"

    def whole_lines(self, dtype):
        return self.function_name == "uniform_filter" and np.dtype(dtype) == np.float32

    def stripe_halo(self, keywords, dtype, shape):
        """The halo of rows of stripes along the first axis; OneBlock where stripes are not exact."""
        halo = self.depths(keywords, shape).get(0, 0)
        if halo and (self.wraps(keywords) or self.whole_lines(dtype)):
            raise OneBlock
        return halo


# Every route class, for the executors' tables and the test that walks them.
ROUTE_CLASSES = (Pointwise, Neighbourhood, Pyramid, Fuse, Maximum, OrderStatistics, LevelTable,
                 FullDepthLevelTable, LevelCounts, CountsLevel, Components, Labels,
                 FloatMean, Flip, Crop, WholeImage, Volume)
