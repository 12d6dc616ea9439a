"""Sample images: the bundled photograph, and a 12-bit fluorescence-like frame
whose faint structure lives in steps finer than the 8-bit working copy keeps."""

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
