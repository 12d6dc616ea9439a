"""ImageSegmenter: the four binarisations at their defaults, and the local walk
and the adaptive mean at other settings."""
from . import IMAGE_KINDS, reference

ref = reference("image_segmenter")

CASES = [
    ("ImageSegmenter", "local_histogram_threshold_segmentation", {}, ref.local_histogram_threshold_segmentation,
     IMAGE_KINDS),
    ("ImageSegmenter", "local_histogram_threshold_segmentation", {"low_thr": 0},
     ref.local_histogram_threshold_segmentation, IMAGE_KINDS),
    ("ImageSegmenter", "maximum_entropy_threshold_segmentation", {}, ref.maximum_entropy_threshold_segmentation,
     IMAGE_KINDS),
    ("ImageSegmenter", "maximum_inter_class_variance_segmentation", {},
     ref.maximum_inter_class_variance_segmentation, IMAGE_KINDS),
    ("ImageSegmenter", "adaptive_threshold_segmentation", {}, ref.adaptive_threshold_segmentation, IMAGE_KINDS),
    ("ImageSegmenter", "adaptive_threshold_segmentation", {"ksize": 15, "ratio": 0.05},
     ref.adaptive_threshold_segmentation, IMAGE_KINDS),
]
