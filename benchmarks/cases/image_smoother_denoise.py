"""ImageSmoother: the edge-preserving filters at their defaults."""
from . import IMAGE_KINDS, reference

ref = reference("image_smoother")

CASES = [
    ("ImageSmoother", "nlm_blur", {}, ref.nlm_blur, IMAGE_KINDS),
    ("ImageSmoother", "bilateral_filter", {}, ref.bilateral_filter, IMAGE_KINDS),
]
