"""Full-depth recipes: sharpening, tone effects and super-resolution.

The 8-bit methods' steps on the uint16 image's own levels: where they clip to
[0, 255] these clip to [0, 65535]; brightness offsets are in sample levels
(times 257); weights, gammas, sigmas and sides are unchanged. The 8-bit-only
OpenCV helpers become explicit NumPy: convertScaleAbs is the absolute value
saturated to 65535 (Sobel sums of integers are integers), addWeighted the
weighted sum in float64 rounded half to even and saturated.
"""
import cv2
import numpy as np

from reference.deep_learning import open_session
from reference.image_smoother import odd_kernel

KEYWORD_CASES = {
    "unsharpen_mask": [{}, {"alpha": 0}, {"alpha": 10, "ksize": 4}, {"ksize": 0}, {"alpha": 3, "ksize": 15}],
    "laplacian_enhancement": [{}, {"alpha": 2, "beta": -10}, {"alpha": 0.5, "beta": 10}, {"beta": 0}],
    "enhance_details": [{}],
    "glow": [{}, {"radius": 0, "intensity": 10}, {"radius": 3, "intensity": 2}, {"radius": 12, "intensity": 0}],
    "shadows_highlight": [{}, {"shadow": 0, "highlight": 0}, {"shadow": 10, "highlight": 0.25}],
    "brightness_contrast": [{}, {"brightness": 10, "contrast": 2}, {"brightness": -255, "contrast": 10},
                            {"brightness": 37.5, "contrast": 0.3}],
    "super_resolution": [{}],
}
BINARY = set()

FULL_SCALE = 65535
LEVEL_SCALE = 257


def unsharpen_mask(src, alpha=1.5, ksize=5):
    ksize = odd_kernel(ksize)
    gauss_out = cv2.GaussianBlur(src, (ksize, ksize), 0).astype('float32')
    return np.clip((src - gauss_out) * alpha + src, 0, FULL_SCALE).astype(np.uint16)


def laplacian_enhancement(src, alpha=1.0, beta=0.1):
    laplacian = cv2.Laplacian(src, cv2.CV_32F)
    # An integer alpha is a plain number here (the 8-bit method wraps it in uint8).
    sharpened = src * float(alpha) - laplacian * beta
    return np.clip(sharpened, 0, FULL_SCALE).astype(np.uint16)


def mean_gradient_magnitude(image):
    """addWeighted(|d/dx|, 0.5, |d/dy|, 0.5, 0) of 3x3 Sobel gradients, at 16 bits."""
    sobelx = np.minimum(np.abs(cv2.Sobel(image, cv2.CV_64F, 1, 0, ksize=3)), FULL_SCALE)
    sobely = np.minimum(np.abs(cv2.Sobel(image, cv2.CV_64F, 0, 1, ksize=3)), FULL_SCALE)
    return np.rint(sobelx * 0.5 + sobely * 0.5).astype(np.uint16)


def enhance_details(src):
    image = cv2.GaussianBlur(src, (3, 3), 0)
    sobelxy = mean_gradient_magnitude(image)
    return np.clip(np.rint(src + sobelxy * 0.2), 0, FULL_SCALE).astype(np.uint16)


def glow(src, radius=50, intensity=1.2):
    edges = mean_gradient_magnitude(src)
    glow_img = cv2.GaussianBlur(edges, (radius * 2 + 1, radius * 2 + 1), 0)
    # An integer intensity is a plain number here (the 8-bit method wraps it in uint8).
    glow_img = np.clip(glow_img * float(intensity), 0, FULL_SCALE).astype(np.uint16)
    return np.minimum(src.astype(np.int64) + glow_img, FULL_SCALE).astype(np.uint16)


def shadows_highlight(src, shadow=0.5, highlight=0.5):
    img_float = src.astype(np.float32) / 65535.0
    shadows_mask = cv2.GaussianBlur(img_float, (0, 0), sigmaX=50)
    highlights_mask = 1 - shadows_mask
    shadows_adjusted = img_float * (1 + shadow * shadows_mask)
    highlights_adjusted = shadows_adjusted * (1 + highlight * highlights_mask)
    result = np.clip(highlights_adjusted, 0, 1)
    return (result * 65535.0).astype(np.uint16)


def brightness_contrast(src, brightness=0, contrast=1):
    image = src.astype(np.float32)
    return np.clip(image * contrast + brightness * LEVEL_SCALE, 0, FULL_SCALE).astype(np.uint16)


def super_resolution(src, session=None):
    height, width = src.shape[:2]
    img = cv2.cvtColor(src, cv2.COLOR_GRAY2RGB)
    img = cv2.resize(img, (512, 512), interpolation=cv2.INTER_CUBIC)
    img = img.astype(np.float32) / 65535.0
    img_tensor = np.transpose(img, (2, 0, 1))[np.newaxis, ...]
    session = open_session() if session is None else session
    output_tensor = session.run([session.get_outputs()[0].name], {session.get_inputs()[0].name: img_tensor})[0]
    output = np.transpose(np.clip(output_tensor.squeeze(0), 0, 1), (1, 2, 0))
    output_img = (output * 65535.0).round().astype(np.uint16)
    output_img = cv2.resize(output_img, (width, height), interpolation=cv2.INTER_CUBIC)
    return cv2.cvtColor(output_img, cv2.COLOR_RGB2GRAY)
