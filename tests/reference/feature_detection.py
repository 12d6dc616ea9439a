"""Reference model of FeatureDetection."""
import cv2
import numpy as np


def canny_edge(src=None, low_thr=50, high_thr=100):
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = (src / max_value * 255.).astype(np.uint8)
    edges = cv2.Canny(src, low_thr, high_thr)
    return (edges / 255 * 65535.).astype(np.uint16)
