"""Reference model of ImageEnhancer.

The private blend methods keep their positional parameters; the public
methods take the keywords of the tool method with the same defaults.
"""
import copy

import cv2
import numpy as np

from reference import max_value_of


# --- blends, brightness transfer, histogram stretches, grey-level mappings ---------------

def get_overlay(src, ksize):
    blurimg = cv2.GaussianBlur(src, (ksize, ksize), 0).astype("float32")
    hp = src - blurimg + 32767.5
    overlay = hp / 65535.0
    return overlay


def hard_light(base, overlay, thr):
    mask = base < thr
    T1 = 2 * base * overlay
    T2 = 1 - 2 * (1 - base) * (1 - overlay)
    res = T1 * mask + T2 * (1 - mask)
    return np.clip(res, 0, 1)


def image_overlay(base, overlay, thr):
    mask = overlay < thr
    T1 = 2 * base * overlay
    T2 = 1 - 2 * (1 - base) * (1 - overlay)
    res = T1 * mask + T2 * (1 - mask)
    return np.clip(res, 0, 1)


def _multi_scale_blend(blend, src, init_ksize, multi_scale, step_ksize):
    init_ksize = init_ksize if init_ksize % 2 != 0 else init_ksize + 1
    max_value = max_value_of(src)
    base = src / max_value
    overlay = get_overlay(src, init_ksize)
    overlay_hl = overlay
    for _ in range(multi_scale):
        overlay_hl = blend(overlay_hl, overlay, 0.5)
        base_hl = blend(base, overlay_hl, 0.5)
        init_ksize = init_ksize + step_ksize
        overlay = get_overlay(src, init_ksize)
    hd = (base_hl * 65535).astype(np.uint16)  # noqa: F821 (unbound when the loop never runs)
    return hd


def multi_scale_adaptive_hard_light_enhancement(src=None, init_ksize=11, multi_scale=1, step_ksize=6):
    return _multi_scale_blend(hard_light, src, init_ksize, multi_scale, step_ksize)


def multi_scale_adaptive_image_overlay_enhancement(src=None, init_ksize=31, multi_scale=1, step_ksize=6):
    return _multi_scale_blend(image_overlay, src, init_ksize, multi_scale, step_ksize)


def brightness_transfer(src=None, ratio=0.5):
    max_value_ = max_value_of(src)
    residual = src - np.mean(src)
    transfer = residual + ratio * max_value_
    min_value = np.min(transfer)
    max_value = np.max(transfer)
    transfer_norm = (transfer - min_value) / (max_value - min_value)
    scale_img = transfer_norm * (ratio * max_value_ / np.mean(transfer_norm))
    res = np.clip(scale_img, 0, max_value_).astype(src.dtype)
    return res


def histogram_enhancement(src=None):
    max_value = max_value_of(src)
    x = (src / max_value * 255).astype(np.uint8)
    y = cv2.equalizeHist(x)
    res = (y / 255 * 65535).astype(np.uint16)
    return res


def adaptive_histogram_truncation_stretched(src=None, scale_l=0, scale_r=1):
    from reference import utility_tool  # the tool's own reference (self.tool.get_boundary)

    max_value = max_value_of(src)
    src = (src / max_value * 255.0).astype(np.uint8)
    peak_index, min_val, max_val = utility_tool.get_boundary(src, low_thr=10, high_thr=256,
                                                             l_scale=scale_l, r_scale=scale_r)
    img_float = src.astype(np.float32)
    img_clipped = np.clip(img_float, min_val, max_val)
    stretched_img = ((img_clipped - min_val) / (max_val - min_val) * 255).astype(np.uint8)
    res = (stretched_img / 255 * 65535.0).astype(np.uint16)
    return res


def auto_level(src=None, low_percent=0.01, high_percent=0.01):
    max_value = max_value_of(src)
    image = src.astype(np.float32) / max_value
    I_sort = np.sort(image.ravel())
    total_pixels = image.size
    I_min = I_sort[int(np.floor(total_pixels * low_percent))]
    I_max = I_sort[int(np.floor(total_pixels * (1 - high_percent)))]
    image[image < I_min] = I_min
    image[image > I_max] = I_max
    image_out = np.clip((image - I_min) * (1.0 - I_min) / (I_max - I_min) + I_min, I_min, 1.0)
    autolevelimg = (image_out * 65535).astype(np.uint16)
    return autolevelimg


def gamma_stretched(src=None, gamma_value=0.5):
    max_value = max_value_of(src)
    img = src.astype(np.float32)
    img = np.clip((img / max_value) ** gamma_value, 0, 1)
    img_back = (img * 65535.0).astype(np.uint16)
    return img_back


def maximum_gray_level(src=None):
    max_value = max_value_of(src)
    src = src.astype(np.float32)
    img_back = (src / max_value * 255).astype(np.uint8)
    return img_back


def maximum_grayscale_value(src=None):
    src = src.astype(np.float32)
    img_back = (src / np.max(src) * 255).astype(np.uint8)
    return img_back


# --- Laplacian pyramid, multi-scale fuse, sharpening and tone effects -------------------

def laplacian_pyramid(src=None, min_ksize=7, scale=10, gamma_value=0.4):
    raw_min_ksize = min_ksize
    if min_ksize % 2 == 0:
        min_ksize = min_ksize + 1
    max_ksize = raw_min_ksize + 4
    if max_ksize % 2 == 0:
        max_ksize = max_ksize + 1
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = src.astype(np.float32)
    image = src / max_value
    gamma_img = np.power(image, gamma_value)
    min_gaus = cv2.GaussianBlur(gamma_img, (min_ksize, min_ksize), 0)
    max_gaus = cv2.GaussianBlur(gamma_img, (max_ksize, max_ksize), 0)
    fuse = gamma_img + (min_gaus - max_gaus) * scale
    gauss0 = copy.deepcopy(np.clip(fuse, 0, 1))
    gauss1 = cv2.pyrDown(gauss0)
    gauss2 = cv2.pyrDown(gauss1)
    gauss3 = cv2.pyrDown(gauss2)
    gauss4 = cv2.pyrDown(gauss3)
    lap0 = gauss0 - cv2.pyrUp(gauss1, dstsize=(gauss0.shape[1], gauss0.shape[0]))
    lap1 = gauss1 - cv2.pyrUp(gauss2, dstsize=(gauss1.shape[1], gauss1.shape[0]))
    lap2 = gauss2 - cv2.pyrUp(gauss3, dstsize=(gauss2.shape[1], gauss2.shape[0]))
    lap3 = gauss3 - cv2.pyrUp(gauss4, dstsize=(gauss3.shape[1], gauss3.shape[0]))
    lap0 *= 1.5
    lap1 *= 1.5
    lap2 *= 1.5
    lap3 *= 1.5
    res3 = lap3 + cv2.pyrUp(gauss4, dstsize=(lap3.shape[1], lap3.shape[0]))
    res2 = lap2 + cv2.pyrUp(res3, dstsize=(lap2.shape[1], lap2.shape[0]))
    res1 = lap1 + cv2.pyrUp(res2, dstsize=(lap1.shape[1], lap1.shape[0]))
    res0 = lap0 + cv2.pyrUp(res1, dstsize=(lap0.shape[1], lap0.shape[0]))
    return (np.clip(res0, 0, 1) * 65535).astype(np.uint16)


def multi_scale_fuse_enhancement(src=None, min_ksize=7, max_ksize=11, scale=35, gamma_value=0.35,
                                 high_value=0.8, low_value=0.35, mode_fuse=0, mode_truncation=0):
    if min_ksize % 2 == 0:
        min_ksize = min_ksize + 1
    if max_ksize % 2 == 0:
        max_ksize = max_ksize + 1
    high_value = np.clip(high_value, 0.01, 1)
    low_value = np.clip(low_value, 0.01, 1)
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = src.astype(np.float32)
    image = src / max_value
    gamma_img = np.power(image, gamma_value)
    min_gaus = cv2.GaussianBlur(gamma_img, (min_ksize, min_ksize), 0)
    max_gaus = cv2.GaussianBlur(gamma_img, (max_ksize, max_ksize), 0)
    fuse = gamma_img + (min_gaus - max_gaus) * scale
    if mode_fuse == 0:
        gauss0 = copy.deepcopy(fuse)
    else:
        gauss0 = copy.deepcopy(np.clip(fuse, -0.05, 1))
    gauss1 = cv2.pyrDown(gauss0)
    gauss2 = cv2.pyrDown(gauss1)
    gauss3 = cv2.pyrDown(gauss2)
    gauss4 = cv2.pyrDown(gauss3)
    gauss5 = cv2.pyrDown(gauss4)
    lap0 = gauss0 - cv2.pyrUp(gauss1, dstsize=(gauss0.shape[1], gauss0.shape[0]))
    lap1 = gauss1 - cv2.pyrUp(gauss2, dstsize=(gauss1.shape[1], gauss1.shape[0]))
    lap2 = gauss2 - cv2.pyrUp(gauss3, dstsize=(gauss2.shape[1], gauss2.shape[0]))
    lap3 = gauss3 - cv2.pyrUp(gauss4, dstsize=(gauss3.shape[1], gauss3.shape[0]))
    lap4 = gauss4 - cv2.pyrUp(gauss5, dstsize=(gauss4.shape[1], gauss4.shape[0]))
    lap0 *= high_value * 10
    lap1 *= high_value * 10
    lap2 *= high_value * 10
    lap3 *= low_value * 100
    max_v = np.max(lap3)
    mean_v = np.mean(lap3)
    if mode_truncation == 0:
        lap3 = np.clip(lap3, -0.03, mean_v)
    elif mode_truncation == 1:
        lap3 = np.clip(lap3, -0.05, max_v)
    lap4 *= low_value * 100 * 0.55
    max_v = np.max(lap4)
    mean_v = np.mean(lap4)
    if mode_truncation == 0:
        lap4 = np.clip(lap4, -0.03, mean_v)
    elif mode_truncation == 1:
        lap4 = np.clip(lap4, -0.05, max_v)
    res4 = lap4 + cv2.pyrUp(gauss5, dstsize=(lap4.shape[1], lap4.shape[0]))
    res3 = lap3 + cv2.pyrUp(res4, dstsize=(lap3.shape[1], lap3.shape[0]))
    res2 = lap2 + cv2.pyrUp(res3, dstsize=(lap2.shape[1], lap2.shape[0]))
    res1 = lap1 + cv2.pyrUp(res2, dstsize=(lap1.shape[1], lap1.shape[0]))
    res0 = lap0 + cv2.pyrUp(res1, dstsize=(lap0.shape[1], lap0.shape[0]))
    res0 = (np.clip(res0, 0, 1) * 65535).astype(np.uint16)
    return res0


def unsharpen_mask(src=None, alpha=1.5, ksize=5):
    if ksize % 2 == 0:
        ksize = ksize + 1
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    src = (src / max_value * 255.).astype(np.uint8)
    gauss_out = cv2.GaussianBlur(src, (ksize, ksize), 0).astype('float32')
    usm_img = np.clip((src - gauss_out) * alpha + src, 0, 255).astype(np.uint8)
    res = (usm_img / 255 * 65535.).astype(np.uint16)
    return res


def laplacian_enhancement(src=None, alpha=1.0, beta=0.1):
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    src = (src / max_value * 255.).astype('uint8')
    laplacian = cv2.Laplacian(src, cv2.CV_32F)
    sharpened = src * alpha - laplacian * beta
    sharpened = np.clip(sharpened, 0, 255).astype(np.uint8)
    res = (sharpened / 255 * 65535.).astype(np.uint16)
    return res


def enhance_details(src=None):
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    src = (src / max_value * 255).astype('uint8')
    image = cv2.GaussianBlur(src, (3, 3), 0)
    sobelx = cv2.Sobel(image, cv2.CV_64F, 1, 0, ksize=3)
    sobelx = cv2.convertScaleAbs(sobelx)
    sobely = cv2.Sobel(image, cv2.CV_64F, 0, 1, ksize=3)
    sobely = cv2.convertScaleAbs(sobely)
    sobelxy = cv2.addWeighted(sobelx, 0.5, sobely, 0.5, 0)
    sobelxy_details = cv2.addWeighted(src, 1, sobelxy, 0.2, 0)
    img_back = np.clip(sobelxy_details, 0, 255)
    return (img_back / 255. * 65535.).astype(np.uint16)


def shadows_highlight(src=None, shadow=0.5, highlight=0.5):
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    image = (src / max_value * 255).astype('uint8')
    img_float = image.astype(np.float32) / 255.0
    gray_img = image.astype(np.float32) / 255.0
    shadows_mask = cv2.GaussianBlur(gray_img, (0, 0), sigmaX=50)
    highlights_mask = 1 - shadows_mask
    shadows_adjusted = img_float * (1 + shadow * shadows_mask)
    highlights_adjusted = shadows_adjusted * (1 + highlight * highlights_mask)
    result = np.clip(highlights_adjusted, 0, 1)
    return (result * 65535.0).astype(np.uint16)


def glow(src=None, radius=50, intensity=1.2):
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    image = (src / max_value * 255).astype('uint8')
    grad_x = cv2.Sobel(image, cv2.CV_64F, 1, 0, ksize=3)
    grad_y = cv2.Sobel(image, cv2.CV_64F, 0, 1, ksize=3)
    abs_grad_x = cv2.convertScaleAbs(grad_x)
    abs_grad_y = cv2.convertScaleAbs(grad_y)
    edges = cv2.addWeighted(abs_grad_x, 0.5, abs_grad_y, 0.5, 0)
    glow_img = cv2.GaussianBlur(edges, (radius * 2 + 1, radius * 2 + 1), 0)
    glow_img = np.clip(glow_img * intensity, 0, 255).astype(np.uint8)
    result = np.clip(cv2.addWeighted(image, 1, glow_img, 1, 0), 0, 255)
    return (result / 255.0 * 65535.0).astype(np.uint16)


def brightness_contrast(src=None, brightness=0, contrast=1):
    max_value = 65535.0 if src.dtype == np.uint16 else 255.0
    image = (src / max_value * 255).astype(np.float32)
    result = np.clip(image * contrast + brightness, 0, 255).astype(np.uint8)
    return (result / 255.0 * 65535.0).astype(np.uint16)


def east(src=None):
    kernel = np.array([[1, 2, 1], [0, 1, 0], [-1, -2, -1]], dtype=np.float32)
    dst = cv2.filter2D(src, -1, kernel)
    return dst
