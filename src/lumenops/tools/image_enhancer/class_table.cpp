// ImageEnhancer's methods in their documented order; each family's methods
// live in the file named after it.
#include "tools/image_enhancer/common.h"
#include "tools/tool_classes.h"

namespace pictor {

using namespace enhancer;

const ClassSpec& image_enhancer_class() {
  static const ClassSpec spec{
      "ImageEnhancer",
      {
          positional("_init", init_with_utility_tool, {}),
          positional("__get_overlay", get_overlay, {{"src"}, {"ksize"}}),
          positional("__hard_light", hard_light, {{"base"}, {"overlay"}, {"thr"}}),
          positional("__image_overlay", image_overlay, {{"base"}, {"overlay"}, {"thr"}}),
          keywords("brightness_transfer", brightness_transfer, {{"src", nullptr}, {"ratio", 0.5}}),
          keywords("multi_scale_adaptive_hard_light_enhancement", multi_scale_adaptive_hard_light_enhancement,
                   {{"src", nullptr}, {"init_ksize", 11}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("multi_scale_adaptive_image_overlay_enhancement", multi_scale_adaptive_image_overlay_enhancement,
                   {{"src", nullptr}, {"init_ksize", 31}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("histogram_enhancement", histogram_enhancement, {{"src", nullptr}}),
          keywords("laplacian_pyramid", laplacian_pyramid,
                   {{"src", nullptr}, {"min_ksize", 7}, {"scale", 10}, {"gamma_value", 0.4}}),
          keywords("multi_scale_fuse_enhancement", multi_scale_fuse_enhancement,
                   {{"src", nullptr},
                    {"min_ksize", 7},
                    {"max_ksize", 11},
                    {"scale", 35},
                    {"gamma_value", 0.35},
                    {"high_value", 0.8},
                    {"low_value", 0.35},
                    {"mode_fuse", 0},
                    {"mode_truncation", 0}}),
          keywords("adaptive_histogram_truncation_stretched", adaptive_histogram_truncation_stretched,
                   {{"src", nullptr}, {"scale_l", 0}, {"scale_r", 1}}),
          keywords("auto_level", auto_level, {{"src", nullptr}, {"low_percent", 0.01}, {"high_percent", 0.01}}),
          keywords("unsharpen_mask", unsharpen_mask, {{"src", nullptr}, {"alpha", 1.5}, {"ksize", 5}}),
          keywords("laplacian_enhancement", laplacian_enhancement, {{"src", nullptr}, {"alpha", 1.0}, {"beta", 0.1}}),
          keywords("gamma_stretched", gamma_stretched, {{"src", nullptr}, {"gamma_value", 0.5}}),
          keywords("maximum_gray_level", maximum_gray_level, {{"src", nullptr}}),
          keywords("maximum_grayscale_value", maximum_grayscale_value, {{"src", nullptr}}),
          keywords("enhance_details", enhance_details, {{"src", nullptr}}),
          keywords("shadows_highlight", shadows_highlight, {{"src", nullptr}, {"shadow", 0.5}, {"highlight", 0.5}}),
          keywords("glow", glow, {{"src", nullptr}, {"radius", 50}, {"intensity", 1.2}}),
          keywords("brightness_contrast", brightness_contrast, {{"src", nullptr}, {"brightness", 0}, {"contrast", 1}}),
          keywords("east", east, {{"src", nullptr}}),
      }};
  return spec;
}

}  // namespace pictor
