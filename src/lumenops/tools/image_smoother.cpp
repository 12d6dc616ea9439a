// ImageSmoother: box, median and Gaussian blur, non-local means, bilateral.
#include <climits>
#include <cmath>
#include <optional>
#include <string>

#include "frame/singleton.h"
#include "tools/native_filters.h"
#include "tool/depth.h"
#include "tool/keywords.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace {

constexpr long long kSmallestSearchWindow = -1;  // -1 still runs; -3 and below crash or fail

// Each blur: odd kernel side, then the fused native filter where it is exact
// for this input, else the 8-bit working copy, the OpenCV filter and the
// 16-bit restore.
template <class Native, class Filter>
Ref blur_of_working_copy(const Args& args, Native native, Filter filter) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  const double max_value = depth::full_scale(src.get());
  if (Ref blurred = native(src.get(), ksize)) return blurred;
  Ref working = depth::working_u8(src.get(), max_value);
  Ref blurred = filter(working, ksize);
  return depth::restore_u16(blurred.get());
}

Ref mean_blur(const Args& args) {
  return blur_of_working_copy(
      args, [](PyObject* src, const Ref& ksize) { return native_box_blur(src, ksize); },
      [](const Ref& working, const Ref& ksize) { return cv2("blur", working, tuple(ksize, ksize)); });
}

Ref median_blur(const Args& args) {
  return blur_of_working_copy(
      args, [](PyObject* src, const Ref& ksize) { return native_median_blur(src, ksize); },
      [](const Ref& working, const Ref& ksize) { return cv2("medianBlur", working, ksize); });
}

Ref gaussian_blur(const Args& args) {
  return blur_of_working_copy(
      args, [](PyObject* src, const Ref& ksize) { return native_gaussian_blur(src, ksize); },
      [](const Ref& working, const Ref& ksize) { return cv2("GaussianBlur", working, tuple(ksize, ksize), 0); });
}

// An integer keyword value as a C long long, or none beyond that range
// (OpenCV rejects such values itself).
std::optional<long long> integer_value(const Ref& value, Where where) {
  Ref index = checked(PyNumber_Index(value.get()), where);
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw PyError{where};
  if (overflow != 0 || result > INT_MAX || result < INT_MIN) return std::nullopt;
  return result;
}

// OpenCV's non-local means divides by zero (SIGFPE) for some search windows
// below -1 and rejects the others; refuse them all with OpenCV's own
// exception type rather than let the process die.
void refuse_negative_search_window(const Ref& search_win, Where where = Where::current()) {
  if (!PyIndex_Check(search_win.get())) return;  // OpenCV rejects non-integers itself
  const std::optional<long long> value = integer_value(search_win, where);
  if (!value || *value >= kSmallestSearchWindow) return;
  raise_cv2_error("fastNlMeansDenoising cannot search a window of size " + std::to_string(*value), where);
}

// OpenCV's bilateral filter squares its diameter in 32-bit arithmetic: a
// diameter above 46340 (given, or derived from sigma_space when it is not
// positive) overflows that and the filter then runs for hours. Refuse such
// diameters with OpenCV's own exception type.
constexpr long long kLargestBilateralDiameter = 46340;

long long bilateral_diameter(const Ref& ksize, const Ref& sigma_space, Where where) {
  const std::optional<long long> given = integer_value(ksize, where);
  if (!given) return 1;  // OpenCV rejects integers beyond a C int itself
  if (*given > 0) return *given / 2 * 2 + 1;
  double sigma = PyFloat_AsDouble(sigma_space.get());
  if (sigma == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // OpenCV reports a sigma of the wrong type itself
    return 1;
  }
  if (!(sigma > 0)) sigma = 1;
  const double radius = std::round(sigma * 1.5);
  return radius < kLargestBilateralDiameter ? static_cast<long long>(radius) * 2 + 1 : LLONG_MAX;
}

void refuse_overflowing_diameter(const Ref& ksize, const Ref& sigma_space, Where where = Where::current()) {
  if (!PyIndex_Check(ksize.get())) return;  // OpenCV rejects non-integers itself
  if (bilateral_diameter(ksize, sigma_space, where) <= kLargestBilateralDiameter) return;
  raise_cv2_error("bilateralFilter cannot use a diameter above " + std::to_string(kLargestBilateralDiameter), where);
}

// The edge-preserving filters: the odd-value rule on every numeric parameter,
// read in order before the image is touched.

Ref nlm_blur(const Args& args) {
  Ref src = args.get("src");
  Ref denoising_strength = odd_value(args.get("denoising_strength"));
  Ref template_win = odd_value(args.get("template_win"));
  Ref search_win = odd_value(args.get("search_win"));
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  refuse_negative_search_window(search_win);
  Ref denoised = cv2("fastNlMeansDenoising", working, Ref::none(), denoising_strength, template_win, search_win);
  return depth::restore_u16(denoised.get());
}

Ref bilateral_filter(const Args& args) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  Ref sigma_color = odd_value(args.get("sigma_color"));
  Ref sigma_space = odd_value(args.get("sigma_space"));
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  refuse_overflowing_diameter(ksize, sigma_space);
  Ref filtered = cv2("bilateralFilter", working, ksize, sigma_color, sigma_space);
  return depth::restore_u16(filtered.get());
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
          keywords("nlm_blur", nlm_blur,
                   {{"src", nullptr}, {"denoising_strength", 3}, {"template_win", 7}, {"search_win", 21}}),
          keywords("bilateral_filter", bilateral_filter,
                   {{"src", nullptr}, {"ksize", 9}, {"sigma_color", 75}, {"sigma_space", 75}}),
      }};
  return spec;
}

}  // namespace pictor
