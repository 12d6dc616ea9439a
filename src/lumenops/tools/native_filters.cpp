#include "tools/native_filters.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <optional>
#include <vector>

#include "kernels/box.h"
#include "kernels/details.h"
#include "kernels/gauss.h"
#include "kernels/median.h"
#include "kernels/relief.h"
#include "kernels/sharpen.h"
#include "kernels/threshold.h"
#include "kernels/tone.h"

namespace pictor {

namespace {

constexpr npy_intp kMostNativeChannels = 4;

// A plain native-order uint8 or uint16 array of shape (h, w) or (h, w, c) with
// 2 <= c <= 4 and no empty axis, whose rows OpenCV indexes with an int. A
// (h, w, 1) array comes back from OpenCV as (h, w): it stays with OpenCV.
bool is_native_image(PyObject* src) {
  if (!PyArray_CheckExact(src)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(src);
  const int type = PyArray_TYPE(array);
  if ((type != NPY_UBYTE && type != NPY_USHORT) || !PyArray_ISNOTSWAPPED(array)) return false;
  const int ndim = PyArray_NDIM(array);
  if (ndim != 2 && ndim != 3) return false;
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp channels = ndim == 3 ? PyArray_DIM(array, 2) : 1;
  if (ndim == 3 && (channels < 2 || channels > kMostNativeChannels)) return false;
  return rows >= 1 && cols >= 1 && rows <= INT_MAX && cols * channels <= INT_MAX;
}

// The cv2 of the module namespace is the OpenCV module that Python imported.
bool calls_opencv_itself(Where where) {
  Ref namespace_cv2 = global(Name("cv2", where));
  Ref opencv = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("cv2")).get()));
  if (!opencv) PyErr_Clear();
  return opencv && opencv.get() == namespace_cv2.get();
}

// A plain int, odd and within [narrowest, widest].
std::optional<long> native_side(const Ref& ksize, long narrowest, long widest) {
  if (!PyLong_CheckExact(ksize.get())) return std::nullopt;
  int overflow = 0;
  const long side = PyLong_AsLongAndOverflow(ksize.get(), &overflow);
  if (overflow != 0 || side < narrowest || side > widest || side % 2 == 0) return std::nullopt;
  return side;
}

constexpr std::uint32_t kGaussianWeightSum = 256;  // 8 fraction bits
constexpr std::uint8_t kImpulse = 255;

// OpenCV's fixed-point weights of its ksize x ksize Gaussian with sigma 0,
// read back from the blur of a single 255 in a row of zeros: the blur at
// offset i is round(255 * c_i / 256), which is c_i itself for c_i <= 128;
// the centre takes what the others leave of 256. Empty when the response
// does not have that form.
std::vector<std::uint32_t> opencv_gaussian_weights(long ksize, Where where) {
  const npy_intp shape[2] = {1, 2 * ksize + 1};
  Array impulse = new_array(2, shape, NPY_UBYTE, where);
  std::fill(impulse.data<std::uint8_t>(), impulse.data<std::uint8_t>() + impulse.size(), 0);
  impulse.data<std::uint8_t>()[ksize] = kImpulse;
  Ref response_ref = cv2(Name("GaussianBlur", where), impulse.object, tuple(ksize, ksize), 0);
  Array response = contiguous(response_ref.get(), where);
  if (response.type() != NPY_UBYTE || response.size() != impulse.size()) return {};
  const std::uint8_t* blurred = response.data<std::uint8_t>() + ksize - ksize / 2;
  std::vector<std::uint32_t> weights(static_cast<std::size_t>(ksize));
  std::uint32_t sides = 0;
  for (long i = 0; i < ksize; ++i) {
    if (i == ksize / 2) continue;
    if (blurred[i] >= kGaussianWeightSum / 2) return {};
    weights[i] = blurred[i];
    sides += blurred[i];
  }
  if (sides > kGaussianWeightSum) return {};
  weights[ksize / 2] = kGaussianWeightSum - sides;
  const std::uint32_t centre_response = (kImpulse * weights[ksize / 2] * kGaussianWeightSum + (1u << 15)) >> 16;
  if (centre_response != blurred[ksize / 2]) return {};
  return weights;
}

// cv2.addWeighted(a, alpha, b, beta, 0) of 8-bit a and b, for every pair of
// values: entry 256 * a + b.
std::vector<std::uint8_t> opencv_weighted_sums(const Ref& alpha, const Ref& beta, Where where) {
  constexpr npy_intp kPairs = 256 * 256;
  const npy_intp shape[2] = {1, kPairs};
  Array first = new_array(2, shape, NPY_UBYTE, where);
  Array second = new_array(2, shape, NPY_UBYTE, where);
  for (npy_intp pair = 0; pair < kPairs; ++pair) {
    first.data<std::uint8_t>()[pair] = static_cast<std::uint8_t>(pair >> 8);
    second.data<std::uint8_t>()[pair] = static_cast<std::uint8_t>(pair);
  }
  Ref sums_ref = cv2(Name("addWeighted", where), first.object, alpha, second.object, beta, 0);
  Array sums = contiguous(sums_ref.get(), where);
  if (sums.type() != NPY_UBYTE || sums.size() != kPairs) return {};
  return std::vector<std::uint8_t>(sums.data<std::uint8_t>(), sums.data<std::uint8_t>() + kPairs);
}

}  // namespace

bool is_native_filter_image(PyObject* src, Where where) { return is_native_image(src) && calls_opencv_itself(where); }

Ref native_box_blur(PyObject* src, const Ref& ksize, Where where) {
  const std::optional<long> side = native_side(ksize, 1, kernels::kWidestBox);
  if (!side || !is_native_filter_image(src, where)) return Ref();
  return filter_image(
      src, NPY_USHORT,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        kernels::box_mean_restored_rows(input.data<T>(), output.data<std::uint16_t>(), image.rows, image.cols,
                                        image.channels, *side, begin, end);
      },
      where);
}

// OpenCV's weights for a side native_side accepted, when the row kernels
// take them (symmetric); empty otherwise.
std::vector<std::uint32_t> symmetric_gaussian_weights(long side, Where where) {
  std::vector<std::uint32_t> weights = opencv_gaussian_weights(side, where);
  if (!std::equal(weights.begin(), weights.end(), weights.rbegin())) weights.clear();
  return weights;
}

// The Gaussian of a native filter image with OpenCV's weights for a side
// native_side accepted, as an image of `output_type`: 8-bit levels or
// restored 16-bit ones.
Ref gaussian_image(PyObject* src, long side, int output_type, Where where) {
  const std::vector<std::uint32_t> weights = symmetric_gaussian_weights(side, where);
  if (weights.empty()) return Ref();
  return filter_image(
      src, output_type,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        const auto blur = [&](auto* out) {
          kernels::gaussian_rows(input.data<T>(), out, image.rows, image.cols, image.channels, weights.data(), side,
                                 begin, end);
        };
        if (output_type == NPY_UBYTE) {
          blur(output.data<std::uint8_t>());
        } else {
          blur(output.data<std::uint16_t>());
        }
      },
      where);
}

Ref native_gaussian_blur(PyObject* src, const Ref& ksize, Where where) {
  const std::optional<long> side = native_side(ksize, 3, kernels::kWidestGaussian);
  if (!side || !is_native_filter_image(src, where)) return Ref();
  return gaussian_image(src, *side, NPY_USHORT, where);
}

Ref native_gaussian_of_levels(PyObject* levels, const Ref& ksize, Where where) {
  const std::optional<long> side = native_side(ksize, 3, kernels::kWidestLevelGaussian);
  if (!side || !is_native_filter_image(levels, where) || PyArray_TYPE(as_array(levels)) != NPY_UBYTE) return Ref();
  return gaussian_image(levels, *side, NPY_UBYTE, where);
}

Ref native_unsharp_mask(PyObject* src, const Ref& ksize,
                        const std::function<std::vector<std::uint16_t>()>& restored_pairs, Where where) {
  const std::optional<long> side = native_side(ksize, 3, kernels::kWidestGaussian);
  if (!side || !is_native_filter_image(src, where)) return Ref();
  const std::vector<std::uint32_t> weights = symmetric_gaussian_weights(*side, where);
  if (weights.empty()) return Ref();
  const std::vector<std::uint16_t> restored = restored_pairs();
  return filter_image(
      src, NPY_USHORT,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        const std::ptrdiff_t stride = image.cols * image.channels;
        kernels::gaussian_level_rows(input.data<T>(), image.rows, image.cols, image.channels, weights.data(), *side,
                                     begin, end, [&](std::ptrdiff_t row, const std::uint8_t* blurred) {
                                       kernels::unsharp_row(input.data<T>() + row * stride, blurred, restored.data(),
                                                            output.data<std::uint16_t>() + row * stride, stride);
                                     });
      },
      where);
}

Ref native_adaptive_threshold(PyObject* src, const Ref& ksize, const std::function<std::optional<float>()>& coef32,
                              Where where) {
  const std::optional<long> side = native_side(ksize, 1, kernels::kWidestBox);
  if (!side || !is_native_filter_image(src, where)) return Ref();
  const std::optional<float> coef = coef32();
  if (!coef) return Ref();
  const auto area = static_cast<std::uint32_t>(*side * *side);
  std::atomic<bool> decided{true};
  Ref result = filter_image(
      src, NPY_USHORT,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        const std::ptrdiff_t stride = image.cols * image.channels;
        kernels::box_sum_rows(input.data<T>(), image.rows, image.cols, image.channels, *side, begin, end,
                              [&](std::ptrdiff_t row, const std::uint32_t* sums) {
                                if (!kernels::binarise_against_box_sums(input.data<T>() + row * stride, sums, area,
                                                                        *coef, output.data<std::uint16_t>() + row * stride,
                                                                        stride)) {
                                  decided = false;
                                }
                              });
      },
      where);
  return decided ? result : Ref();
}

Ref native_median_blur(PyObject* src, const Ref& ksize, Where where) {
  const std::optional<long> side = native_side(ksize, 3, kernels::kWidestMedian);
  if (!side || !kernels::fused_median_takes(*side) || !is_native_filter_image(src, where)) {
    return Ref();
  }
  // OpenCV's wide median refuses two-channel images: let it say so.
  if (*side != 3 && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(src)) == 3 &&
      PyArray_DIM(reinterpret_cast<PyArrayObject*>(src), 2) == 2) {
    return Ref();
  }
  return filter_image(
      src, NPY_USHORT,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        kernels::median_restored_rows(input.data<T>(), output.data<std::uint16_t>(), image.rows, image.cols,
                                      image.channels, *side, begin, end);
      },
      where);
}

Ref native_enhance_details(PyObject* src, Where where) {
  if (!is_native_filter_image(src, where)) return Ref();
  const std::vector<std::uint32_t> weights = opencv_gaussian_weights(3, where);
  if (weights.size() != 3 || weights[0] != weights[2]) return Ref();
  const std::vector<std::uint8_t> mean_of_gradients = opencv_weighted_sums(to_py(0.5), to_py(0.5), where);
  const std::vector<std::uint8_t> with_details = opencv_weighted_sums(to_py(1), to_py(0.2), where);
  if (mean_of_gradients.empty() || with_details.empty()) return Ref();
  const kernels::DetailTables tables{weights.data(), mean_of_gradients.data(), with_details.data()};
  return filter_image(
      src, NPY_USHORT,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        kernels::enhance_details_rows(input.data<T>(), output.data<std::uint16_t>(), image.rows, image.cols,
                                      image.channels, tables, begin, end);
      },
      where);
}

Ref native_mean_gradient_magnitude(PyObject* src, Where where) {
  if (!is_native_filter_image(src, where)) return Ref();
  const std::vector<std::uint8_t> mean_of_gradients = opencv_weighted_sums(to_py(0.5), to_py(0.5), where);
  if (mean_of_gradients.empty()) return Ref();
  return filter_image(
      src, NPY_UBYTE,
      [&](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
          std::ptrdiff_t end) {
        using T = decltype(zero);
        kernels::mean_gradient_rows(input.data<T>(), output.data<std::uint8_t>(), image.rows, image.cols,
                                    image.channels, mean_of_gradients.data(), begin, end);
      },
      where);
}

Ref native_add_halo(PyObject* src, const Array& halo, Where where) {
  if (!is_native_filter_image(src, where)) return Ref();
  const std::vector<std::uint8_t> sums = opencv_weighted_sums(to_py(1), to_py(1), where);
  if (sums.empty()) return Ref();
  Array input = contiguous(src, where);
  require_same_shape(input, halo, where);
  Array output = new_array_like(input, NPY_USHORT, where);
  visit_native_sample(input.type(), [&](auto zero) {
    using T = decltype(zero);
    split_samples_without_gil(input.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::add_halo_restored(input.data<T>() + begin, halo.data<std::uint8_t>() + begin, sums.data(),
                                 output.data<std::uint16_t>() + begin, end - begin);
    });
  });
  return output.object;
}

Ref native_relief(PyObject* src, Where where) {
  if (!is_native_image(src)) return Ref();
  const int sample_type = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(src));
  return filter_image(
      src, sample_type,
      [](auto zero, const Array& input, const Array& output, ImageRows image, std::ptrdiff_t begin,
         std::ptrdiff_t end) {
        using T = decltype(zero);
        kernels::relief_rows(input.data<T>(), output.data<T>(), image.rows, image.cols, image.channels, begin, end);
      },
      where);
}

}  // namespace pictor
