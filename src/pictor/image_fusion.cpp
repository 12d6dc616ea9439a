// ImageFusion: multiply and screen blending of an image with itself.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& image_fusion_class() {
  static const ClassSpec spec{"ImageFusion",
                              {
                                  positional("_init", init_with_utility_tool, {}),
                                  keywords("multiply_fusion", nullptr, {{"src", nullptr}}),
                                  keywords("screen_fusion", nullptr, {{"src", nullptr}}),
                              }};
  return spec;
}

}  // namespace pictor
