"""Full-depth recipes: blurs, denoising and Canny edges."""
import cv2

from reference.image_smoother import odd_kernel

KEYWORD_CASES = {
    "gaussian_blur": [{}, {"ksize": 4}, {"ksize": 0}, {"ksize": 15}],
    "mean_blur": [{}, {"ksize": 2}, {"ksize": 0}, {"ksize": 15}],
}
BINARY = set()


def gaussian_blur(src, ksize=3):
    ksize = odd_kernel(ksize)
    return cv2.GaussianBlur(src, (ksize, ksize), 0)


def mean_blur(src, ksize=3):
    ksize = odd_kernel(ksize)
    return cv2.blur(src, (ksize, ksize))
