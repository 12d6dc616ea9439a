"""The catalogue: every operation's route, and the one choice between an
operation's tool method and its full-depth function.

Operations are named as the blocks call them: "Class.method" for a tool
method (the 8-bit working copy where the tool keeps one), "pictor.NAME" for
the package's function NAME at full depth. The tool methods' routes are the
table below; a full-depth function's route is its tool method's at full depth
(Route.at_full_depth), for every function that the declarations
(lumenops.pyi) say computes uint16 images at 16 bits.
"""

import functools

import pictor._chunked as _chunked  # registered by lumenops
from pictor import _lookup, functions, lumenops
from pictor.chunks import blocks
from pictor.chunks.keywords import abs_odd_half, counted_low_threshold, integer, odd, plain_real, real
from pictor.chunks.routes import (SAME, U8, Components, CountsLevel, Crop, Flip, FloatMean, Fuse, Labels,
                                  LevelCounts, LevelTable, Maximum, Neighbourhood, OrderStatistics, Pointwise,
                                  Pyramid, Volume, WholeImage)


# Halos (rows) of the neighbourhood operations, from their keywords.
def _kernel_halo(keywords):
    return abs_odd_half(keywords["ksize"])


def _gaussian_halo_from_sigma(sigma):
    return int(round(abs(real(sigma)) * 4)) + 2


def _nlm_halo(keywords):
    return abs_odd_half(keywords["template_win"]) + abs_odd_half(keywords["search_win"]) + 1


def _bilateral_halo(keywords):
    return max(abs_odd_half(keywords["ksize"]), int(round(abs(real(keywords["sigma_space"])) * 1.5)) + 1)


def _blend_halo(keywords):
    largest = (abs(odd(keywords["init_ksize"]))
               + abs(integer(keywords["step_ksize"])) * max(integer(keywords["multi_scale"]), 0))
    return largest // 2 + 1


# Result shapes of the one-block operations that change it.
def _rotated_shape(shape, keywords):
    import cv2

    height, width = shape[:2]
    matrix = cv2.getRotationMatrix2D((width // 2, height // 2), real(keywords["angle"]), real(keywords["scale"]))
    cos, sin = abs(matrix[0, 0]), abs(matrix[0, 1])
    return (int(height * cos + width * sin), int(height * sin + width * cos)) + tuple(shape[2:])


def _scaled_down_shape(shape, keywords):
    height, width = shape
    scale = integer(keywords["scale"])
    return (height // scale, width // scale)


def _plane_shape(shape, keywords):
    return tuple(shape[:2])


def _tool_routes():
    """{"Class.method": Route} of every tool method that maps an image to an image."""
    return {
        "ImageEnhancer.brightness_transfer": FloatMean(SAME),
        "ImageEnhancer.multi_scale_adaptive_hard_light_enhancement": Neighbourhood(_blend_halo),
        "ImageEnhancer.multi_scale_adaptive_image_overlay_enhancement": Neighbourhood(_blend_halo),
        "ImageEnhancer.histogram_enhancement": LevelTable(blocks.equalisation_table, grey_only=True),
        "ImageEnhancer.laplacian_pyramid": Pyramid(),
        "ImageEnhancer.multi_scale_fuse_enhancement": Fuse(),
        "ImageEnhancer.adaptive_histogram_truncation_stretched": LevelTable(
            _chunked.truncation_stretch_table,
            lambda k: (plain_real(k["scale_l"]), plain_real(k["scale_r"]))),
        "ImageEnhancer.auto_level": OrderStatistics(),
        "ImageEnhancer.unsharpen_mask": Neighbourhood(_kernel_halo),
        "ImageEnhancer.laplacian_enhancement": Neighbourhood(lambda k: 1),
        "ImageEnhancer.gamma_stretched": Pointwise(),
        "ImageEnhancer.maximum_gray_level": Pointwise(U8),
        "ImageEnhancer.maximum_grayscale_value": Maximum(U8),
        "ImageEnhancer.enhance_details": Neighbourhood(lambda k: 2),
        "ImageEnhancer.shadows_highlight": Neighbourhood(lambda k: _gaussian_halo_from_sigma(50)),
        "ImageEnhancer.glow": Neighbourhood(lambda k: abs(integer(k["radius"])) + 2),
        "ImageEnhancer.brightness_contrast": Pointwise(),
        "ImageEnhancer.east": Neighbourhood(lambda k: 1, SAME),
        "ImageFusion.multiply_fusion": Maximum(SAME, screen=False),
        "ImageFusion.screen_fusion": Maximum(SAME, screen=True),
        "ImageSmoother.mean_blur": Neighbourhood(_kernel_halo),
        "ImageSmoother.median_blur": Neighbourhood(_kernel_halo),
        "ImageSmoother.gaussian_blur": Neighbourhood(_kernel_halo),
        "ImageSmoother.nlm_blur": Neighbourhood(_nlm_halo),
        "ImageSmoother.bilateral_filter": Neighbourhood(_bilateral_halo),
        "ImageSegmenter.local_histogram_threshold_segmentation": LevelTable(
            blocks.local_histogram_table, lambda k: (counted_low_threshold(k["low_thr"]),), channel0=True),
        "ImageSegmenter.maximum_entropy_threshold_segmentation": LevelTable(blocks.entropy_table),
        "ImageSegmenter.maximum_inter_class_variance_segmentation": LevelTable(blocks.threshold_table),
        # At full depth its comparison is meant on the whole image's range, which no halo holds.
        "ImageSegmenter.adaptive_threshold_segmentation": Neighbourhood(_kernel_halo, full_depth=WholeImage()),
        "DeepLearning.super_resolution": WholeImage(shape=_plane_shape),
        "DeepLearning.make_data": WholeImage(U8, shape=_scaled_down_shape),
        "FeatureDetection.canny_edge": Components(),
        "GeometricTransformation.rotate": WholeImage(SAME, shape=_rotated_shape),
        "GeometricTransformation.flip": Flip(SAME),
        "GeometricTransformation.resize": WholeImage(SAME, shape=_scaled_down_shape),
        "GeometricTransformation.crop": Crop(SAME),
    }


TOOL_ROUTES = _tool_routes()


def function_operation(name):
    """The operation name of the package's function NAME at full depth."""
    return _lookup.FUNCTIONS + "." + name


def _full_depth_routes():
    """{"pictor.NAME": Route} of every function declared to compute uint16 images at full depth."""
    routes = {}
    for name, function in functions.image_functions().items():
        if function.full_depth and getattr(function, "tool_method", None):
            cls, method = function.tool_method
            routes[function_operation(name)] = TOOL_ROUTES["{}.{}".format(cls.__name__, method)].at_full_depth()
    return routes


def _function_routes():
    """{"pictor.NAME": Route} of the package's functions that are no tool method:
    the private modules' own (pictor.functions.module_functions) and the
    volume filters (pictor.volumes)."""
    from pictor.volumes import volume_functions

    return {
        function_operation("threshold"): LevelCounts(),
        function_operation("threshold_level"): CountsLevel(),
        function_operation("label"): Labels(),
        **{function_operation(name): Volume(name) for name in volume_functions()},
    }


FULL_DEPTH_ROUTES = _full_depth_routes()
ROUTES = dict(TOOL_ROUTES, **FULL_DEPTH_ROUTES, **_function_routes())


def operation_of(function, dtype, given):
    """(operation, keywords) by which the executors know the package's
    function called with the keywords given on images of dtype: its
    full-depth function's, or its tool method's. The one place where that
    choice is made."""
    tool_method = getattr(function, "tool_method", None)
    if tool_method is None or functions.computes_full_depth(function, dtype, given):
        operation = function_operation(function.__name__)
    else:
        operation = "{}.{}".format(tool_method[0].__name__, tool_method[1])
    return operation, {key: value for key, value in given.items() if key != functions.DEPTH}


@functools.lru_cache(maxsize=None)
def _defaults(operation):
    class_name, _, name = operation.partition(".")
    if class_name == _lookup.FUNCTIONS:
        keywords = functions.package_functions()[name].keywords
        return {key: keyword.default for key, keyword in keywords.items() if key != functions.DEPTH}
    import inspect

    parameters = inspect.signature(getattr(getattr(lumenops, class_name), name)).parameters
    return {key: p.default for key, p in parameters.items()
            if key != "src" and p.default is not inspect.Parameter.empty}


class Call:
    """One call of an operation on pieces: its route, the keywords given
    (which the blocks pass on, as the whole call gets them) and the keywords
    the call sees, defaults included (which the route reads)."""

    def __init__(self, operation, route, given):
        self.operation, self.route, self.given = operation, route, dict(given)
        self.keywords = dict(_defaults(operation), **given)

    def __repr__(self):
        return "Call({!r}, {})".format(self.operation, self.route.name)


def route_of(operation, given):
    """The Call of `operation` ("Class.method" or "pictor.NAME") with the
    keywords given; ValueError for an operation the catalogue does not hold."""
    route = ROUTES.get(operation)
    if route is None:
        raise ValueError("no chunked method {!r}; expected a function name or 'Class.method' of {}".format(
            operation, ", ".join(sorted(TOOL_ROUTES))))
    return Call(operation, route, given)


def route_of_function(function, dtype, given):
    """The Call of the package's function with the keywords given on images of dtype."""
    return route_of(*operation_of(function, dtype, given))
