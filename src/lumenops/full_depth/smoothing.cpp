// Blurs, denoising and Canny edges at 16 bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/pycall.h"
#include "frame/split_work.h"
#include "full_depth/families.h"
#include "kernels/canny.h"
#include "kernels/depth16.h"
#include "kernels/median.h"
#include "kernels/nlm.h"
#include "kernels/side_by_side.h"
#include "tool/keywords.h"
#include "tools/native_filters.h"

namespace pictor::full_depth {
namespace {

// A working level in 16-bit levels: keywords measured in sample levels are
// scaled by it.
constexpr int kLevelScale = 257;

Ref in_sample_levels(const Ref& value) {
  Ref scale = to_py(kLevelScale);
  return checked(PyNumber_Multiply(value.get(), scale.get()));
}

// A side in pixels: any integer (NumPy's too), as a C integer; nothing for
// other values and for sides a long long does not hold.
std::optional<long long> side_of(const Ref& value) {
  Ref integer = Ref::steal(PyNumber_Index(value.get()));
  if (!integer) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  const long long side = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (overflow != 0 || (side == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return side;
}

bool is_u16_array(PyObject* src) { return PyArray_Check(src) && PyArray_TYPE(as_array(src)) == NPY_USHORT; }

// OpenCV filters 16-bit images itself: its call is the recipe.
Ref gaussian_blur(PyObject* src, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return cv2("GaussianBlur", src, tuple(side, side), 0);
}

Ref mean_blur(PyObject* src, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return cv2("blur", src, tuple(side, side));
}

// The widest side OpenCV's median takes at 16 bits; wider ones are ours.
constexpr long kWidestOpenCVLevelMedian = 5;

// Windows beyond this side are refused rather than framed.
constexpr long long kWidestNlmWindow = 999;

bool takes_opencv_median(const Ref& side, PyObject* src) {
  const std::optional<long long> wide = side_of(side);
  return !wide || *wide <= kWidestOpenCVLevelMedian || !is_u16_array(src);
}

Ref median_blur(PyObject* src, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  if (takes_opencv_median(side, src)) return cv2("medianBlur", src, side);
  const long width = static_cast<long>(*side_of(side));
  return filter_image(src, NPY_USHORT,
                      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
                          std::ptrdiff_t end) {
                        if constexpr (sizeof(zero) == 2) {
                          kernels::median_level_rows(input.data<std::uint16_t>(), output.data<std::uint16_t>(),
                                                     image.rows, image.cols, image.channels, width, begin, end);
                        }
                      });
}

// The same results written into `dst`, an array of the result's shape and
// type (a plane of a stack's output): OpenCV fills it itself, so a plane's
// result is neither allocated nor copied again.
Ref written_into(const Ref& result, PyObject* dst) {
  if (result.get() != dst && PyArray_CopyInto(as_array(dst), as_array(result.get())) < 0) {
    throw PyError{Where::current()};
  }
  return Ref::borrow(dst);
}

Ref gaussian_blur_into(PyObject* src, PyObject* dst, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return written_into(cv2("GaussianBlur", src, tuple(side, side), 0, Kw{"dst", Ref::borrow(dst)}), dst);
}

Ref mean_blur_into(PyObject* src, PyObject* dst, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return written_into(cv2("blur", src, tuple(side, side), Kw{"dst", Ref::borrow(dst)}), dst);
}

Ref median_blur_into(PyObject* src, PyObject* dst, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  if (takes_opencv_median(side, src)) {
    return written_into(cv2("medianBlur", src, side, Kw{"dst", Ref::borrow(dst)}), dst);
  }
  return written_into(median_blur(src, ksize), dst);
}

// A stack's planes (n, rows, cols) through median_blur into dst, an array of
// the same shape. The planes go through OpenCV side by side, each between
// copies of its edge columns: one call for many small planes instead of a call
// each, and rows wider than the planes' own (OpenCV 4.11's 16-bit median takes
// 4 to 15 times as long a sample on rows of 64 or 1024 samples as on rows of
// 68 or 1028). A median does no arithmetic: each plane's result is its own.
Ref median_blur_planes_into(PyObject* src, PyObject* dst, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  Array planes = contiguous(src);
  const std::optional<long long> side_length = side_of(side);
  const bool fits = side_length && *side_length >= 1 && planes.ndim() == 3 && planes.type() == NPY_USHORT &&
                    planes.size() > 0 && is_uint16_output_of_shape(dst, planes);
  if (!fits) {
    PyErr_SetString(PyExc_ValueError, "median_blur_planes_into takes a uint16 stack of planes, a writeable "
                                      "C-contiguous uint16 array of its shape and a side of at least 1");
    throw PyError{Where::current()};
  }
  const npy_intp count = planes.shape()[0];
  const npy_intp rows = planes.shape()[1];
  const npy_intp cols = planes.shape()[2];
  auto* out = static_cast<std::uint16_t*>(PyArray_DATA(as_array(dst)));
  if (!takes_opencv_median(side, planes.object.get())) {
    const long width = static_cast<long>(*side_length);
    for (npy_intp plane = 0; plane < count; ++plane) {
      split_rows_without_gil(rows, cols, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        kernels::median_level_rows(planes.data<std::uint16_t>() + plane * rows * cols, out + plane * rows * cols,
                                   rows, cols, 1, width, begin, end);
      });
    }
    return Ref::borrow(dst);
  }
  const npy_intp half = static_cast<npy_intp>(*side_length / 2);
  const npy_intp wide_shape[2] = {rows, count * kernels::side_by_side_width(cols, half)};
  Array wide = new_array(2, wide_shape, NPY_USHORT);
  without_gil([&] {
    kernels::planes_side_by_side(planes.data<std::uint16_t>(), count, rows, cols, half, wide.data<std::uint16_t>());
  });
  Array filtered = same_layout(cv2("medianBlur", wide.object, side), wide);
  without_gil([&] {
    kernels::planes_from_side_by_side(filtered.data<std::uint16_t>(), count, rows, cols, half, out);
  });
  return Ref::borrow(dst);
}

// OpenCV's bilateral filter takes float32, not 16-bit samples: the levels go
// in as float32 and come back rounded half to even.
Ref bilateral_filter(PyObject* src, PyObject* ksize, PyObject* sigma_color, PyObject* sigma_space) {
  Ref diameter = odd_value(Ref::borrow(ksize));
  Ref colour_sigma = in_sample_levels(odd_value(Ref::borrow(sigma_color)));
  Ref space_sigma = odd_value(Ref::borrow(sigma_space));
  Array levels = contiguous(src);
  Array as_float = new_array_like(levels, NPY_FLOAT);
  split_samples_without_gil(levels.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::levels_to_float(levels.data<std::uint16_t>() + begin, as_float.data<float>() + begin, end - begin);
  });
  Ref blurred_ref = cv2("bilateralFilter", as_float.object, diameter, colour_sigma, space_sigma);
  Array blurred = same_layout(blurred_ref, as_float);
  Array result = new_array_like(levels, NPY_USHORT);
  split_samples_without_gil(blurred.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::float_to_rounded_levels(blurred.data<float>() + begin, result.data<std::uint16_t>() + begin,
                                     end - begin);
  });
  return result.object;
}

// Non-local means as OpenCV's 8-bit method computes it (OpenCV's own 16-bit
// path knows only the L1 patch distance, which weighs patches differently).
constexpr std::int64_t kWeightLimit = 2147483647;                // 32-bit weights
constexpr std::int64_t kSumLimit = 9223372036854775807;          // 64-bit weighted sums
constexpr std::int64_t kLargestLevel = 65535;
constexpr double kWeightThreshold = 0.001;  // lighter weights count as 0
constexpr int kDistanceBinShift = 16;       // 16-bit distances binned 2^16 times as coarsely

int nearest_power_of_2(long value) {
  int power = 0;
  while ((1L << power) < value) ++power;
  return power;
}

// The weight of every binned patch distance, exp(-dist / (h^2 * channels))
// in fixed point, the exponential taken by NumPy.
std::vector<std::int32_t> nlm_weight_table(double h, std::ptrdiff_t channels, long side, long search_side, int shift) {
  const std::int64_t fixed_point =
      std::min(kSumLimit / (static_cast<std::int64_t>(search_side) * search_side * kLargestLevel), kWeightLimit);
  const auto largest_distance = static_cast<std::uint64_t>(kLargestLevel * kLargestLevel) *
                                static_cast<std::uint64_t>(channels) * static_cast<std::uint64_t>(side * side);
  const npy_intp bins = static_cast<npy_intp>(largest_distance >> shift) + 1;
  const float h32 = static_cast<float>(h);
  const float spread = h32 * h32 * static_cast<float>(channels);
  const double bin_width = static_cast<double>(std::int64_t{1} << shift) / static_cast<double>(side * side);
  Array exponents = new_array(1, &bins, NPY_DOUBLE);
  for (npy_intp i = 0; i < bins; ++i) {
    exponents.data<double>()[i] = -(static_cast<double>(i) * bin_width) / static_cast<double>(spread);
  }
  Array units = contiguous_as(np("exp", exponents.object).get(), NPY_DOUBLE);
  std::vector<std::int32_t> weights(static_cast<std::size_t>(bins));
  const auto fixed = static_cast<double>(fixed_point);
  for (npy_intp i = 0; i < bins; ++i) {
    double unit = units.data<double>()[i];
    if (std::isnan(unit)) unit = 1.0;  // h = 0
    const double weight = std::nearbyint(fixed * unit);
    weights[static_cast<std::size_t>(i)] = weight < kWeightThreshold * fixed ? 0 : static_cast<std::int32_t>(weight);
  }
  return weights;
}

Ref nlm_blur(PyObject* src, PyObject* denoising_strength, PyObject* template_win, PyObject* search_win) {
  const double h = as_double(in_sample_levels(odd_value(Ref::borrow(denoising_strength))));
  const std::optional<long long> template_side = side_of(odd_value(Ref::borrow(template_win)));
  const std::optional<long long> search_side = side_of(odd_value(Ref::borrow(search_win)));
  if (!template_side || !search_side || *template_side < 1 || *search_side < 1 || *template_side > kWidestNlmWindow ||
      *search_side > kWidestNlmWindow || !is_u16_array(src)) {
    PyErr_SetString(PyExc_ValueError, "nlm_blur at full depth takes uint16 images and windows of 1 to 999 pixels");
    throw PyError{Where::current()};
  }
  const kernels::NlmWindows windows{static_cast<long>(*template_side / 2), static_cast<long>(*search_side / 2)};
  const long side = 2 * windows.template_half + 1;
  const long search = 2 * windows.search_half + 1;
  const std::ptrdiff_t channels = PyArray_NDIM(as_array(src)) == 3 ? PyArray_DIM(as_array(src), 2) : 1;
  const int shift = nearest_power_of_2(side * side) + kDistanceBinShift;
  const std::vector<std::int32_t> table = nlm_weight_table(h, channels, side, search, shift);
  const kernels::NlmWeights weights{table.data(), static_cast<std::ptrdiff_t>(table.size()), shift};
  return filter_image(src, NPY_USHORT,
                      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
                          std::ptrdiff_t end) {
                        if constexpr (sizeof(zero) == 2) {
                          kernels::nlm_level_rows(input.data<std::uint16_t>(), output.data<std::uint16_t>(),
                                                  image.rows, image.cols, image.channels, windows, weights, begin,
                                                  end);
                        }
                      });
}

// Canny of the image's range levels, the thresholds scaled to its range.
Ref canny_edge(PyObject* src, PyObject* low_thr, PyObject* high_thr) {
  Array image = contiguous(src);
  const npy_intp rows = image.shape()[0];
  const npy_intp cols = image.shape()[1];
  const int channels = image.ndim() == 3 ? static_cast<int>(image.shape()[2]) : 1;
  if (image.type() != NPY_USHORT || (channels != 1 && channels != 3) || !kernels::canny_fits(rows, cols)) {
    PyErr_SetString(PyExc_ValueError, "canny_edge at full depth takes grey or 3-channel uint16 images");
    throw PyError{Where::current()};
  }
  const RangeImage own = on_own_range(image);
  const kernels::CannyThresholds thresholds = canny_level_thresholds(low_thr, high_thr, own.range.span);
  const Array& levels = own.levels;
  Array edges = new_array(2, levels.shape(), NPY_USHORT);
  bool done = false;
  const int threads = call_threads(levels.size());
  without_gil([&] {
    done = kernels::canny_edges_of_levels(levels.data<std::uint16_t>(), rows, cols, channels, thresholds,
                                          edges.data<std::uint16_t>(), threads);
  });
  if (!done) {
    PyErr_NoMemory();
    throw PyError{Where::current()};
  }
  return std::move(edges.object);
}

}  // namespace

kernels::CannyThresholds canny_level_thresholds(PyObject* low_thr, PyObject* high_thr, long span) {
  // 65535 / 255.0 is 257.0 exactly: a full range scales as sample levels do.
  const double scale = static_cast<double>(span) / kernels::kWorkingTop;
  double low = as_double(Ref::borrow(low_thr)) * scale;
  double high = as_double(Ref::borrow(high_thr)) * scale;
  if (low > high) std::swap(low, high);
  const auto bounded = [](double threshold) {
    const double limit = kernels::kMaxLevelMagnitude;
    return static_cast<int>(std::floor(std::fmin(std::fmax(threshold, -1.0), limit)));
  };
  return kernels::CannyThresholds{bounded(low), bounded(high)};
}

PyMethodDef smoothing_functions[] = {
    {"gaussian_blur", fastcall_function<2, gaussian_blur>(), METH_FASTCALL,
     "gaussian_blur(src, ksize): cv2.GaussianBlur at the image's depth."},
    {"mean_blur", fastcall_function<2, mean_blur>(), METH_FASTCALL, "mean_blur(src, ksize): cv2.blur at the image's depth."},
    {"median_blur", fastcall_function<2, median_blur>(), METH_FASTCALL,
     "median_blur(src, ksize): the median of the image's own levels over the replicated border."},
    {"gaussian_blur_into", fastcall_function<3, gaussian_blur_into>(), METH_FASTCALL,
     "gaussian_blur_into(src, dst, ksize): gaussian_blur written into dst, an array of the result's shape and type."},
    {"mean_blur_into", fastcall_function<3, mean_blur_into>(), METH_FASTCALL,
     "mean_blur_into(src, dst, ksize): mean_blur written into dst, an array of the result's shape and type."},
    {"median_blur_into", fastcall_function<3, median_blur_into>(), METH_FASTCALL,
     "median_blur_into(src, dst, ksize): median_blur written into dst, an array of the result's shape and type."},
    {"median_blur_planes_into", fastcall_function<3, median_blur_planes_into>(), METH_FASTCALL,
     "median_blur_planes_into(src, dst, ksize): median_blur of each (rows, cols) plane of an (n, rows, cols) stack, "
     "written into dst, a C-contiguous array of its shape."},
    {"bilateral_filter", fastcall_function<4, bilateral_filter>(), METH_FASTCALL,
     "bilateral_filter(src, ksize, sigma_color, sigma_space): cv2.bilateralFilter in float32, rounded to uint16."},
    {"nlm_blur", fastcall_function<4, nlm_blur>(), METH_FASTCALL,
     "nlm_blur(src, denoising_strength, template_win, search_win): non-local means of the image's own levels."},
    {"canny_edge", fastcall_function<3, canny_edge>(), METH_FASTCALL,
     "canny_edge(src, low_thr, high_thr): Canny edges of the image's own levels, 32-bit gradients."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
