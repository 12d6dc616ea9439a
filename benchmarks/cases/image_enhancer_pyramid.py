"""ImageEnhancer: the Laplacian-pyramid and multi-scale fuse enhancements."""
from . import COLOUR16, GREY16, reference

ref = reference("image_enhancer")
KINDS = (GREY16, COLOUR16)

CASES = [
    ("ImageEnhancer", "laplacian_pyramid", {}, ref.laplacian_pyramid, KINDS),
    ("ImageEnhancer", "multi_scale_fuse_enhancement", {}, ref.multi_scale_fuse_enhancement, KINDS),
    ("ImageEnhancer", "multi_scale_fuse_enhancement", {"mode_fuse": 1, "mode_truncation": 1},
     ref.multi_scale_fuse_enhancement, KINDS),
]
