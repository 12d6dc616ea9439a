"""What each method of pictor.dask needs to run on chunks: its route and
result type, the halo of rows its keywords need, the table of a statistic
method; and the full-depth functions' routes beside the tools' ones."""

import math
import numbers

import numpy as np

from pictor import _lookup, lumenops
import pictor._chunked as _chunked  # registered by lumenops
import pictor._full_depth as _full_depth  # registered by lumenops
from pictor.stream.tasks import (_block_level_counts, _channel0_block_level_counts, _channel0_level_counts_block,
                                 _entropy_table, _equalisation_table, _local_histogram_table,
                                 _threshold_table, _working_level_counts_block)


# --- keyword helpers --------------------------------------------------------------------------

def _defaults(method_name):
    import inspect

    import pictor

    class_name, _, name = method_name.partition(".")
    if class_name == _lookup.FUNCTIONS:
        return {key: keyword.default for key, keyword in getattr(pictor, name).keywords.items()}
    parameters = inspect.signature(getattr(getattr(lumenops, class_name), name)).parameters
    return {key: p.default for key, p in parameters.items()
            if key != "src" and p.default is not inspect.Parameter.empty}


def _integer(value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise _OneBlock
    return int(value)


def _real(value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise _OneBlock
    return value


def _odd(value):
    value = _integer(value)
    return value if value % 2 != 0 else value + 1


class _OneBlock(Exception):
    """Raised while planning: this call runs as one block."""


def _counted_low_threshold(value):
    # An integer low_thr counts one bin per level; other values (and bounds
    # beyond these) make cv2.calcHist's own bins, which only the whole call makes.
    if type(value) is not int or not -65536 <= value < 251:
        raise _OneBlock
    return value


def _plain_real(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise _OneBlock  # other scalar types change the arithmetic's types; NaN and inf its clipping
    return float(value)


# Per method: the table from the whole image's working-level counts, and the
# keywords it needs.
WORKING_LEVEL_TABLES = {
    "ImageEnhancer.histogram_enhancement": (_equalisation_table, lambda k: ()),
    "ImageSegmenter.maximum_inter_class_variance_segmentation": (_threshold_table, lambda k: ()),
    "ImageSegmenter.maximum_entropy_threshold_segmentation": (_entropy_table, lambda k: ()),
    "ImageSegmenter.local_histogram_threshold_segmentation": (
        _local_histogram_table, lambda k: (_counted_low_threshold(k["low_thr"]),)),
    "ImageEnhancer.adaptive_histogram_truncation_stretched": (
        _chunked.truncation_stretch_table, lambda k: (_plain_real(k["scale_l"]), _plain_real(k["scale_r"]))),
}


def level_table_route(method_name, ndim, keywords):
    """(count_block, number of levels, make_table, its arguments, map_block)
    of a method whose result maps each sample through a table of the whole
    image's level counts: the tool's 256 working levels, or full depth's
    65,536 levels (channel 0's alone for the local-histogram threshold, as the
    method counts)."""
    name = method_name.partition(".")[2]
    if name == "histogram_enhancement" and ndim != 2:
        raise _OneBlock  # cv2.equalizeHist takes one channel: the whole call's error
    channel0 = name == "local_histogram_threshold_segmentation"
    if method_name in WORKING_LEVEL_TABLES:
        make_table, table_keywords = WORKING_LEVEL_TABLES[method_name]
        count_block = _channel0_level_counts_block if channel0 else _working_level_counts_block
        return count_block, 256, make_table, table_keywords(keywords), _chunked.map_working_levels
    count_block = _channel0_block_level_counts if channel0 else _block_level_counts
    arguments = [keywords[key] for key in keywords if key != "depth"]
    return count_block, 1 << 16, getattr(_full_depth, name + "_table"), arguments, _chunked.map_levels


def canny_cells_arguments(method_name, dtype, keywords):
    """(low_thr, high_thr, full_depth) for pictor._chunked.canny_cells; raises
    _OneBlock where the whole call leaves the thresholds to cv2.Canny, which
    only the whole call reproduces (asked of canny_cells itself)."""
    full_depth = method_name in TOOL_OF_FULL_DEPTH
    low, high = keywords["low_thr"], keywords["high_thr"]
    if full_depth and dtype != np.uint16:
        raise _OneBlock
    try:
        _chunked.canny_cells(np.zeros((1, 1), np.uint16 if full_depth else np.uint8), low, high, full_depth)
    except (TypeError, ValueError, OverflowError):
        raise _OneBlock from None
    return low, high, full_depth


# laplacian_pyramid: four pyrDown levels (each 2 x 2 coarser), the detail
# levels and the collapse back up; a sample depends on fewer than 96 rows
# around it besides the detail blur's half kernel. Stripes whose first rows
# and halo are multiples of 32 put each level of a stripe's pyramid on the
# rows of the whole image's.
PYRAMID_ALIGN = 32
PYRAMID_REACH = 96


def pyramid_halo(keywords, align=PYRAMID_ALIGN, reach=PYRAMID_REACH):
    """laplacian_pyramid's halo of rows, a multiple of the alignment."""
    raw = _integer(keywords["min_ksize"])
    largest = max(abs(_odd(raw)), abs(_odd(raw + 4)))
    return -(-(largest // 2 + reach) // align) * align


def _sorted_position(total, fraction):
    # I_sort[int(np.floor(total * fraction))], with Python's indexing rules.
    position = int(np.floor(total * _real(fraction)))
    if not -total <= position < total:
        raise _OneBlock  # the whole call's IndexError, raised where it is raised
    return position + total if position < 0 else position


def order_positions(total, keywords):
    """auto_level's positions of its low and high levels among the sorted samples."""
    return (_sorted_position(total, keywords["low_percent"]),
            _sorted_position(total, 1 - _real(keywords["high_percent"])))


# Halo (rows) of each neighbourhood method from its keywords, generous where
# OpenCV derives a size itself; a larger halo never changes a sample.
def _gaussian_halo_from_sigma(sigma):
    return int(round(abs(_real(sigma)) * 4)) + 2


def _nlm_halo(k):
    return abs(_odd(k["template_win"])) // 2 + abs(_odd(k["search_win"])) // 2 + 1


def _bilateral_halo(k):
    diameter = _odd(k["ksize"])
    return max(abs(diameter) // 2, int(round(abs(_real(k["sigma_space"])) * 1.5)) + 1)


def _blend_halo(k):
    largest = abs(_odd(k["init_ksize"])) + abs(_integer(k["step_ksize"])) * max(_integer(k["multi_scale"]), 0)
    return largest // 2 + 1


HALOS = {
    "ImageSmoother.mean_blur": lambda k: abs(_odd(k["ksize"])) // 2,
    "ImageSmoother.median_blur": lambda k: abs(_odd(k["ksize"])) // 2,
    "ImageSmoother.gaussian_blur": lambda k: abs(_odd(k["ksize"])) // 2,
    "ImageSmoother.nlm_blur": _nlm_halo,
    "ImageSmoother.bilateral_filter": _bilateral_halo,
    "ImageEnhancer.unsharpen_mask": lambda k: abs(_odd(k["ksize"])) // 2,
    "ImageEnhancer.laplacian_enhancement": lambda k: 1,
    "ImageEnhancer.enhance_details": lambda k: 2,
    "ImageEnhancer.east": lambda k: 1,
    "ImageEnhancer.glow": lambda k: abs(_integer(k["radius"])) + 2,
    "ImageEnhancer.shadows_highlight": lambda k: _gaussian_halo_from_sigma(50),
    "ImageEnhancer.multi_scale_adaptive_hard_light_enhancement": _blend_halo,
    "ImageEnhancer.multi_scale_adaptive_image_overlay_enhancement": _blend_halo,
    "ImageSegmenter.adaptive_threshold_segmentation": lambda k: abs(_odd(k["ksize"])) // 2,
}

# Every covered method: route and result element type ("u16", "u8" or "same").
METHODS = {
    "ImageEnhancer.brightness_transfer": ("float mean", "same"),
    "ImageEnhancer.multi_scale_adaptive_hard_light_enhancement": ("neighbourhood", "u16"),
    "ImageEnhancer.multi_scale_adaptive_image_overlay_enhancement": ("neighbourhood", "u16"),
    "ImageEnhancer.histogram_enhancement": ("working-level table", "u16"),
    "ImageEnhancer.laplacian_pyramid": ("pyramid", "u16"),
    "ImageEnhancer.multi_scale_fuse_enhancement": ("fuse", "u16"),
    "ImageEnhancer.adaptive_histogram_truncation_stretched": ("working-level table", "u16"),
    "ImageEnhancer.auto_level": ("order statistics", "u16"),
    "ImageEnhancer.unsharpen_mask": ("neighbourhood", "u16"),
    "ImageEnhancer.laplacian_enhancement": ("neighbourhood", "u16"),
    "ImageEnhancer.gamma_stretched": ("pointwise", "u16"),
    "ImageEnhancer.maximum_gray_level": ("pointwise", "u8"),
    "ImageEnhancer.maximum_grayscale_value": ("maximum", "u8"),
    "ImageEnhancer.enhance_details": ("neighbourhood", "u16"),
    "ImageEnhancer.shadows_highlight": ("neighbourhood", "u16"),
    "ImageEnhancer.glow": ("neighbourhood", "u16"),
    "ImageEnhancer.brightness_contrast": ("pointwise", "u16"),
    "ImageEnhancer.east": ("neighbourhood", "same"),
    "ImageFusion.multiply_fusion": ("maximum", "same"),
    "ImageFusion.screen_fusion": ("maximum", "same"),
    "ImageSmoother.mean_blur": ("neighbourhood", "u16"),
    "ImageSmoother.median_blur": ("neighbourhood", "u16"),
    "ImageSmoother.gaussian_blur": ("neighbourhood", "u16"),
    "ImageSmoother.nlm_blur": ("neighbourhood", "u16"),
    "ImageSmoother.bilateral_filter": ("neighbourhood", "u16"),
    "ImageSegmenter.local_histogram_threshold_segmentation": ("working-level table", "u16"),
    "ImageSegmenter.maximum_entropy_threshold_segmentation": ("working-level table", "u16"),
    "ImageSegmenter.maximum_inter_class_variance_segmentation": ("working-level table", "u16"),
    "ImageSegmenter.adaptive_threshold_segmentation": ("neighbourhood", "u16"),
    "DeepLearning.super_resolution": ("one block", "u16"),
    "DeepLearning.make_data": ("one block", "u8"),
    "FeatureDetection.canny_edge": ("components", "u16"),
    "GeometricTransformation.rotate": ("one block", "same"),
    "GeometricTransformation.flip": ("flip", "same"),
    "GeometricTransformation.resize": ("one block", "same"),
    "GeometricTransformation.crop": ("crop", "same"),
}

# pictor's functions that compute uint16 images at full depth, named
# "pictor.NAME" (pictor.dask.NAME takes them for uint16 images; the tool's
# route serves the rest): the tool's halo where the full-depth steps reach as
# far, the 65,536-level table where the tool counts working levels.
FULL_DEPTH_ROUTES = {
    "ImageSmoother.gaussian_blur": "neighbourhood",
    "ImageSmoother.mean_blur": "neighbourhood",
    "ImageSmoother.median_blur": "neighbourhood",
    "ImageSmoother.nlm_blur": "neighbourhood",
    "ImageSmoother.bilateral_filter": "neighbourhood",
    "ImageEnhancer.unsharpen_mask": "neighbourhood",
    "ImageEnhancer.laplacian_enhancement": "neighbourhood",
    "ImageEnhancer.enhance_details": "neighbourhood",
    "ImageEnhancer.glow": "neighbourhood",
    "ImageEnhancer.shadows_highlight": "neighbourhood",
    # Meant on the whole image's range, which no halo holds: the whole image
    # in one block until the range is gathered first.
    "ImageSegmenter.adaptive_threshold_segmentation": "one block",
    "ImageEnhancer.brightness_contrast": "pointwise",
    "ImageEnhancer.histogram_enhancement": "level table",
    "ImageEnhancer.adaptive_histogram_truncation_stretched": "level table",
    "ImageSegmenter.local_histogram_threshold_segmentation": "level table",
    "ImageSegmenter.maximum_entropy_threshold_segmentation": "level table",
    "ImageSegmenter.maximum_inter_class_variance_segmentation": "level table",
    "FeatureDetection.canny_edge": "components",
    "DeepLearning.super_resolution": "one block",
}


def full_depth_name(tool_method_name):
    return _lookup.FUNCTIONS + "." + tool_method_name.partition(".")[2]


TOOL_OF_FULL_DEPTH = {full_depth_name(tool_method): tool_method for tool_method in FULL_DEPTH_ROUTES}
FULL_DEPTH_METHODS = {full_depth_name(tool_method): (route, "u16") for tool_method, route in FULL_DEPTH_ROUTES.items()}
# The package's functions of pictor._segmentation: a threshold from the whole
# image's level counts; labels of stripes joined at their seams.
FULL_DEPTH_METHODS.update({"pictor.threshold": ("level counts", "u16"), "pictor.label": ("labels", "i32"),
                           "pictor.threshold_level": ("level", "level")})
HALOS.update((name, HALOS[tool_method]) for name, tool_method in TOOL_OF_FULL_DEPTH.items() if tool_method in HALOS)
