"""ImageEnhancer: blends, brightness transfer, histogram stretches, grey-level mappings."""
from . import GREY8, GREY16, IMAGE_KINDS, reference

ref = reference("image_enhancer")
GREY_ONLY = (GREY16, GREY8)  # equalizeHist takes one channel

CASES = [
    ("ImageEnhancer", "multi_scale_adaptive_hard_light_enhancement", {},
     ref.multi_scale_adaptive_hard_light_enhancement, IMAGE_KINDS),
    ("ImageEnhancer", "multi_scale_adaptive_image_overlay_enhancement", {},
     ref.multi_scale_adaptive_image_overlay_enhancement, IMAGE_KINDS),
    ("ImageEnhancer", "brightness_transfer", {}, ref.brightness_transfer, IMAGE_KINDS),
    ("ImageEnhancer", "histogram_enhancement", {}, ref.histogram_enhancement, GREY_ONLY),
    ("ImageEnhancer", "adaptive_histogram_truncation_stretched", {},
     ref.adaptive_histogram_truncation_stretched, IMAGE_KINDS),
    ("ImageEnhancer", "auto_level", {}, ref.auto_level, IMAGE_KINDS),
    ("ImageEnhancer", "gamma_stretched", {}, ref.gamma_stretched, IMAGE_KINDS),
    ("ImageEnhancer", "gamma_stretched", {"gamma_value": 0.4}, ref.gamma_stretched, IMAGE_KINDS),
    ("ImageEnhancer", "maximum_gray_level", {}, ref.maximum_gray_level, IMAGE_KINDS),
    ("ImageEnhancer", "maximum_grayscale_value", {}, ref.maximum_grayscale_value, IMAGE_KINDS),
]
