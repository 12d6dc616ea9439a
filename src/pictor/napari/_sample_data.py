"""Sample images: the bundled photograph, a 12-bit fluorescence-like frame
whose faint structure lives in steps finer than the 8-bit working copy keeps,
and a 12-bit z-stack of nuclei with a microscope's pixel size."""

from pathlib import Path

import numpy as np

PHOTOGRAPH = Path(__file__).resolve().parent.parent / "data" / "camera.png"
FLUORESCENCE_SHAPE = (384, 384)
CAMERA_BITS = 12
# Dim cells over a dark background: about 100 to 600 counts of 4095, which the
# 8-bit working copy (v // 257) folds into the three levels 0, 1 and 2.
BACKGROUND, CELL_PEAK, CELLS, SEED = 100.0, 500.0, 40, 25


def photograph():
    import cv2

    image = cv2.imread(str(PHOTOGRAPH), cv2.IMREAD_UNCHANGED)
    return [(image, {"name": "camera"}, "image")]


def fluorescence_12bit():
    rng = np.random.default_rng(SEED)
    rows, cols = np.indices(FLUORESCENCE_SHAPE, dtype=np.float64)
    signal = np.full(FLUORESCENCE_SHAPE, BACKGROUND)
    for row, col, radius in zip(rng.uniform(0, FLUORESCENCE_SHAPE[0], CELLS),
                                rng.uniform(0, FLUORESCENCE_SHAPE[1], CELLS), rng.uniform(5, 14, CELLS)):
        signal += CELL_PEAK * np.exp(-((rows - row) ** 2 + (cols - col) ** 2) / (2 * radius ** 2))
    counts = rng.poisson(signal)  # photon noise, as a camera records it
    image = np.clip(counts, 0, 2 ** CAMERA_BITS - 1).astype(np.uint16)
    return [(image, {"name": "fluorescence 12-bit", "contrast_limits": (0, int(image.max()))}, "image")]


STACK_SHAPE = (24, 256, 256)
# A confocal stack's voxel: 0.5 um between planes, 0.2 um pixels.
STACK_SCALE, STACK_UNITS = (0.5, 0.2, 0.2), ("um", "um", "um")
# The brightest samples shown saturated: a nucleus' core, not a noise peak, sets the display.
DISPLAY_PERCENTILE = 99.5
NUCLEI, NUCLEUS_PEAK, NUCLEUS_RADIUS = 70, 1500.0, (3.0, 14.0)  # radius in planes, in pixels


def nuclei_stack_12bit():
    """Ellipsoidal nuclei of different brightness in a dim, noisy background."""
    rng = np.random.default_rng(SEED)
    signal = np.full(STACK_SHAPE, BACKGROUND)
    planes, rows, cols = (np.arange(n, dtype=np.float64) for n in STACK_SHAPE)
    for _ in range(NUCLEI):
        centre = rng.uniform(0, 1, 3) * STACK_SHAPE
        radius = np.array([NUCLEUS_RADIUS[0], *rng.uniform(0.6, 1.0, 2) * NUCLEUS_RADIUS[1]])
        peak = NUCLEUS_PEAK * rng.uniform(0.3, 1.0)
        z, y, x = ((axis - c) / r for axis, c, r in zip((planes, rows, cols), centre, radius))
        signal += peak * np.exp(-(z[:, None, None] ** 2 + y[None, :, None] ** 2 + x[None, None, :] ** 2) ** 2)
    counts = rng.poisson(signal)
    image = np.clip(counts, 0, 2 ** CAMERA_BITS - 1).astype(np.uint16)
    options = {"name": "nuclei z-stack 12-bit", "scale": STACK_SCALE, "units": STACK_UNITS,
               "colormap": "green", "contrast_limits": (int(BACKGROUND), int(np.percentile(image, DISPLAY_PERCENTILE)))}
    return [(image, options, "image")]
