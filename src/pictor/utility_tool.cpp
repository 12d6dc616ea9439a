// UtilityTool: colour conversion, list statistics, entropy, histogram boundaries.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& utility_tool_class() {
  static const ClassSpec spec{
      "UtilityTool",
      {
          positional("_init", init_nothing, {}),
          positional("convert_rgb_to_ycbcr", nullptr, {{"img"}}),
          positional("normalize_and_calculate_variance", nullptr, {{"lst"}}),
          positional("get_boundary", nullptr,
                     {{"image"}, {"low_thr", 0}, {"high_thr", 256}, {"l_scale", 0}, {"r_scale", 1}}),
          positional("calculate_entropy", nullptr, {{"probabilities"}}),
      }};
  return spec;
}

}  // namespace pictor
