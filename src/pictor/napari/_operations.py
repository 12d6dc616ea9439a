"""The operations as the panel shows them: grouped by task, with readable
titles, a one-line description and readable keyword labels. No Qt here.

The descriptions come from the declarations (the first sentence of each
function's description, which speaks of the default, full depth); this module
only adds the words a person looks for in a menu. An operation without a
title of its own is named after its function.
"""

from pictor.cli.operations import first_sentence

SMOOTH, ENHANCE, SEGMENT, EDGES, GEOMETRY, SUPER_RESOLUTION = (
    "Smooth and denoise", "Enhance", "Threshold and segment", "Edges", "Geometry", "Super-resolution")
TASKS = (SMOOTH, ENHANCE, SEGMENT, EDGES, GEOMETRY, SUPER_RESOLUTION)
OTHER_TASK = "More"
TASK_OF_FAMILY = {
    "ImageSmoother": SMOOTH, "ImageEnhancer": ENHANCE, "ImageFusion": ENHANCE, "ImageSegmenter": SEGMENT,
    "FeatureDetection": EDGES, "GeometricTransformation": GEOMETRY, "DeepLearning": SUPER_RESOLUTION,
}
# Functions that are not methods of a tool class find their task by a word of their name.
TASK_OF_WORD = (("threshold", SEGMENT), ("label", SEGMENT), ("segment", SEGMENT), ("filter", SMOOTH),
                ("blur", SMOOTH), ("edge", EDGES))
# Tasks whose results keep the source's sample levels: the source's contrast limits still fit.
LEVEL_KEEPING_TASKS = (SMOOTH, GEOMETRY)
# Tasks whose grey uint8/uint16 results are masks (0 and full scale).
MASK_TASKS = (SEGMENT, EDGES)

TITLES = {
    "brightness_transfer": "Brightness transfer",
    "multi_scale_adaptive_hard_light_enhancement": "Local contrast (hard light)",
    "multi_scale_adaptive_image_overlay_enhancement": "Local contrast (overlay)",
    "histogram_enhancement": "Histogram equalisation",
    "laplacian_pyramid": "Laplacian pyramid contrast",
    "multi_scale_fuse_enhancement": "Multi-scale fused contrast",
    "adaptive_histogram_truncation_stretched": "Stretch between histogram tails",
    "auto_level": "Auto levels",
    "unsharpen_mask": "Unsharp mask",
    "laplacian_enhancement": "Laplacian sharpening",
    "gamma_stretched": "Gamma",
    "maximum_gray_level": "Convert to 8 bits",
    "maximum_grayscale_value": "Convert to 8 bits, maximum to 255",
    "enhance_details": "Enhance details",
    "shadows_highlight": "Shadows and highlights",
    "glow": "Edge glow",
    "brightness_contrast": "Brightness and contrast",
    "east": "Emboss",
    "multiply_fusion": "Multiply with itself (darken)",
    "screen_fusion": "Screen with itself (brighten)",
    "mean_blur": "Mean filter",
    "median_blur": "Median filter",
    "gaussian_blur": "Gaussian blur",
    "nlm_blur": "Non-local means denoising",
    "bilateral_filter": "Bilateral filter",
    "local_histogram_threshold_segmentation": "Threshold at the histogram valley",
    "maximum_entropy_threshold_segmentation": "Threshold by maximum entropy",
    "maximum_inter_class_variance_segmentation": "Threshold by inter-class variance",
    "adaptive_threshold_segmentation": "Adaptive threshold (local mean)",
    "super_resolution": "Super-resolution (learned model)",
    "make_data": "Training image (shrink to 8 bits)",
    "canny_edge": "Canny edges",
    "rotate": "Rotate",
    "flip": "Flip",
    "resize": "Shrink",
    "crop": "Crop",
}

KEYWORD_TITLES = {
    "ksize": "Kernel size", "init_ksize": "First kernel size", "step_ksize": "Kernel size step",
    "min_ksize": "Smallest kernel size", "max_ksize": "Largest kernel size", "multi_scale": "Scales",
    "gamma_value": "Gamma", "high_value": "Fine detail gain", "low_value": "Coarse detail gain",
    "mode_fuse": "Clip the boosted base", "mode_truncation": "Truncate coarse levels by",
    "scale_l": "Lower bound factor", "scale_r": "Upper bound factor", "low_percent": "Dark clip fraction",
    "high_percent": "Bright clip fraction", "alpha": "Amount", "beta": "Laplacian weight",
    "radius": "Radius", "denoising_strength": "Strength", "template_win": "Patch size",
    "search_win": "Search window", "sigma_color": "Range sigma (8-bit levels)", "sigma_space": "Space sigma",
    "low_thr": "Low threshold (8-bit levels)", "high_thr": "High threshold (8-bit levels)",
    "start_x": "Left", "start_y": "Top", "depth": "Depth",
}
# Keywords measured in pixels: with a layer's scale they are shown in its units too.
PIXEL_KEYWORDS = {"ksize", "init_ksize", "step_ksize", "min_ksize", "max_ksize", "radius", "template_win",
                  "search_win", "sigma_space", "start_x", "start_y", "width", "height"}


def family_of(function):
    """The function's tool class, or "pictor" for the package's own functions."""
    return function.tool_method[0].__name__ if function.tool_method else "pictor"


def task_of(function):
    task = TASK_OF_FAMILY.get(family_of(function))
    if task is not None:
        return task
    return next((task for word, task in TASK_OF_WORD if word in function.__name__), OTHER_TASK)


def title_of(function):
    name = function.__name__
    return TITLES.get(name) or name.replace("_", " ").capitalize()


def description_of(function):
    """One line: what the operation does by default (full depth for 16-bit images)."""
    return first_sentence(function.description)


def search_text(function):
    """The words a search matches: the title, the description and the function's name."""
    return " ".join([title_of(function), " ".join(function.description.split()), function.__name__]).lower()


def keyword_title(keyword):
    return KEYWORD_TITLES.get(keyword.name) or keyword.name.replace("_", " ").capitalize()


def keyword_tooltip(keyword):
    return "{}: {}; default {!r}".format(keyword.name, keyword.describe(), keyword.default)


def grouped(functions, by_task=True):
    """[(group, [names])]: by task in TASKS' order, or by tool class in the functions' order."""
    groups = {}
    for name, function in functions.items():
        groups.setdefault(task_of(function) if by_task else family_of(function), []).append(name)
    if not by_task:
        return list(groups.items())
    order = list(TASKS) + [OTHER_TASK]
    return sorted(groups.items(), key=lambda item: order.index(item[0]))
