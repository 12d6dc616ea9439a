"""Reference model of ImageFusion (input-type result, float64 arithmetic)."""
import numpy as np


def multiply_fusion(src=None):
    base = src.astype('float')
    base_norm = base / np.max(base)
    multiply_fusion_img = base_norm * base_norm
    multiply_fusion_img_norm = multiply_fusion_img / np.max(multiply_fusion_img)
    return (multiply_fusion_img_norm * np.max(base)).astype(src.dtype)


def screen_fusion(src=None):
    base = src.astype('float')
    base_norm = base / np.max(base)
    screen_fusion_img = 1 - (1 - base_norm) * (1 - base_norm)
    screen_fusion_img_norm = screen_fusion_img / np.max(screen_fusion_img)
    return (screen_fusion_img_norm * np.max(base)).astype(src.dtype)
