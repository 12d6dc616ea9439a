"""ImageFusion: both self-blends."""
from . import IMAGE_KINDS, reference

ref = reference("image_fusion")

CASES = [
    ("ImageFusion", "multiply_fusion", {}, ref.multiply_fusion, IMAGE_KINDS),
    ("ImageFusion", "screen_fusion", {}, ref.screen_fusion, IMAGE_KINDS),
]
