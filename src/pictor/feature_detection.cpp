// FeatureDetection: Canny edge maps.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& feature_detection_class() {
  static const ClassSpec spec{
      "FeatureDetection",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("canny_edge", nullptr, {{"src", nullptr}, {"low_thr", 50}, {"high_thr", 100}}),
      }};
  return spec;
}

}  // namespace pictor
