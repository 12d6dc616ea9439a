// ImageSegmenter: global and local threshold segmentation.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& image_segmenter_class() {
  static const ClassSpec spec{
      "ImageSegmenter",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("local_histogram_threshold_segmentation", nullptr, {{"src", nullptr}, {"low_thr", 10}}),
          keywords("maximum_entropy_threshold_segmentation", nullptr, {{"src", nullptr}}),
          keywords("maximum_inter_class_variance_segmentation", nullptr, {{"src", nullptr}}),
          keywords("adaptive_threshold_segmentation", nullptr, {{"src", nullptr}, {"ksize", 3}, {"ratio", 0.15}}),
      }};
  return spec;
}

}  // namespace pictor
