"""Fast, exact 2-D image operations on NumPy arrays.

Images are uint8 or uint16 arrays, grey (height x width) or colour
(height x width x 3, OpenCV's channel order). Construct a tool (each tool
class has one instance per process) and call its methods with keyword
arguments. Most operations run on an 8-bit working copy of the image and
return uint16 samples (each 8-bit level w as 257 * w).
"""

import copy as copy
import os as os
from types import ModuleType
from typing import Any, Callable, ClassVar, Dict, List, Optional, Tuple, TypeVar, Union

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Annotated

cv2: ModuleType
ort: ModuleType
__test__: Dict[str, Any]

Image = NDArray[Any]
Real = Union[int, float]
_ImageT = TypeVar("_ImageT", bound=NDArray[Any])

# What the checked functions of the package (pictor.gaussian_blur, ...) accept;
# the tool methods themselves take anything and fail where the libraries fail.
class _Range:
    """Numbers from low to high inclusive (above low when low_open), on a
    grid of step from low when step is given."""
    def __init__(self, low: float, high: float, *, low_open: bool = ..., step: int = ...) -> None: ...

class _Grey:
    """Grey images only (height x width)."""

class _Choices:
    """One of the given strings."""
    def __init__(self, *choices: str) -> None: ...

class _Mask:
    """A mask: bool, uint8 or uint16 samples, foreground where non-zero."""

class _EightBitCopy:
    """The method runs on the 8-bit working copy: a 16-bit image is reduced to
    256 levels (v // 257) before the operation. full_depth describes what
    pictor's function of the method computes for a uint16 image instead, at
    its own depth (depth="full")."""
    def __init__(self, *, full_depth: str = ...) -> None: ...

_MethodT = TypeVar("_MethodT", bound=Callable[..., Any])

class _Route:
    """How pictor's function of the method runs in pieces (a route of
    pictor.chunks, by its name) and the route's terms: side, the keyword
    holding an odd window side whose half is the halo of rows; halo, the rows
    themselves or the name of the catalogue's rule for them; result, "u8" or
    "same" (the input's type) where the result is not uint16; full_depth, the
    route at full depth where it differs; table, shape, screen, channel0,
    grey_only as the route takes them."""
    def __init__(self, name: str, **terms: Any) -> None: ...
    def __call__(self, method: _MethodT) -> _MethodT: ...

class SingletonBase:
    _instance: ClassVar[Optional["SingletonBase"]]
    _initialized: ClassVar[bool]
    def __new__(cls, *args: Any, **kwargs: Any) -> Any: ...
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def _init(self, *args: Any, **kwargs: Any) -> None: ...

class UtilityTool(SingletonBase):
    def __init__(self) -> None: ...
    def convert_rgb_to_ycbcr(self, img: Image) -> NDArray[np.float64]:
        """Convert an RGB image (channel 0 red) to Y, Cb and Cr planes on the
        0-255 scale with the ITU-R BT.601 weights, as a float64 array of the
        image's height and width with three channels; no rounding or clipping."""
    def normalize_and_calculate_variance(
        self,
        lst: Union[List[Real], Tuple[Real, ...]],
    ) -> Tuple[int, Any, Any, int, Any]:
        """Summarise a list of counts: how many are at least 1, their mean,
        their minimum and its first position in the whole list, and the
        population variance of the kept values min-max normalised to [0, 1]
        (NaN when all kept values are equal); (0, 0, 0, 0, 0) when none is kept."""
    def get_boundary(
        self,
        image: Image,
        low_thr: int = 0,
        high_thr: int = 256,
        l_scale: Real = 0,
        r_scale: Real = 1,
    ) -> Tuple[np.integer, np.floating, np.floating]:
        """Find the dominant grey level of an image between low_thr and
        high_thr and the levels beyond which at most 1 % of the histogram lies
        on either side of it; returns the peak level and the two boundaries,
        scaled by l_scale and r_scale and clipped to [0, 255]."""
    def calculate_entropy(self, probabilities: NDArray[Any]) -> np.floating:
        """Shannon entropy in bits of the strictly positive entries of an
        array of probabilities (already normalised by the caller)."""

class ImageEnhancer(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    def _ImageEnhancer__get_overlay(self, src: Image, ksize: int) -> NDArray[np.float32]: ...
    def _ImageEnhancer__hard_light(
        self,
        base: NDArray[Any],
        overlay: NDArray[Any],
        thr: float,
    ) -> NDArray[np.float64]: ...
    def _ImageEnhancer__image_overlay(
        self,
        base: NDArray[Any],
        overlay: NDArray[Any],
        thr: float,
    ) -> NDArray[np.float64]: ...
    @_Route("float mean", result="same")
    def brightness_transfer(
        self,
        *,
        src: Optional[_ImageT] = None,
        ratio: Annotated[Real, _Range(0, 1)] = 0.5,
    ) -> _ImageT:
        """Move the image's mean brightness to ratio times full scale: the
        image is min-max normalised and rescaled so that its mean becomes the
        target, clipped to full scale. Returns the input's element type.

        A constant image (maximum equal to minimum: 0 / 0 in the normalisation)
        becomes the target itself, clipped to [0, full scale], without a warning."""
    @_Route("neighbourhood", halo="multi-scale blend")
    def multi_scale_adaptive_hard_light_enhancement(
        self,
        *,
        src: Optional[Image] = None,
        init_ksize: Annotated[int, _Range(0, 999)] = 11,
        multi_scale: Annotated[int, _Range(1, 20)] = 1,
        step_ksize: Annotated[int, _Range(0, 500, step=2)] = 6,
    ) -> NDArray[np.uint16]:
        """Raise local contrast by hard-light blending the image with high-pass
        overlays taken at Gaussian kernel sizes growing from init_ksize by
        step_ksize over multi_scale passes (the blend is selected by the base)."""
    @_Route("neighbourhood", halo="multi-scale blend")
    def multi_scale_adaptive_image_overlay_enhancement(
        self,
        *,
        src: Optional[Image] = None,
        init_ksize: Annotated[int, _Range(0, 999)] = 31,
        multi_scale: Annotated[int, _Range(1, 20)] = 1,
        step_ksize: Annotated[int, _Range(0, 500, step=2)] = 6,
    ) -> NDArray[np.uint16]:
        """Raise local contrast like the hard-light variant, with the overlay
        blend mode (the blend formula is selected by the overlay layer)."""
    @_Route("working-level table", table="equalisation", grey_only=True)
    def histogram_enhancement(
        self,
        *,
        src: Optional[Annotated[Image, _Grey(), _EightBitCopy(full_depth="""Equalisation of the image's own 65,536
            levels, following cv2.equalizeHist's steps: levels below the first present one map to 0, and each level
            from it on to round(c * 65535 / (n - c0)) in float64, half to even, where c counts the samples up to and
            including the level beyond the c0 samples of the first level, and n is the sample count. An image of one
            level comes back unchanged.""")]] = None,
    ) -> NDArray[np.uint16]:
        """Global histogram equalisation of a grey image: its levels spread evenly
        over the full scale."""
    @_Route("pyramid")
    def laplacian_pyramid(
        self,
        *,
        src: Optional[Image] = None,
        min_ksize: Annotated[int, _Range(0, 999)] = 7,
        scale: Annotated[Real, _Range(0, 100)] = 10,
        gamma_value: Annotated[Real, _Range(0, 10, low_open=True)] = 0.4,
    ) -> NDArray[np.uint16]:
        """Multi-scale local contrast: gamma-compress the normalised image, add a
        difference-of-Gaussians detail layer (sides min_ksize and min_ksize + 4,
        gain scale), amplify the four detail levels of its Laplacian pyramid by
        1.5 and collapse it again."""
    @_Route("fuse")
    def multi_scale_fuse_enhancement(
        self,
        *,
        src: Optional[Image] = None,
        min_ksize: Annotated[int, _Range(0, 999)] = 7,
        max_ksize: Annotated[int, _Range(0, 999)] = 11,
        scale: Annotated[Real, _Range(0, 100)] = 35,
        gamma_value: Annotated[Real, _Range(0, 10, low_open=True)] = 0.35,
        high_value: Annotated[Real, _Range(0, 10)] = 0.8,
        low_value: Annotated[Real, _Range(0, 10)] = 0.35,
        mode_fuse: Annotated[Real, _Range(0, 1, step=1)] = 0,
        mode_truncation: Annotated[Real, _Range(0, 2, step=1)] = 0,
    ) -> NDArray[np.uint16]:
        """The tunable five-level relative of laplacian_pyramid: separate gains
        for the fine (high_value) and coarse (low_value) detail levels, optional
        clipping of the detail-boosted base (mode_fuse) and truncation of the two
        coarsest levels by their mean or maximum (mode_truncation 0 or 1)."""
    @_Route("working-level table", table="truncation stretch")
    def adaptive_histogram_truncation_stretched(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same peak and 1 % tail walks over the image's
            own levels, one bin per level, all channels pooled, levels below 2570 (10 working levels) ignored. The
            lower boundary is the level where the left walk stops. The 8-bit method steps its walk and its bin edge by
            one working level, so the upper boundary lies 514 levels (two working levels) above the last level whose
            tail share exceeds 1 %, or 257 above the peak when the peak's own tail share is at most 1 %. The
            boundaries are multiplied by scale_l and scale_r and clipped to [0, 65535]; every sample is clipped to
            them and stretched onto [0, 65535] in float32, truncated to uint16 (all zeros when the boundaries
            coincide). Its level limit (10 working levels) and steps are levels of the dtype's full scale, not of
            the image's range: the stretch maps sample values onto the full scale, and its scale keywords act on
            those values.""")]] = None,
        scale_l: Annotated[Real, _Range(0, 10)] = 0,
        scale_r: Annotated[Real, _Range(0, 10)] = 1,
    ) -> NDArray[np.uint16]:
        """Stretch the image linearly between boundaries found from its
        histogram peak and 1 % tails (the darkest 10/256 of the scale ignored),
        scaled by scale_l and scale_r; everything above the upper boundary
        saturates.

        When the two boundaries coincide (0 / 0 in the stretch), every sample
        sits at the lower limit: the result is all zeros, without a warning."""
    @_Route("order statistics")
    def auto_level(
        self,
        *,
        src: Optional[Image] = None,
        low_percent: Annotated[Real, _Range(0, 0.5)] = 0.01,
        high_percent: Annotated[Real, _Range(0, 0.5, low_open=True)] = 0.01,
    ) -> NDArray[np.uint16]:
        """Clamp the darkest low_percent and brightest high_percent of all
        samples and stretch the rest so that the bright limit reaches full scale
        while the dark limit keeps its level.

        When the two limits coincide (0 / 0 in the stretch), every sample keeps
        the dark limit's level (at most full scale), without a warning."""
    @_Route("neighbourhood", side="ksize")
    def unsharpen_mask(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""np.clip((img - blur) * alpha + img, 0, 65535) on the image's own 65,536 levels,
            where blur is cv2.GaussianBlur(img, (ksize, ksize), 0) with the same odd side: the difference in
            float32, the rest in float32 for a real alpha; truncated to uint16.""")]] = None,
        alpha: Annotated[Real, _Range(0, 10)] = 1.5,
        ksize: Annotated[int, _Range(0, 999)] = 5,
    ) -> NDArray[np.uint16]:
        """Unsharp masking: the image plus alpha times its difference from a
        Gaussian blur of side ksize."""
    @_Route("neighbourhood", halo=1)
    def laplacian_enhancement(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""np.clip(img * alpha - cv2.Laplacian(img, cv2.CV_32F) * beta, 0, 65535) on the
            image's own 65,536 levels, in float64; an integer alpha is a plain number (no 8-bit wrap-around);
            truncated to uint16.""")]] = None,
        alpha: Annotated[Real, _Range(0, 10)] = 1.0,
        beta: Annotated[Real, _Range(-10, 10)] = 0.1,
    ) -> NDArray[np.uint16]:
        """Sharpen by alpha times the image minus beta times its 3x3 Laplacian.

        On the 8-bit working copy an integer alpha multiplies in 8-bit
        arithmetic, wrapping around."""
    @_Route("pointwise")
    def gamma_stretched(
        self,
        *,
        src: Optional[Image] = None,
        gamma_value: Annotated[Real, _Range(0, 10, low_open=True)] = 0.5,
    ) -> NDArray[np.uint16]:
        """Power-law mapping of the image scaled to [0, 1] at its full depth;
        gamma_value below 1 brightens the dark levels."""
    @_Route("pointwise", result="u8")
    def maximum_gray_level(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy()]] = None,
    ) -> NDArray[np.uint8]:
        """Rescale from the full scale of the input's depth to 8 bits."""
    @_Route("maximum", result="u8")
    def maximum_grayscale_value(self, *, src: Optional[Image] = None) -> NDArray[np.uint8]:
        """Rescale to 8 bits so that the image's own maximum becomes 255.

        An all-zero image (0 / 0) gives zeros, without a warning."""
    @_Route("neighbourhood", halo=2)
    def enhance_details(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The image plus 0.2 times the mean Sobel gradient magnitude of its
            3x3 Gaussian blur, on the image's own 65,536 levels: each |gradient| saturated to 65535, their mean
            and the sum in float64, each rounded half to even, the sum saturated to 65535.""")]] = None,
    ) -> NDArray[np.uint16]:
        """Add a fifth of the Sobel gradient magnitude of a lightly blurred copy
        to the image, brightening edges."""
    @_Route("neighbourhood", halo="shadow mask")
    def shadows_highlight(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same two gains on the image's own levels: the image scaled to
            [0, 1] by 65535 in float32, the sigma-50 mask blurred from it, the result clipped to [0, 1] and
            * 65535.0 truncated to uint16.""")]] = None,
        shadow: Annotated[Real, _Range(0, 10)] = 0.5,
        highlight: Annotated[Real, _Range(0, 10)] = 0.5,
    ) -> NDArray[np.uint16]:
        """Brighten the image with two gains steered by a very wide blur of
        itself (sigma 50): one growing with the local brightness (shadow), one
        with the local darkness (highlight)."""
    @_Route("neighbourhood", halo="glow")
    def glow(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The image plus the halo on its own 65,536 levels: the mean Sobel gradient magnitude
            (each |gradient| saturated to 65535, the mean rounded half to even), blurred by cv2.GaussianBlur
            with side 2 * radius + 1 at 16 bits, times intensity in float64 clipped to [0, 65535] and truncated
            (an integer intensity is a plain number, no 8-bit wrap-around), added saturating at 65535.""")]] = None,
        radius: Annotated[int, _Range(0, 500)] = 50,
        intensity: Annotated[Real, _Range(0, 10)] = 1.2,
    ) -> NDArray[np.uint16]:
        """Add a wide, blurred halo of the image's edges (kernel side
        2 * radius + 1) times intensity to the image."""
    @_Route("pointwise")
    def brightness_contrast(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""np.clip(img * contrast + brightness * 257, 0, 65535) on the
            image's own 65,536 levels in float32 (brightness keeps its meaning in 8-bit levels of the dtype's
            full scale, not of the image's range: the result is an image, not a partition of it, and its levels
            must mean what the input's mean), truncated to uint16.""")]] = None,
        brightness: Annotated[Real, _Range(-255, 255)] = 0,
        contrast: Annotated[Real, _Range(0, 10)] = 1,
    ) -> NDArray[np.uint16]:
        """The linear map contrast * x + brightness (brightness in 8-bit levels,
        -255 to 255), clipped to full scale.

        On the 8-bit working copy the result is clipped and truncated to 8 bits."""
    @_Route("neighbourhood", halo=1, result="same")
    def east(self, *, src: Optional[_ImageT] = None) -> _ImageT:
        """Emboss with a fixed 3x3 relief kernel (light from above); returns the
        input's element type, saturated."""

class ImageFusion(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    @_Route("maximum", result="same", screen=False)
    def multiply_fusion(self, *, src: Optional[_ImageT] = None) -> _ImageT:
        """Darken by multiplying the image, normalised by its maximum, with
        itself and scaling back to that maximum; keeps the element type."""
    @_Route("maximum", result="same", screen=True)
    def screen_fusion(self, *, src: Optional[_ImageT] = None) -> _ImageT:
        """Brighten by screen-blending the image, normalised by its maximum,
        with itself and scaling back to that maximum; keeps the element type."""

class ImageSmoother(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    @_Route("neighbourhood", side="ksize")
    def mean_blur(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""cv2.blur(img, (ksize, ksize)) on the image's own 65,536 levels, with the same odd
            side; OpenCV rounds the mean to uint16.""")]] = None,
        ksize: Annotated[int, _Range(0, 999)] = 3,
    ) -> NDArray[np.uint16]:
        """Normalised box filter (mean) of side ksize (an even side is raised by
        one)."""
    @_Route("neighbourhood", side="ksize")
    def median_blur(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The median of the ksize x ksize window of the image's own
            65,536 levels, with the same odd side, over a border that repeats the edge samples:
            cv2.medianBlur(img, ksize) for sides 1, 3 and 5, the same median for every wider side (a
            median of integers needs no rounding).""")]] = None,
        ksize: Annotated[int, _Range(0, 255)] = 3,
    ) -> NDArray[np.uint16]:
        """Median filter of side ksize (an even side is raised by one)."""
    @_Route("neighbourhood", side="ksize")
    def gaussian_blur(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""cv2.GaussianBlur(img, (ksize, ksize), 0) on the image's own 65,536 levels, with the
            same odd side; OpenCV rounds its fixed-point result to uint16.""")]] = None,
        ksize: Annotated[int, _Range(0, 999)] = 3,
    ) -> NDArray[np.uint16]:
        """Gaussian blur with a ksize x ksize kernel (an even side is raised by
        one) and the sigma derived from it."""
    @_Route("neighbourhood", halo="non-local means")
    def nlm_blur(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""OpenCV's 8-bit non-local means step for step on the
            image's own levels (OpenCV's own 16-bit path has only the L1 patch distance, which weighs
            patches differently): h is the odd-ruled denoising_strength times 257 (a strength in 8-bit
            levels of the dtype's full scale, not of the image's range: it measures noise in sample values, which
            keep their meaning in the result), the windows follow the same odd-value rule, the border is reflected; the patch
            distance (squared differences summed over the patch and the channels) is binned 2^16 times
            as coarsely as at 8 bits, each bin weighs round((2^31 - 1) * exp(-dist / (h^2 * channels)))
            (0 below a thousandth of that), and the weighted mean of the searched samples is rounded
            half up to uint16.""")]] = None,
        denoising_strength: Annotated[Real, _Range(0, 100)] = 3,
        template_win: Annotated[int, _Range(0, 35)] = 7,
        search_win: Annotated[int, _Range(0, 99)] = 21,
    ) -> NDArray[np.uint16]:
        """Non-local-means denoising with filter strength denoising_strength (in
        8-bit levels) and template/search window sizes (even values raised by one)."""
    @_Route("neighbourhood", halo="bilateral")
    def bilateral_filter(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""cv2.bilateralFilter(img.astype(np.float32), ksize,
            sigma_color * 257, sigma_space) on the image's own levels, after the same odd-value rule on
            the three keywords (sigma_color is in 8-bit levels of the dtype's full scale, not of the
            image's range, so scaled by 257: it weighs differences of sample values, which keep their meaning in the
            result; the diameter and the space sigma are in pixels), then np.clip(np.rint(result), 0, 65535).astype(np.uint16):
            rounded half to even.""")]] = None,
        ksize: Annotated[int, _Range(-1, 99)] = 9,
        sigma_color: Annotated[Real, _Range(0, 1000)] = 75,
        sigma_space: Annotated[Real, _Range(0, 1000)] = 75,
    ) -> NDArray[np.uint16]:
        """Edge-preserving bilateral filter with neighbourhood diameter ksize and
        the two sigmas (sigma_color in 8-bit levels; even values raised by one)."""

class ImageSegmenter(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    @_Route("working-level table", table="histogram valley", channel0=True)
    def local_histogram_threshold_segmentation(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same walk over channel 0's own range (a colour
            image is thresholded on every channel), with exact counts of its range levels z (every sample is lowest +
            step * z, step the greatest common divisor of the present levels' distances from the lowest): the counted
            levels (low_thr to 250) and the distances (a separate peak lies more than 4 working levels away, the
            window spans 10) are stretched from 0..255 to z's span (times 257 on a full 0..65535 range); the count
            limits (200, 300) and shares are unchanged. A range too narrow to count any level takes the 8-bit walk of
            an empty histogram, stretched. Samples above the level found become 65535, the others 0, so k * img + c
            gives the same mask and a constant image none.""")]] = None,
        low_thr: Annotated[int, _Range(0, 250)] = 10,
    ) -> NDArray[np.uint16]:
        """Binarise with one threshold found by walking the grey-level histogram
        (levels low_thr to 250) right of its highest peak to the valley before
        a second peak; foreground 65535, background 0."""
    @_Route("working-level table", table="maximum entropy")
    def maximum_entropy_threshold_segmentation(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same search on the image's own range, all
            channels counted together: on its range levels z (every sample is lowest + step * z, step the greatest
            common divisor of the present levels' distances from the lowest), over working levels 5 to 249 stretched
            from 0..255 to z's span (1285 to 64249 on a full 0..65535 range), the first split that maximises the
            background's plus the foreground's entropy, each taken as log2(m) - sum(c * log2(c)) / m from float64
            cumulative sums of the exact counts c (m the class's count) instead of normalised densities. The 8-bit
            method's binarisation puts its threshold level, one working level wide, into the background; so samples
            above min(p + floor(span / 255), q) become 65535, the others 0, where p and q are the background's highest
            and the foreground's lowest present level. k * img + c gives the same mask and a constant image
            none.""")]] = None,
    ) -> NDArray[np.uint16]:
        """Binarise at the level that maximises the summed Shannon entropies of
        the background and foreground histograms (levels 5 to 249)."""
    @_Route("working-level table", table="inter-class variance")
    def maximum_inter_class_variance_segmentation(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same search over the image's own range, all
            channels counted together: on its range levels z (every sample is lowest + step * z, step the greatest
            common divisor of the present levels' distances from the lowest; z is the level itself on a full 0..65535
            range without a common step), bin centres z + 0.5, the same float64 formula and 1e-06 guards: samples
            above the first split with the largest value become 65535, the others 0, so k * img + c gives the same
            mask and a constant image none.""")]] = None,
    ) -> NDArray[np.uint16]:
        """Binarise at the level that maximises a between-class variance of the
        grey-level histogram. The criterion is not Otsu's: each of its two terms
        carries both class weights, w0 * w1 * ((m0 - m)**2 + (m1 - m)**2), which
        is Otsu's w0 * w1 * (m0 - m1)**2 times w0**2 + w1**2, a factor between
        1/2 (equal classes) and 1. It favours unequal classes, so its threshold
        can lie far from Otsu's: on a real image 65 where OpenCV's and
        scikit-image's Otsu give 49."""
    @_Route("neighbourhood", side="ksize", full_depth="one block")
    def adaptive_threshold_segmentation(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The same comparison on the image's own range: on its
            range levels z = (img - lowest) / step (step the greatest common divisor of the present levels' distances
            from the lowest), so the fraction ratio is taken of the local mean's height above the image's lowest level,
            as on the image stretched to 0..255: the mean is cv2.boxFilter(z, cv2.CV_32F, (ksize, ksize)) with the
            same odd side and border, and a sample becomes 65535 where z - float32(1 - ratio) * mean >= 0 in float32,
            else 0. k * img + c gives the same mask; a constant image is all foreground, as at 8 bits.""")]] = None,
        ksize: Annotated[int, _Range(0, 999)] = 3,
        ratio: Annotated[Real, _Range(0, 1)] = 0.15,
    ) -> NDArray[np.uint16]:
        """Mark as foreground every pixel that is at least (1 - ratio) times the
        mean of its ksize x ksize neighbourhood."""

class DeepLearning(SingletonBase):
    tool: UtilityTool
    session: Any
    input_name: str
    output_name: str
    def __init__(self) -> None: ...
    @_Route("one block", shape="plane")
    def super_resolution(
        self,
        *,
        src: Optional[Annotated[Image, _Grey(), _EightBitCopy(full_depth="""The network is fed the image scaled to [0, 1] from 65535 (float32,
            at 512 x 512 by cubic resizing of the 16-bit picture) and its output, clipped to [0, 1], comes back
            * 65535 rounded half to even to uint16, resized to the image's size and made grey at 16 bits.""")]] = None,
    ) -> NDArray[np.uint16]:
        """Pass a grey image through the learned network at 512 x 512 and
        return it at its own size. The model is deeplearning/models/universal.onnx
        below the working directory, else the copy installed with the package."""
    @_Route("one block", result="u8", shape="scaled down")
    def make_data(
        self,
        *,
        src: Optional[Annotated[Image, _Grey(), _EightBitCopy()]] = None,
        scale: Annotated[int, _Range(1, 1000)] = 1,
    ) -> NDArray[np.uint8]:
        """Shrink a grey image by the integer factor scale with bicubic
        interpolation and convert it to 8 bits, as training data for the network."""

class FeatureDetection(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    @_Route("components")
    def canny_edge(
        self,
        *,
        src: Optional[Annotated[Image, _EightBitCopy(full_depth="""The 8-bit detector's steps on the image's own levels, in
            integers: 3x3 Sobel derivatives over a replicated border, L1 magnitude (a colour pixel takes
            the channel of largest magnitude, the first of equals), non-maximum suppression across the
            gradient in four sectors (tan 22.5 degrees as 13573 / 2^15, beyond the image the magnitude
            is 0), hysteresis over 8-connected pixels above low_thr reaching one above high_thr. All on the
            image's own range: on its range levels z = (img - lowest) / step (step the greatest common divisor of
            the present levels' distances from the lowest), with both thresholds given on 0..255 times span / 255
            (257 on a full 0..65535 range), ordered and floored; so k * img + c gives the same edges and a
            constant image none. Edges 65535, elsewhere 0.""")]] = None,
        low_thr: Annotated[Real, _Range(0, 10000)] = 50,
        high_thr: Annotated[Real, _Range(0, 10000)] = 100,
    ) -> NDArray[np.uint16]:
        """Canny edge map with the two hysteresis thresholds on the 8-bit scale;
        edges 65535, elsewhere 0."""

class GeometricTransformation(SingletonBase):
    tool: UtilityTool
    def __init__(self) -> None: ...
    @_Route("one block", result="same", shape="rotated")
    def rotate(
        self,
        *,
        src: Optional[_ImageT] = None,
        angle: Annotated[Real, _Range(-360, 360)] = 90,
        scale: Annotated[Real, _Range(0, 16, low_open=True)] = 1.0,
    ) -> _ImageT:
        """Rotate by angle degrees counter-clockwise about the centre and scale,
        on a canvas enlarged to hold the whole result; keeps the element type."""
    @_Route("flip", result="same")
    def flip(self, *, src: Optional[_ImageT] = None, mode: Annotated[int, _Range(-1, 1)] = 1) -> _ImageT:
        """Mirror the image: mode 0 upside down, positive left-right, negative both."""
    @_Route("one block", result="same", shape="scaled down")
    def resize(
        self,
        *,
        src: Optional[Annotated[_ImageT, _Grey()]] = None,
        scale: Annotated[int, _Range(1, 1000)] = 3,
    ) -> _ImageT:
        """Shrink a grey image by the integer factor scale with bilinear
        interpolation; keeps the element type."""
    @_Route("crop", result="same")
    def crop(
        self,
        *,
        src: Optional[_ImageT] = None,
        start_x: Annotated[int, _Range(0, 1000000)] = 0,
        start_y: Annotated[int, _Range(0, 1000000)] = 0,
        width: Annotated[int, _Range(1, 1000000)] = 1,
        height: Annotated[int, _Range(1, 1000000)] = 1,
    ) -> _ImageT:
        """The rectangle of width x height at (start_x, start_y), cut at the
        border, as a view sharing memory with src."""
    def crop_return(
        self,
        *,
        src: Any = None,
        start_x: int = 0,
        start_y: int = 0,
        width: int = 1,
        height: int = 1,
    ) -> Any:
        """For every TIFF under ./global, paste the partner image of the same
        path under ./local over the rectangle at (start_x, start_y) and write the
        result to the same path under ./merge; returns src unchanged."""
