// FeatureDetection: Canny edge maps.
#include "frame/depth.h"
#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {
namespace {

// cv2.Canny answers an empty image with None; the restore's `edges / 255`
// then fails, and so does this.
void require_edge_map(const Ref& edges, Where where = Where::current()) {
  if (PyArray_Check(edges.get())) return;
  Ref divisor = to_py(255);
  checked(PyNumber_TrueDivide(edges.get(), divisor.get()), where);
}

// Edges of the 8-bit working copy (thresholds on the 8-bit scale), 0/255 restored to 0/65535.
Ref canny_edge(const Args& args) {
  Ref src = args.get("src");
  Ref low_thr = args.get("low_thr");
  Ref high_thr = args.get("high_thr");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref edges = cv2("Canny", working, low_thr, high_thr);
  require_edge_map(edges);
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
