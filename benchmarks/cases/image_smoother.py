"""ImageSmoother: the linear blurs at their default and at a wider kernel."""
from . import IMAGE_KINDS, reference

ref = reference("image_smoother")

CASES = [
    ("ImageSmoother", "mean_blur", {}, ref.mean_blur, IMAGE_KINDS),
    ("ImageSmoother", "mean_blur", {"ksize": 15}, ref.mean_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {"ksize": 7}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {"ksize": 15}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "gaussian_blur", {}, ref.gaussian_blur, IMAGE_KINDS),
    ("ImageSmoother", "gaussian_blur", {"ksize": 15}, ref.gaussian_blur, IMAGE_KINDS),
]
