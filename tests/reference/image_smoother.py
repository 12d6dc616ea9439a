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


def nlm_blur(src=None, denoising_strength=3, template_win=7, search_win=21):
    denoising_strength = odd_kernel(denoising_strength)
    template_win = odd_kernel(template_win)
    search_win = odd_kernel(search_win)
    max_value = max_value_of(src)
    src = to_working_u8(src, max_value)
    blur_img = cv2.fastNlMeansDenoising(src, None, denoising_strength, template_win, search_win)
    return restore_u16(blur_img)


def bilateral_filter(src=None, ksize=9, sigma_color=75, sigma_space=75):
    ksize = odd_kernel(ksize)
    sigma_color = odd_kernel(sigma_color)
    sigma_space = odd_kernel(sigma_space)
    max_value = max_value_of(src)
    src = to_working_u8(src, max_value)
    blur_img = cv2.bilateralFilter(src, ksize, sigma_color, sigma_space)
    return restore_u16(blur_img)
