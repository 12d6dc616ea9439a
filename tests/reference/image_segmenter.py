"""Reference model of ImageSegmenter."""
import cv2
import numpy as np

from reference import utility_tool

# The methods' self.tool; tests replace it to follow the calls made through it.
tool = utility_tool


def local_histogram_threshold_segmentation(src=None, low_thr=10):
    max_value_ = 65535. if src.dtype == np.uint16 else 255.
    x = (src / max_value_ * 255).astype(np.uint8)
    hist = cv2.calcHist([x], [0], None, [251 - low_thr], [low_thr, 251])
    hist_list = hist.flatten().tolist()
    max_value = np.max(hist_list)
    init_max_value = max_value
    max_index = hist_list.index(max_value)
    best_index = max_index
    current_index = max_index
    right_list = hist_list[max_index + 1:]
    sorted_right = sorted(enumerate(right_list, start=max_index + 1), key=lambda x: -x[1])
    original_indices_of_sorted_right = [index for index, _ in sorted_right]
    count = 0
    for i in range(len(right_list) - 10):
        if count > 5:
            best_index = current_index
            break
        current_index = original_indices_of_sorted_right[i]
        current_value = hist_list[current_index]
        if current_value > max_value * 0.3:
            if np.abs(current_index - max_index) > 4:
                mid_hist = hist_list[max_index + 1:current_index]
                nozero_len, mean_value, min_value, min_index, norm_variance = \
                    tool.normalize_and_calculate_variance(mid_hist)
                if mean_value == 0:
                    count += 1
                    continue
                elif mean_value < current_value * 0.5:
                    best_index = max_index + min_index
                    break
                elif np.abs(min_value - mean_value) > 200:
                    best_index = max_index + min_index
                    break
                else:
                    count += 1
                    continue
            else:
                if current_value < init_max_value * 0.2:
                    best_index = current_index
                    break
                else:
                    max_index = current_index
                    max_value = current_value
        else:
            right_value_list = hist_list[current_index:current_index + 10]
            filtered_list = [v for v in right_value_list if v >= 1]
            if len(filtered_list) > 3:
                if np.abs(current_value - np.mean(filtered_list)) < 300:
                    best_index = current_index
                    break
                else:
                    min_value = np.min(filtered_list)
                    min_index = right_value_list.index(min_value)
                    best_index = max_index + min_index
                    break
            else:
                count += 1
    _, binary_image = cv2.threshold(x, best_index + low_thr, 255, cv2.THRESH_BINARY)
    res = (binary_image / 255 * 65535.).astype(np.uint16)
    return res


def maximum_entropy_threshold_segmentation(src=None):
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = (src / max_value * 255.).astype(np.uint8)
    hist, bin_edges = np.histogram(src, bins=range(256), density=True)
    best_threshold = 0
    max_entropy = -np.inf
    for t in range(5, 250):
        background = hist[5:t]
        foreground = hist[t:250]
        prob_back = background.sum()
        prob_fore = foreground.sum()
        if prob_back == 0 or prob_fore == 0:
            continue
        back_entropy = tool.calculate_entropy(background / prob_back)
        fore_entropy = tool.calculate_entropy(foreground / prob_fore)
        total_entropy = back_entropy + fore_entropy
        if total_entropy > max_entropy:
            max_entropy = total_entropy
            best_threshold = t
    _, binary_image = cv2.threshold(src, best_threshold, 255, cv2.THRESH_BINARY)
    res = (binary_image / 255 * 65535.).astype(np.uint16)
    return res


def maximum_inter_class_variance_segmentation(src=None):
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = (src / max_value * 255.).astype(np.uint8)
    hist, bin_edges = np.histogram(src, bins=range(257))
    bin_centers = (bin_edges[:-1] + bin_edges[1:]) / 2
    total_pixels = src.size
    cum_hist = np.cumsum(hist)
    cum_mean = np.cumsum(bin_centers * hist)
    total_mean = cum_mean[-1] / total_pixels
    weight_bg = cum_hist[:-1] / total_pixels
    weight_fg = 1 - weight_bg
    mean_bg = cum_mean[:-1] / (cum_hist[:-1] + 1e-06)
    mean_fg = (total_mean * total_pixels - cum_mean[:-1]) / (total_pixels - cum_hist[:-1] + 1e-06)
    between_class_variance = weight_bg * weight_fg * (mean_bg - total_mean) ** 2 + \
        weight_fg * weight_bg * (mean_fg - total_mean) ** 2
    optimal_threshold = np.argmax(between_class_variance)
    _, binary_image = cv2.threshold(src, optimal_threshold, 255, cv2.THRESH_BINARY)
    res = (binary_image / 255 * 65535.).astype(np.uint16)
    return res


def adaptive_threshold_segmentation(src=None, ksize=3, ratio=0.15):
    if ksize % 2 == 0:
        ksize += 1
    max_value = 65535. if src.dtype == np.uint16 else 255.
    src = (src / max_value * 255.).astype(np.uint8)
    src_mean = cv2.boxFilter(src, cv2.CV_32FC1, (ksize, ksize))
    out = src - (1.0 - ratio) * src_mean
    out[out >= 0] = 255
    out[out < 0] = 0
    res = (out / 255 * 65535.).astype(np.uint16)
    return res
