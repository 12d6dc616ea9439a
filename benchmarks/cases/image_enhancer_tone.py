"""ImageEnhancer: the tone effects."""
from . import COLOUR16, GREY16, reference

ref = reference("image_enhancer")
KINDS = (GREY16, COLOUR16)

CASES = [
    ("ImageEnhancer", "shadows_highlight", {}, ref.shadows_highlight, KINDS),
    ("ImageEnhancer", "glow", {}, ref.glow, KINDS),
    ("ImageEnhancer", "brightness_contrast", {}, ref.brightness_contrast, KINDS),
    ("ImageEnhancer", "brightness_contrast", {"brightness": 10, "contrast": 2}, ref.brightness_contrast, KINDS),
    ("ImageEnhancer", "east", {}, ref.east, KINDS),
]
