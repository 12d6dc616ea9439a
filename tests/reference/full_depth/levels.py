"""Full-depth recipes: equalisation, stretching and threshold searches over 65,536 levels.

Every histogram here counts each of the 65,536 levels exactly (``np.bincount``).
The stretch's level limits (working levels) are multiplied by 257; the
threshold searches run on the image's own range (``own_range``): their level
limits and distances, given on 0..255, are scaled to the image stretched from
its lowest to its highest level.
"""
import cv2
import numpy as np

from reference.image_smoother import odd_kernel

LEVELS = 65536
FULL = 65535
SCALE = 257

KEYWORD_CASES = {
    "adaptive_histogram_truncation_stretched": [
        {}, {"scale_l": 1}, {"scale_l": 1, "scale_r": 0.8}, {"scale_r": 0}, {"scale_l": 2, "scale_r": 0.5}],
    "local_histogram_threshold_segmentation": [{}, {"low_thr": 0}, {"low_thr": 100}, {"low_thr": 250}],
    "adaptive_threshold_segmentation": [
        {}, {"ksize": 4}, {"ksize": 0}, {"ksize": 15, "ratio": 0}, {"ratio": 1}, {"ksize": 31, "ratio": 0.05},
        {"ksize": 41}, {"ksize": 181}, {"ksize": 201}, {"ksize": 999}],
}
BINARY = {
    "local_histogram_threshold_segmentation", "maximum_entropy_threshold_segmentation",
    "maximum_inter_class_variance_segmentation", "adaptive_threshold_segmentation",
}


def own_range(src):
    """(z, lowest, step, span): the image as range levels z, every sample
    lowest + step * z with step the greatest common divisor of the present
    levels' distances from the lowest (1 for one level)."""
    present = np.unique(src).astype(np.int64)
    lowest = int(present[0])
    step = int(np.gcd.reduce(present - lowest)) or 1
    z = ((src.astype(np.int64) - lowest) // step).astype(np.uint16)
    return z, lowest, step, int(present[-1] - lowest) // step


def first_range_level(working, span):
    """The first range level at or above `working` on 0..255: ceil(working * span / 255)."""
    return -(-working * span // 255)


def range_distance(working, span):
    """The most range levels within `working` working levels: floor(working * span / 255)."""
    return working * span // 255


def above_range_level(src, lowest, step, z):
    """Samples above range level z become 65535, the others 0."""
    return above(src, lowest + step * z)


def level_counts(values):
    return np.bincount(values.ravel(), minlength=LEVELS)


def above(src, level):
    """Samples above `level` become 65535, the others 0."""
    return np.where(src > level, FULL, 0).astype(np.uint16)


# --- equalisation and stretching --------------------------------------------------------------

def histogram_enhancement(src):
    counts = level_counts(src)
    present = np.flatnonzero(counts)
    if present.size == 0:
        return src.copy()
    first = present[0]
    if counts[first] == src.size:  # one level: kept as it is
        return src.copy()
    beyond_first = np.cumsum(counts) - counts[first]
    table = np.round(beyond_first * (FULL / (src.size - counts[first])))
    table[:first] = 0
    return table.astype(np.uint16)[src]


def boundaries(counts, low, l_scale, r_scale):
    """The 1 % tails of counts[low:] either side of its peak (one bin per
    level, both walks starting at the peak); the boundaries scaled and clipped
    to [0, 65535]."""
    hist = counts[low:]
    total = hist.sum()
    peak = int(np.argmax(hist))
    with np.errstate(invalid="ignore"):
        upper_share = np.cumsum(hist[::-1])[::-1] / total     # share of bin k and above
        lower_share = (np.cumsum(hist) - hist) / total          # share strictly below bin k
    right_stops = np.flatnonzero(upper_share[peak:hist.size - 1] <= 0.01)
    right = peak + right_stops[0] if right_stops.size else hist.size - 1
    left_stops = np.flatnonzero(lower_share[1:peak + 1] <= 0.01)
    left = left_stops[-1] + 1 if left_stops.size else 0
    # The 8-bit walk steps to the next bin and takes its upper edge: steps of
    # one working level. Past a stepping walk the boundary lies two working
    # levels above the last level whose tail share exceeds 1 %, else one above the peak.
    headroom = 2 * SCALE - 1 if right > peak else SCALE
    left_edge, right_edge = np.float64(low + left), np.float64(low + right + headroom)
    return np.clip(left_edge * l_scale, 0, FULL), np.clip(right_edge * r_scale, 0, FULL)


def adaptive_histogram_truncation_stretched(src, scale_l=0, scale_r=1):
    min_val, max_val = boundaries(level_counts(src), 10 * SCALE, scale_l, scale_r)
    if max_val == min_val:  # 0 / 0: every sample at the lower limit
        return np.zeros(src.shape, np.uint16)
    # float32 throughout, as NumPy 1.x evaluates the 8-bit method's stretch
    # (the float64 boundaries act as float32 scalars).
    low, high, span = np.float32(min_val), np.float32(max_val), np.float32(max_val - min_val)
    img_clipped = np.clip(src.astype(np.float32), low, high)
    return ((img_clipped - low) / span * np.float32(FULL)).astype(np.uint16)


# --- threshold searches -----------------------------------------------------------------------

def kept_summary(counts):
    """normalize_and_calculate_variance of a stretch of counts, as the walk uses it:
    (kept, mean of the counts >= 1, their minimum, first position of it)."""
    kept = counts[counts >= 1]
    if kept.size == 0:
        return 0, 0, 0, 0
    low = kept.min()
    return kept.size, np.mean(kept), low, int(np.flatnonzero(counts == low)[0])


def local_histogram_walk(hist, same_peak, window):
    """The walk right of the highest peak of `hist` (float64 counts); the chosen position."""
    max_index = int(np.argmax(hist))
    max_value = init_max_value = hist[max_index]
    best_index = current_index = max_index
    right = np.arange(max_index + 1, hist.size)
    candidates = right[np.argsort(-hist[right], kind="stable")]
    count = 0
    for i in range(len(right) - 10):
        if count > 5:
            best_index = current_index
            break
        current_index = int(candidates[i])
        current_value = hist[current_index]
        if current_value > max_value * 0.3:
            if abs(current_index - max_index) > same_peak:
                _, mean_value, min_value, min_index = kept_summary(hist[max_index + 1:current_index])
                if mean_value == 0:
                    count += 1
                elif mean_value < current_value * 0.5 or abs(min_value - mean_value) > 200:
                    best_index = max_index + min_index
                    break
                else:
                    count += 1
            elif current_value < init_max_value * 0.2:
                best_index = current_index
                break
            else:
                max_index, max_value = current_index, current_value
        else:
            kept, mean_value, min_value, min_index = kept_summary(hist[current_index:current_index + window])
            if kept > 3:
                best_index = current_index if abs(current_value - mean_value) < 300 else max_index + min_index
                break
            count += 1
    return best_index


def local_histogram_threshold_segmentation(src, low_thr=10):
    # On channel 0's range: the counted levels (working levels low_thr to
    # 250) and the walk's distances (4 working levels to a separate peak, a
    # window of 10) stretched to its span.
    channel = src if src.ndim == 2 else src[..., 0]
    z, lowest, step, span = own_range(channel)
    first = first_range_level(low_thr, span)
    end = min(first_range_level(251, span), span + 1)
    if first >= end:  # nothing counted: the 8-bit walk of an empty histogram, stretched
        working = low_thr + local_histogram_walk(np.zeros(251 - low_thr), 4, 10)
        return above_range_level(src, lowest, step, range_distance(working, span))
    hist = level_counts(z)[first:end].astype(np.float64)
    best = local_histogram_walk(hist, range_distance(4, span), first_range_level(10, span))
    return above_range_level(src, lowest, step, first + best)


def entropy_threshold(counts, span):
    """On range-level counts: min(p + floor(span / 255), q) for the first
    split t that maximises the summed entropies of background [first, t) and
    foreground [t, end) (working levels 5 and 250 stretched to the span), each
    H = log2(mass) - sum(c * log2(c)) / mass, p the background's highest and q
    the foreground's lowest present level; 0 when no split has both classes
    non-empty."""
    first, end = first_range_level(5, span), min(first_range_level(250, span), span + 1)
    hist = counts[first:end].astype(np.float64)
    if hist.size == 0:
        return 0
    terms = hist * np.log2(np.maximum(hist, 1.0))
    back_mass = np.concatenate(([0.0], np.cumsum(hist)[:-1]))
    back_terms = np.concatenate(([0.0], np.cumsum(terms)[:-1]))
    fore_mass = np.cumsum(hist[::-1])[::-1]
    fore_terms = np.cumsum(terms[::-1])[::-1]
    valid = (back_mass > 0) & (fore_mass > 0)
    if not valid.any():
        return 0
    with np.errstate(divide="ignore", invalid="ignore"):
        back_entropy = np.log2(back_mass) - back_terms / back_mass
        fore_entropy = np.log2(fore_mass) - fore_terms / fore_mass
    total = np.where(valid, back_entropy + fore_entropy, -np.inf)
    split = int(np.argmax(total))
    # The 8-bit method's binarisation puts its threshold level, one working
    # level wide, into the background: the foreground's lowest level q goes
    # there too when it lies within one working level of the background's highest.
    lowest = split + int(np.flatnonzero(hist[split:])[0])
    return first + min(split - 1 + range_distance(1, span), lowest)


def maximum_entropy_threshold_segmentation(src):
    z, lowest, step, span = own_range(src)
    return above_range_level(src, lowest, step, entropy_threshold(level_counts(z), span))


def inter_class_variance_threshold(counts):
    hist = counts
    bin_edges = np.arange(hist.size + 1)
    bin_centers = (bin_edges[:-1] + bin_edges[1:]) / 2
    total_pixels = hist.sum()
    cum_hist = np.cumsum(hist)
    cum_mean = np.cumsum(bin_centers * hist)
    total_mean = cum_mean[-1] / total_pixels
    weight_bg = cum_hist[:-1] / total_pixels
    weight_fg = 1 - weight_bg
    mean_bg = cum_mean[:-1] / (cum_hist[:-1] + 1e-06)
    mean_fg = (total_mean * total_pixels - cum_mean[:-1]) / (total_pixels - cum_hist[:-1] + 1e-06)
    between_class_variance = weight_bg * weight_fg * (mean_bg - total_mean) ** 2 + \
        weight_fg * weight_bg * (mean_fg - total_mean) ** 2
    return int(np.argmax(between_class_variance)) if between_class_variance.size else 0


def maximum_inter_class_variance_segmentation(src):
    z, lowest, step, span = own_range(src)
    counts = np.bincount(z.ravel(), minlength=span + 1)
    return above_range_level(src, lowest, step, inter_class_variance_threshold(counts))


def adaptive_threshold_segmentation(src, ksize=3, ratio=0.15):
    """On the range levels z (0 at the image's lowest level)."""
    src = own_range(src)[0]
    ksize = odd_kernel(ksize)
    src_mean = cv2.boxFilter(src, cv2.CV_32F, (ksize, ksize))
    out = src - np.float32(1.0 - ratio) * src_mean
    return np.where(out >= 0, FULL, 0).astype(np.uint16)
