"""ImageSmoother: each blur at ksize 3 (the default), 5 and 15 side by side, so that
a narrow window slower than a wider one stands out; the median at 7 too."""
from . import IMAGE_KINDS, reference

ref = reference("image_smoother")

CASES = [
    ("ImageSmoother", "mean_blur", {}, ref.mean_blur, IMAGE_KINDS),
    ("ImageSmoother", "mean_blur", {"ksize": 5}, ref.mean_blur, IMAGE_KINDS),
    ("ImageSmoother", "mean_blur", {"ksize": 15}, ref.mean_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {"ksize": 5}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {"ksize": 7}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "median_blur", {"ksize": 15}, ref.median_blur, IMAGE_KINDS),
    ("ImageSmoother", "gaussian_blur", {}, ref.gaussian_blur, IMAGE_KINDS),
    ("ImageSmoother", "gaussian_blur", {"ksize": 5}, ref.gaussian_blur, IMAGE_KINDS),
    ("ImageSmoother", "gaussian_blur", {"ksize": 15}, ref.gaussian_blur, IMAGE_KINDS),
]
