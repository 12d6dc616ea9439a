// ImageEnhancer: blend, histogram, grey-level, pyramid, sharpening and tone enhancements.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& image_enhancer_class() {
  static const ClassSpec spec{
      "ImageEnhancer",
      {
          positional("_init", init_with_utility_tool, {}),
          positional("__get_overlay", nullptr, {{"src"}, {"ksize"}}),
          positional("__hard_light", nullptr, {{"base"}, {"overlay"}, {"thr"}}),
          positional("__image_overlay", nullptr, {{"base"}, {"overlay"}, {"thr"}}),
          keywords("brightness_transfer", nullptr, {{"src", nullptr}, {"ratio", 0.5}}),
          keywords("multi_scale_adaptive_hard_light_enhancement", nullptr,
                   {{"src", nullptr}, {"init_ksize", 11}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("multi_scale_adaptive_image_overlay_enhancement", nullptr,
                   {{"src", nullptr}, {"init_ksize", 31}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("histogram_enhancement", nullptr, {{"src", nullptr}}),
          keywords("laplacian_pyramid", nullptr,
                   {{"src", nullptr}, {"min_ksize", 7}, {"scale", 10}, {"gamma_value", 0.4}}),
          keywords("multi_scale_fuse_enhancement", nullptr,
                   {{"src", nullptr},
                    {"min_ksize", 7},
                    {"max_ksize", 11},
                    {"scale", 35},
                    {"gamma_value", 0.35},
                    {"high_value", 0.8},
                    {"low_value", 0.35},
                    {"mode_fuse", 0},
                    {"mode_truncation", 0}}),
          keywords("adaptive_histogram_truncation_stretched", nullptr,
                   {{"src", nullptr}, {"scale_l", 0}, {"scale_r", 1}}),
          keywords("auto_level", nullptr, {{"src", nullptr}, {"low_percent", 0.01}, {"high_percent", 0.01}}),
          keywords("unsharpen_mask", nullptr, {{"src", nullptr}, {"alpha", 1.5}, {"ksize", 5}}),
          keywords("laplacian_enhancement", nullptr, {{"src", nullptr}, {"alpha", 1.0}, {"beta", 0.1}}),
          keywords("gamma_stretched", nullptr, {{"src", nullptr}, {"gamma_value", 0.5}}),
          keywords("maximum_gray_level", nullptr, {{"src", nullptr}}),
          keywords("maximum_grayscale_value", nullptr, {{"src", nullptr}}),
          keywords("enhance_details", nullptr, {{"src", nullptr}}),
          keywords("shadows_highlight", nullptr, {{"src", nullptr}, {"shadow", 0.5}, {"highlight", 0.5}}),
          keywords("glow", nullptr, {{"src", nullptr}, {"radius", 50}, {"intensity", 1.2}}),
          keywords("brightness_contrast", nullptr, {{"src", nullptr}, {"brightness", 0}, {"contrast", 1}}),
          keywords("east", nullptr, {{"src", nullptr}}),
      }};
  return spec;
}

}  // namespace pictor
