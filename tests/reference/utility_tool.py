"""Reference model of UtilityTool."""
import numpy as np


def convert_rgb_to_ycbcr(img):
    R = img[:, :, 0]
    G = img[:, :, 1]
    B = img[:, :, 2]
    y = 16.0 + (65.738 * R + 129.057 * G + 25.064 * B) / 256.0
    cb = 128.0 + (-37.945 * R - 74.494 * G + 112.439 * B) / 256.0
    cr = 128.0 + (112.439 * R - 94.154 * G - 18.285 * B) / 256.0
    return np.array([y, cb, cr]).transpose([1, 2, 0])


def normalize_and_calculate_variance(lst):
    non_zero_elements = [x for x in lst if x >= 1]
    nozero_len = len(non_zero_elements)
    if nozero_len == 0:
        return 0, 0, 0, 0, 0
    mean_value = np.mean(non_zero_elements)
    min_value = np.min(non_zero_elements)
    min_index = lst.index(min_value)
    max_value = np.max(non_zero_elements)
    normalized_values = [(value - min_value) / (max_value - min_value) for value in non_zero_elements]
    norm_variance = np.var(normalized_values)
    return nozero_len, mean_value, min_value, min_index, norm_variance


def get_boundary(image, low_thr=0, high_thr=256, l_scale=0, r_scale=1):
    hist, bin_edges = np.histogram(image.flatten(), bins=high_thr - low_thr, range=[low_thr, high_thr])
    peak_index = np.argmax(hist)
    right_index = peak_index
    while right_index < len(hist) - 1:
        cumulative_probability = np.sum(hist[right_index:]) / np.sum(hist)
        if cumulative_probability <= 0.01:
            break
        right_index += 1
    right_boundary = bin_edges[right_index + 1]
    left_index = peak_index
    while left_index > 0:
        cumulative_probability = np.sum(hist[:left_index]) / np.sum(hist)
        if cumulative_probability <= 0.01:
            break
        left_index -= 1
    left_boundary = bin_edges[left_index]
    return (peak_index + low_thr, np.clip(left_boundary * l_scale, 0, 255),
            np.clip(right_boundary * r_scale, 0, 255))


def calculate_entropy(probabilities):
    probabilities = probabilities[probabilities > 0]
    entropy = -np.sum(probabilities * np.log2(probabilities))
    return entropy
