// GeometricTransformation: rotation, flipping, resizing, cropping, crop-and-return.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& geometric_transformation_class() {
  static const ClassSpec spec{
      "GeometricTransformation",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("rotate", nullptr, {{"src", nullptr}, {"angle", 90}, {"scale", 1.0}}),
          keywords("flip", nullptr, {{"src", nullptr}, {"mode", 1}}),
          keywords("resize", nullptr, {{"src", nullptr}, {"scale", 3}}),
          keywords("crop", nullptr,
                   {{"src", nullptr}, {"start_x", 0}, {"start_y", 0}, {"width", 1}, {"height", 1}}),
          keywords("crop_return", nullptr,
                   {{"src", nullptr}, {"start_x", 0}, {"start_y", 0}, {"width", 1}, {"height", 1}}),
      }};
  return spec;
}

}  // namespace pictor
