"""FeatureDetection: Canny edges at the default and at low thresholds."""
from . import IMAGE_KINDS, reference

ref = reference("feature_detection")

CASES = [
    ("FeatureDetection", "canny_edge", {}, ref.canny_edge, IMAGE_KINDS),
    ("FeatureDetection", "canny_edge", {"low_thr": 10, "high_thr": 30}, ref.canny_edge, IMAGE_KINDS),
]
