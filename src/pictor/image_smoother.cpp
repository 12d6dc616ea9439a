// ImageSmoother: box, median and Gaussian blur, non-local means, bilateral.
#include "frame/depth.h"
#include "frame/singleton.h"
#include "frame/values.h"
#include "tools.h"

namespace pictor {
namespace {

// Each blur: odd kernel side, 8-bit working copy, the filter, 16-bit restore.

Ref mean_blur(const Args& args) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref blurred = cv2("blur", working, tuple(ksize, ksize));
  return depth::restore_u16(blurred.get());
}

Ref median_blur(const Args& args) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref blurred = cv2("medianBlur", working, ksize);
  return depth::restore_u16(blurred.get());
}

Ref gaussian_blur(const Args& args) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref blurred = cv2("GaussianBlur", working, tuple(ksize, ksize), 0);
  return depth::restore_u16(blurred.get());
}

}  // namespace

const ClassSpec& image_smoother_class() {
  static const ClassSpec spec{
      "ImageSmoother",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("mean_blur", mean_blur, {{"src", nullptr}, {"ksize", 3}}),
          keywords("median_blur", median_blur, {{"src", nullptr}, {"ksize", 3}}),
          keywords("gaussian_blur", gaussian_blur, {{"src", nullptr}, {"ksize", 3}}),
          keywords("nlm_blur", nullptr,
                   {{"src", nullptr}, {"denoising_strength", 3}, {"template_win", 7}, {"search_win", 21}}),
          keywords("bilateral_filter", nullptr,
                   {{"src", nullptr}, {"ksize", 9}, {"sigma_color", 75}, {"sigma_space", 75}}),
      }};
  return spec;
}

}  // namespace pictor
