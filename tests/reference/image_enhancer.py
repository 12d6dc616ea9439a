"""Reference model of ImageEnhancer.

The private blend methods keep their positional parameters; the public
methods take the keywords of the tool method with the same defaults.
"""
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
