"""Reference model of ImageSmoother."""
import cv2

from reference import max_value_of, restore_u16, to_working_u8


def odd_kernel(ksize):
    """Odd-value rule: odd values stay, even ones (0 and negatives too) go up by one."""
    return ksize if ksize % 2 != 0 else ksize + 1


def mean_blur(src=None, ksize=3):
    ksize = odd_kernel(ksize)
    max_value = max_value_of(src)
    src = to_working_u8(src, max_value)
    blur_img = cv2.blur(src, (ksize, ksize))
    return restore_u16(blur_img)


def median_blur(src=None, ksize=3):
    ksize = odd_kernel(ksize)
    max_value = max_value_of(src)
    src = to_working_u8(src, max_value)
    blur_img = cv2.medianBlur(src, ksize)
    return restore_u16(blur_img)


def gaussian_blur(src=None, ksize=3):
    ksize = odd_kernel(ksize)
    max_value = max_value_of(src)
    src = to_working_u8(src, max_value)
    blur_img = cv2.GaussianBlur(src, (ksize, ksize), 0)
    return restore_u16(blur_img)
