"""ImageEnhancer: unsharp masking, Laplacian sharpening and gradient details."""
from . import COLOUR16, GREY16, reference

ref = reference("image_enhancer")
KINDS = (GREY16, COLOUR16)

CASES = [
    ("ImageEnhancer", "unsharpen_mask", {}, ref.unsharpen_mask, KINDS),
    ("ImageEnhancer", "laplacian_enhancement", {}, ref.laplacian_enhancement, KINDS),
    ("ImageEnhancer", "laplacian_enhancement", {"alpha": 2}, ref.laplacian_enhancement, KINDS),
    ("ImageEnhancer", "enhance_details", {}, ref.enhance_details, KINDS),
]
