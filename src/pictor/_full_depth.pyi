"""pictor._full_depth: each working-copy operation's steps at the image's own
depth (65,536 levels for uint16 images), which pictor's functions call for
depth="full". Registered by pictor.lumenops; private to the package.

Every function is declared with the operation it computes and its form
(``_Computes``); pictor._native reads these declarations, so callers pass an
operation's keywords by name and never rebuild their order. The native
functions themselves take their arguments by position, in the order below.
"""

from numbers import Real
from typing import Any, Callable, Tuple, TypeVar

import numpy as np
from numpy.typing import NDArray

_F = TypeVar("_F", bound=Callable[..., Any])
_Image = NDArray[Any]  # uint8 or uint16, grey (Y, X) or colour (Y, X, 3) as the operation accepts
_Counts = NDArray[np.int64]  # samples per level, all 65,536 levels

class _Computes:
    """What the function computes of the operation named, in one form:
    "result" (returns the operation's result), "into" (writes it into dst, an
    array of the result's shape and type), "planes_into" (writes that of each
    (Y, X) plane of an (n, Y, X) grey stack into dst, a C-contiguous array of
    its shape), "table" (returns the result of every level of 65,536, from
    the whole image's level counts)."""
    def __init__(self, operation: str, form: str = ...) -> None: ...
    def __call__(self, function: _F) -> _F: ...

def level_range(counts: _Counts, /) -> Tuple[int, int, int]:
    """(lowest, step, span) of 65,536 level counts: every present level is
    lowest + step * z for z in 0..span, step the greatest common divisor of
    their distances from the lowest; the range on which the segmentations and
    Canny mean their keywords."""

@_Computes("histogram_enhancement")
def histogram_enhancement(src: _Image, /) -> NDArray[np.uint16]:
    """Equalisation over the 65,536 levels."""

@_Computes("histogram_enhancement", "table")
def histogram_enhancement_table(counts: _Counts, /) -> NDArray[np.uint16]:
    """The equalising table of 65,536 level counts."""

@_Computes("adaptive_histogram_truncation_stretched")
def adaptive_histogram_truncation_stretched(src: _Image, scale_l: Real, scale_r: Real, /) -> NDArray[np.uint16]:
    """The truncated stretch."""

@_Computes("adaptive_histogram_truncation_stretched", "table")
def adaptive_histogram_truncation_stretched_table(
    counts: _Counts, scale_l: Real, scale_r: Real, /
) -> NDArray[np.uint16]:
    """The stretch table of all samples' level counts (all channels)."""

@_Computes("local_histogram_threshold_segmentation")
def local_histogram_threshold_segmentation(src: _Image, low_thr: Real, /) -> NDArray[np.uint16]:
    """The walk over channel 0's levels."""

@_Computes("local_histogram_threshold_segmentation", "table")
def local_histogram_threshold_segmentation_table(counts: _Counts, low_thr: Real, /) -> NDArray[np.uint16]:
    """The 0 / 65535 table; the counts are those of channel 0 only (every sample of a grey image), as the
    method counts them."""

@_Computes("maximum_entropy_threshold_segmentation")
def maximum_entropy_threshold_segmentation(src: _Image, /) -> NDArray[np.uint16]:
    """The entropy search over 65,536 levels."""

@_Computes("maximum_entropy_threshold_segmentation", "table")
def maximum_entropy_threshold_segmentation_table(counts: _Counts, /) -> NDArray[np.uint16]:
    """The 0 / 65535 table of all samples' level counts."""

@_Computes("maximum_inter_class_variance_segmentation")
def maximum_inter_class_variance_segmentation(src: _Image, /) -> NDArray[np.uint16]:
    """The variance search over 65,536 levels."""

@_Computes("maximum_inter_class_variance_segmentation", "table")
def maximum_inter_class_variance_segmentation_table(counts: _Counts, /) -> NDArray[np.uint16]:
    """The 0 / 65535 table of all samples' level counts."""

@_Computes("adaptive_threshold_segmentation")
def adaptive_threshold_segmentation(src: _Image, ksize: int, ratio: Real, /) -> NDArray[np.uint16]:
    """Against the float32 box mean at 16 bits."""

@_Computes("gaussian_blur")
def gaussian_blur(src: _Image, ksize: int, /) -> NDArray[np.uint16]:
    """cv2.GaussianBlur at the image's depth."""

@_Computes("mean_blur")
def mean_blur(src: _Image, ksize: int, /) -> NDArray[np.uint16]:
    """cv2.blur at the image's depth."""

@_Computes("median_blur")
def median_blur(src: _Image, ksize: int, /) -> NDArray[np.uint16]:
    """The median of the image's own levels over the replicated border."""

@_Computes("gaussian_blur", "into")
def gaussian_blur_into(src: _Image, dst: NDArray[np.uint16], ksize: int, /) -> None:
    """gaussian_blur written into dst, an array of the result's shape and type."""

@_Computes("mean_blur", "into")
def mean_blur_into(src: _Image, dst: NDArray[np.uint16], ksize: int, /) -> None:
    """mean_blur written into dst, an array of the result's shape and type."""

@_Computes("median_blur", "into")
def median_blur_into(src: _Image, dst: NDArray[np.uint16], ksize: int, /) -> None:
    """median_blur written into dst, an array of the result's shape and type."""

@_Computes("median_blur", "planes_into")
def median_blur_planes_into(src: _Image, dst: NDArray[np.uint16], ksize: int, /) -> None:
    """median_blur of each (rows, cols) plane of an (n, rows, cols) stack, written into dst, a C-contiguous
    array of its shape."""

@_Computes("bilateral_filter")
def bilateral_filter(src: _Image, ksize: int, sigma_color: Real, sigma_space: Real, /) -> NDArray[np.uint16]:
    """cv2.bilateralFilter in float32, rounded to uint16."""

@_Computes("nlm_blur")
def nlm_blur(src: _Image, denoising_strength: Real, template_win: int, search_win: int, /) -> NDArray[np.uint16]:
    """Non-local means of the image's own levels."""

@_Computes("canny_edge")
def canny_edge(src: _Image, low_thr: Real, high_thr: Real, /) -> NDArray[np.uint16]:
    """Canny edges of the image's own levels, 32-bit gradients."""

@_Computes("unsharpen_mask")
def unsharpen_mask(src: _Image, alpha: Real, ksize: int, /) -> NDArray[np.uint16]:
    """Unsharp masking on the image's own levels."""

@_Computes("laplacian_enhancement")
def laplacian_enhancement(src: _Image, alpha: Real, beta: Real, /) -> NDArray[np.uint16]:
    """Laplacian sharpening on the image's own levels."""

@_Computes("enhance_details")
def enhance_details(src: _Image, /) -> NDArray[np.uint16]:
    """A fifth of the gradient magnitude added at the image's depth."""

@_Computes("shadows_highlight")
def shadows_highlight(src: _Image, shadow: Real, highlight: Real, /) -> NDArray[np.uint16]:
    """The two gains on the image's own levels."""

@_Computes("glow")
def glow(src: _Image, radius: int, intensity: Real, /) -> NDArray[np.uint16]:
    """The blurred edge halo added at the image's depth."""

@_Computes("brightness_contrast")
def brightness_contrast(src: _Image, brightness: Real, contrast: Real, /) -> NDArray[np.uint16]:
    """Contrast * x + 257 * brightness, saturated to uint16."""

@_Computes("super_resolution")
def super_resolution(src: _Image, /) -> NDArray[np.uint16]:
    """The network on the image scaled from 65535, its output back at 16 bits."""
