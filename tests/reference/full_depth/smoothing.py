"""Full-depth recipes: blurs, denoising and Canny edges."""
import math

import cv2
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from reference.full_depth import levels
from reference.image_smoother import odd_kernel

LEVEL_SCALE = 257  # one working level in 16-bit levels (reference.full_depth.LEVEL_SCALE)

KEYWORD_CASES = {
    "gaussian_blur": [{}, {"ksize": 4}, {"ksize": 0}, {"ksize": 15}],
    "mean_blur": [{}, {"ksize": 2}, {"ksize": 0}, {"ksize": 15}],
    "median_blur": [{}, {"ksize": 0}, {"ksize": 4}, {"ksize": 7}, {"ksize": 15}, {"ksize": 24}, {"ksize": 61}],
    "bilateral_filter": [{}, {"sigma_color": 10, "sigma_space": 4}, {"ksize": 0}, {"sigma_color": 50.5}],
    "nlm_blur": [{}, {"denoising_strength": 10}, {"denoising_strength": 0.5, "template_win": 4, "search_win": 9}],
    "canny_edge": [{}, {"low_thr": 10, "high_thr": 30}, {"low_thr": 120, "high_thr": 40},
                   {"low_thr": 20.7, "high_thr": 60.2}, {"low_thr": 0, "high_thr": 0}],
}
BINARY = {"canny_edge"}


def gaussian_blur(src, ksize=3):
    ksize = odd_kernel(ksize)
    return cv2.GaussianBlur(src, (ksize, ksize), 0)


def mean_blur(src, ksize=3):
    ksize = odd_kernel(ksize)
    return cv2.blur(src, (ksize, ksize))


# Output rows per slice of the plain median: bounds its window copies.
MEDIAN_ROWS_PER_SLICE = 64


def median_blur(src, ksize=3):
    """OpenCV's own 16-bit median for sides 1, 3 and 5; any larger side: the
    median of the ksize x ksize window over the replicated border."""
    ksize = odd_kernel(ksize)
    if ksize <= 5:
        return cv2.medianBlur(src, ksize)
    radius = ksize // 2
    planes = src[..., None] if src.ndim == 2 else src
    padded = np.pad(planes, ((radius, radius), (radius, radius), (0, 0)), mode="edge")
    out = np.empty_like(planes)
    middle = ksize * ksize // 2
    for top in range(0, planes.shape[0], MEDIAN_ROWS_PER_SLICE):
        bottom = min(top + MEDIAN_ROWS_PER_SLICE, planes.shape[0])
        windows = sliding_window_view(padded[top:bottom + 2 * radius], (ksize, ksize), axis=(0, 1))
        windows = windows.reshape(windows.shape[:3] + (ksize * ksize,))
        out[top:bottom] = np.partition(windows, middle, axis=-1)[..., middle]
    return out.reshape(src.shape)


def bilateral_filter(src, ksize=9, sigma_color=75, sigma_space=75):
    """OpenCV's float32 bilateral filter, colour sigma in 16-bit levels,
    rounded half to even and saturated to uint16."""
    ksize = odd_kernel(ksize)
    sigma_color = odd_kernel(sigma_color) * LEVEL_SCALE
    sigma_space = odd_kernel(sigma_space)
    blurred = cv2.bilateralFilter(src.astype(np.float32), ksize, sigma_color, sigma_space)
    return np.clip(np.rint(blurred), 0, 65535).astype(np.uint16)


def nearest_power_of_2(value):
    """The exponent of the smallest power of 2 at least value."""
    power = 0
    while (1 << power) < value:
        power += 1
    return power


# Fixed-point weights of the means: 32-bit weights, 64-bit sums.
WEIGHT_LIMIT = 2 ** 31 - 1
SUM_LIMIT = 2 ** 63 - 1
# Weights below this fraction of the fixed-point one count as 0.
WEIGHT_THRESHOLD = 0.001
# Patch distances in 16-bit levels squared are 2^16 times (about 257^2 times)
# those in 8-bit levels: they are binned 2^16 times as coarsely.
DISTANCE_BIN_SHIFT = 16


def nlm_blur(src, denoising_strength=3, template_win=7, search_win=21):
    """OpenCV's 8-bit non-local means (L2 patch distance), step for step, on
    the image's own levels: h times 257, weights tabulated over the patch
    distance binned by 2^16 more, 32-bit fixed-point weights, the weighted
    mean rounded half up."""
    h = odd_kernel(denoising_strength) * LEVEL_SCALE
    tr, sr = int(odd_kernel(template_win)) // 2, int(odd_kernel(search_win)) // 2  # window sizes as plain ints
    tws, sws = 2 * tr + 1, 2 * sr + 1
    planes = src[..., None] if src.ndim == 2 else src
    rows, cols, channels = planes.shape
    border = sr + tr
    framed = np.pad(planes.astype(np.float64), ((border, border), (border, border), (0, 0)), mode="reflect")
    # The weight of every binned distance: exp(-dist / (h^2 * channels)), h
    # in float32 as OpenCV takes it.
    fixed_point = min(SUM_LIMIT // (sws * sws * 65535), WEIGHT_LIMIT)
    shift = nearest_power_of_2(tws * tws) + DISTANCE_BIN_SHIFT
    bins = (65535 * 65535 * channels * tws * tws >> shift) + 1
    spread = np.float32(h) * np.float32(h) * np.float32(channels)
    with np.errstate(invalid="ignore", divide="ignore"):
        unit = np.exp(-(np.arange(bins, dtype=np.float64) * (float(1 << shift) / (tws * tws))) / np.float64(spread))
    unit[np.isnan(unit)] = 1.0
    weights = np.rint(fixed_point * unit).astype(np.int64)
    weights[weights < WEIGHT_THRESHOLD * fixed_point] = 0
    # Every offset of the search window: its patch distances (sums of
    # integers, exact in float64), weights and weighted samples.
    patches = framed[sr:sr + rows + 2 * tr, sr:sr + cols + 2 * tr]
    sums = np.zeros(planes.shape, np.int64)
    total = np.zeros((rows, cols), np.int64)
    for dy in range(sws):
        for dx in range(sws):
            moved = framed[dy:dy + rows + 2 * tr, dx:dx + cols + 2 * tr]
            squares = ((patches - moved) ** 2).sum(axis=2)
            distance = cv2.boxFilter(squares, -1, (tws, tws), normalize=False, borderType=cv2.BORDER_CONSTANT)
            weight = weights[distance[tr:tr + rows, tr:tr + cols].astype(np.int64) >> shift]
            sums += weight[..., None] * moved[tr:tr + rows, tr:tr + cols].astype(np.int64)
            total += weight
    return ((sums + (total // 2)[..., None]) // total[..., None]).astype(np.uint16).reshape(src.shape)


# tan(22.5 degrees) in Q15, as the 8-bit detector splits gradient directions.
TAN22_Q15 = 13573


def canny_edge(src, low_thr=50, high_thr=100):
    """The 8-bit detector's steps on the image's own levels: 3x3 Sobel with
    replicated border in integers, L1 magnitude (a colour pixel takes the
    channel of largest magnitude, the first of equals), non-maximum
    suppression in four sectors, hysteresis over 8-connected weak pixels;
    all on the image's range levels (all samples); the thresholds, given on
    0..255, times span / 255 (257 on a full range), ordered, floored."""
    src, _, _, span = levels.own_range(src)
    scale = span / 255
    low, high = sorted((low_thr * scale, high_thr * scale))
    low, high = math.floor(low), math.floor(high)
    planes = src[..., None] if src.ndim == 2 else src

    def sobel(dx, dy):
        return np.stack([cv2.Sobel(planes[..., c].astype(np.float32), cv2.CV_32F, dx, dy, ksize=3,
                                   borderType=cv2.BORDER_REPLICATE) for c in range(planes.shape[2])],
                        axis=2).astype(np.int64)

    gx, gy = sobel(1, 0), sobel(0, 1)
    magnitudes = np.abs(gx) + np.abs(gy)
    strongest = np.argmax(magnitudes, axis=2)[..., None]
    gx = np.take_along_axis(gx, strongest, 2)[..., 0]
    gy = np.take_along_axis(gy, strongest, 2)[..., 0]
    m = np.take_along_axis(magnitudes, strongest, 2)[..., 0]
    framed = np.pad(m, 1)  # beyond the image the magnitude is 0

    def near(dr, dc):
        return framed[1 + dr:framed.shape[0] - 1 + dr, 1 + dc:framed.shape[1] - 1 + dc]

    ax, ay = np.abs(gx), np.abs(gy) << 15
    tan22 = ax * TAN22_Q15
    horizontal = ay < tan22
    vertical = ~horizontal & (ay > tan22 + (ax << 16))
    diagonal = ~horizontal & ~vertical
    opposite = (gx < 0) != (gy < 0)
    maximum = (horizontal & (m > near(0, -1)) & (m >= near(0, 1))) | \
              (vertical & (m > near(-1, 0)) & (m >= near(1, 0))) | \
              (diagonal & ~opposite & (m > near(-1, -1)) & (m > near(1, 1))) | \
              (diagonal & opposite & (m > near(-1, 1)) & (m > near(1, -1)))
    weak = maximum & (m > low)
    strong = weak & (m > high)
    _, labels = cv2.connectedComponents(weak.astype(np.uint8), connectivity=8, ltype=cv2.CV_32S)
    edge_labels = np.unique(labels[strong])
    edges = weak & np.isin(labels, edge_labels)
    return np.where(edges, np.uint16(65535), np.uint16(0))
