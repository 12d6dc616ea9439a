"""Where a result layer lies in the world and how it looks: no Qt here.

A result covers the world where its pixels came from: a shrink by 3 keeps
the source's extent with pixels 3 times as large, a crop starts where the
rectangle was in the source, a rotation keeps its centre with pixels that
make the rotated picture as large as the source's. The last two displayed
axes are the image plane; the leading ones keep their scale and translate.
"""

import numpy as np

from pictor.napari._operations import LEVEL_KEEPING_TASKS, task_of
from pictor.napari._planes import IMAGE, LABELS, MASK

PLANE_AXES = (-2, -1)
CROP_STARTS = ("start_y", "start_x")
LEVELS_SHOWN = 12


def same_extent(scale, translate, size, result_size, keywords, axis):
    """A resampling of the whole plane (cv2.resize's pixel centres): the same world extent."""
    result_scale = scale * size / result_size
    return result_scale, translate + (result_scale - scale) / 2


def cropped(scale, translate, size, result_size, keywords, axis):
    return scale, translate + scale * keywords[CROP_STARTS[axis]]


def rotated(scale, translate, size, result_size, keywords, axis):
    """The rotation's centre (size // 2 of the source) lands on result_size / 2 of
    the result, whose pixels are 1 / zoom as large: the picture keeps its size."""
    result_scale = scale / keywords["scale"]
    return result_scale, translate + scale * (size // 2) - result_scale * result_size / 2


# How an operation that changes the plane's size places its result; any other
# change of size is a resampling of the whole plane.
PLACEMENTS = {"crop": cropped, "rotate": rotated}


def placement(function, keywords, scale, translate, plane_size, result_plane_size):
    """(scale, translate) of the result layer from the source layer's, for a
    plane of plane_size (rows, columns) that became result_plane_size."""
    scale, translate = [float(s) for s in scale], [float(t) for t in translate]
    if tuple(plane_size) == tuple(result_plane_size):
        return scale, translate
    place = PLACEMENTS.get(function.__name__, same_extent)
    full_keywords = {name: keyword.default for name, keyword in function.keywords.items()}
    full_keywords.update(keywords)
    for axis, position in enumerate(PLANE_AXES):
        scale[position], translate[position] = place(scale[position], translate[position], plane_size[axis],
                                                     result_plane_size[axis], full_keywords, axis)
    return scale, translate


def rebuilt_levels(result, level_shapes, displayed):
    """The levels of a multiscale result: level 0 is RESULT; level k takes every
    f-th sample along each of the first DISPLAYED axes, f the source's
    downsampling from level 0 to level k (nearest neighbour, as OME-Zarr's
    default pyramid; lazy for a dask result). A result of the source's own
    shape gets the source's level shapes exactly."""
    first = level_shapes[0][:displayed]
    same_shape = tuple(result.shape[:displayed]) == tuple(first)
    levels = [result]
    for shape in level_shapes[1:]:
        index = []
        for size, level_size in zip(first, shape[:displayed]):
            step = max(1, round(size / level_size))
            index.append(slice(0, level_size * step if same_shape else None, step))
        levels.append(result[tuple(index)])
    return levels


def layer_data(result, kind):
    """A mask as labels of value 1 (0 elsewhere); labels and images as they are."""
    if kind == MASK:
        return (result != 0).astype(np.uint8)
    if kind == LABELS and np.dtype(result.dtype) == bool:
        return result.astype(np.uint8)
    return result


def display_options(source, function, kind, result_dtype, colour):
    """What the result takes over from the source: its blending and colormap
    (an image result), its contrast limits where the samples keep their
    levels (a smoothing or a geometric operation of the same sample type)."""
    if kind != IMAGE:
        return {}
    options = {"blending": source.blending}
    if not colour and not source.rgb:
        options["colormap"] = source.colormap
    if np.dtype(result_dtype) == np.dtype(source.dtype) and task_of(function) in LEVEL_KEEPING_TASKS:
        options["contrast_limits"] = tuple(source.contrast_limits)
    return options


def levels_text(levels):
    """threshold_level's level, or its level of each plane, as a notification says it."""
    flat = np.ravel(levels)
    shown = ", ".join("{:g}".format(level) for level in flat[:LEVELS_SHOWN])
    if flat.size == 1:
        return "level " + shown
    return "levels of the {} planes: {}{}".format(flat.size, shown, ", ..." if flat.size > LEVELS_SHOWN else "")
