"""pictor._chunked: the native steps of an operation on pieces of an image
(blocks of rows, or their partial results), which pictor.chunks.blocks calls
for both executors. Registered by pictor.lumenops; private to the package.

A function that computes an operation in one of its forms says so with
``_Computes`` (as in pictor._full_depth); the others are steps of a route.
The native functions take their arguments by position, in the order below.
"""

from numbers import Real
from typing import Any, Callable, Dict, Tuple, TypeVar

import numpy as np
from numpy.typing import NDArray

_F = TypeVar("_F", bound=Callable[..., Any])
_Image = NDArray[Any]  # uint8 or uint16, grey (Y, X) or colour (Y, X, 3)
_Counts = NDArray[np.int64]  # samples per level

class _Computes:
    """What the function computes of the operation named, in one form (see pictor._full_depth)."""
    def __init__(self, operation: str, form: str = ...) -> None: ...
    def __call__(self, function: _F) -> _F: ...

def level_counts(src: _Image, /) -> _Counts:
    """Samples per level of an 8- or 16-bit array, as int64."""

def working_level_counts(src: _Image, /) -> _Counts:
    """Samples per 8-bit working level, as int64."""

def auto_level_apply(src: _Image, low_level: int, high_level: int, /) -> NDArray[np.uint16]:
    """auto_level's stretch of one chunk, given the whole image's two order statistics."""

@_Computes("auto_level", "planes_into")
def auto_level_planes_into(src: _Image, dst: NDArray[np.uint16], low_percent: Real, high_percent: Real, /) -> None:
    """auto_level of each (rows, cols) plane of an (n, rows, cols) stack, written into dst, a C-contiguous
    uint16 array of its shape."""

def self_blend_apply(src: _Image, maximum: int, screen: bool, /) -> _Image:
    """ImageFusion's multiply or screen fusion of one chunk, given the image's maximum."""

def inter_class_variance_level(counts: _Counts, /) -> int:
    """The inter-class-variance threshold level of 256 working-level counts."""

def truncation_stretch_table(counts: _Counts, scale_l: float, scale_r: float, /) -> NDArray[np.uint16]:
    """adaptive_histogram_truncation_stretched's 16-bit result per working level, from 256 level counts."""

def map_working_levels(src: _Image, table: NDArray[np.uint16], /) -> NDArray[np.uint16]:
    """table[working level] of every sample (table: 256 uint16 values)."""

def map_levels(src: _Image, table: NDArray[np.uint16], /) -> NDArray[np.uint16]:
    """table[sample] of every sample of a uint16 array (table: 65,536 uint16 values)."""

def transfer_norm_sums(src: _Image, mean: float, target: float, low: int, high: int, /) -> NDArray[np.float64]:
    """brightness_transfer's normalised transfer summed per 8192 samples of a flat chunk."""

def transfer_apply(
    src: _Image, mean: float, target: float, low: int, high: int, factor: float, full_scale: float, /
) -> _Image:
    """brightness_transfer of one chunk, given the image's statistics and factor."""

def local_histogram_level(segmenter: Any, counts: _Counts, low_thr: int, /) -> int:
    """local_histogram_threshold_segmentation's level from channel 0's 256 working-level counts."""

def maximum_entropy_level(segmenter: Any, counts: _Counts, /) -> int:
    """maximum_entropy_threshold_segmentation's level from 256 working-level counts."""

def run_sums(src: NDArray[np.floating], /) -> NDArray[np.floating]:
    """Pairwise sums of each 8192 samples of a flat float array."""

def fuse_coarse_details(method: Callable[..., Any], keywords: Dict[str, Any], /) -> Tuple[NDArray[Any], NDArray[Any]]:
    """multi_scale_fuse_enhancement's levels 3 and 4 before truncation."""

def fuse_with_bounds(method: Callable[..., Any], keywords: Dict[str, Any], bound3: float, bound4: float, /) -> _Image:
    """multi_scale_fuse_enhancement with the given truncation bounds of levels 3 and 4."""

def canny_cells(window: _Image, low_thr: Any, high_thr: Any, full_depth: bool, /) -> NDArray[np.uint8]:
    """The cell states canny_edge assigns before its hysteresis (0 none, 1 weak candidate, 2 strong)."""

def canny_stripe_summary(
    cells: NDArray[np.uint8], /
) -> Tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.bool_], int]:
    """What the rest of the image needs of a stripe's hysteresis: (top_labels, bottom_labels, strong, count)."""

def canny_stripe_edges(
    cells: NDArray[np.uint8], top_seeds: NDArray[np.bool_], bottom_seeds: NDArray[np.bool_], /
) -> NDArray[np.uint16]:
    """The stripe's own hysteresis, seeded where its first and last rows join a strong cell elsewhere."""
