"""GeometricTransformation: the array methods (crop_return works on files)."""
from . import GREY8, GREY16, IMAGE_KINDS, reference

ref = reference("geometric_transformation")

CASES = [
    ("GeometricTransformation", "rotate", {}, ref.rotate, IMAGE_KINDS),
    ("GeometricTransformation", "rotate", {"angle": 45}, ref.rotate, IMAGE_KINDS),
    ("GeometricTransformation", "flip", {}, ref.flip, IMAGE_KINDS),
    ("GeometricTransformation", "resize", {}, ref.resize, (GREY16, GREY8)),
    ("GeometricTransformation", "crop", {"start_x": 100, "start_y": 200, "width": 512, "height": 512}, ref.crop,
     IMAGE_KINDS),
]
