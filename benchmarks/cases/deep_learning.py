"""DeepLearning: super-resolution through the shipped network and the training-data
preparation, on grey images (both reject colour). Run from the repository root:
the tool and the reference open deeplearning/models/universal.onnx from there."""
from . import GREY8, GREY16, reference

ref = reference("deep_learning")
GREY_KINDS = (GREY16, GREY8)

CASES = [
    ("DeepLearning", "super_resolution", {}, ref.super_resolution, GREY_KINDS),
    ("DeepLearning", "make_data", {}, ref.make_data, GREY_KINDS),
    ("DeepLearning", "make_data", {"scale": 2}, ref.make_data, GREY_KINDS),
    ("DeepLearning", "make_data", {"scale": 4}, ref.make_data, GREY_KINDS),
]
