// FeatureDetection: Canny edge maps.
#include "frame/depth.h"
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {
namespace {

// Edges of the 8-bit working copy (thresholds on the 8-bit scale), 0/255 restored to 0/65535.
Ref canny_edge(const Args& args) {
  Ref src = args.get("src");
  Ref low_thr = args.get("low_thr");
  Ref high_thr = args.get("high_thr");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref edges = cv2("Canny", working, low_thr, high_thr);
  return depth::restore_u16(edges.get());
}

}  // namespace

const ClassSpec& feature_detection_class() {
  static const ClassSpec spec{
      "FeatureDetection",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("canny_edge", canny_edge, {{"src", nullptr}, {"low_thr", 50}, {"high_thr", 100}}),
      }};
  return spec;
}

}  // namespace pictor
