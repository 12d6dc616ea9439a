// ImageEnhancer: the Laplacian-pyramid and multi-scale fuse enhancements.
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "tools/image_enhancer/common.h"
#include "tools/image_enhancer/fuse_truncation.h"
#include "kernels/pyramid.h"
#include "kernels/reduce.h"
#include "kernels/tables.h"

namespace pictor::enhancer {
namespace {

// src.astype(np.float32) / max_value
Array unit_float32(PyObject* src, double max_value, Where where = Where::current()) {
  Array input = contiguous(src, where);
  if (!visit_real_type(input.type(), [](auto) {})) input = contiguous_as(input.object.get(), NPY_FLOAT, where);
  Array image = new_array_like(input, NPY_FLOAT, where);
  visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    const auto divisor = static_cast<float>(max_value);
    const int threads = call_threads(input.size());
    without_gil([&] {
      kernels::map_by_level(
          input.data<T>(), image.data<float>(), input.size(),
          [divisor](T level) { return kernels::unit_float32(level, divisor); }, threads);
    });
  });
  return image;
}

// Pyramid levels are float32, or float64 where a keyword widened the
// arithmetic; other element types have no kernel.
Num level_type(const Array& level, PyObject* cause, Where where = Where::current()) {
  if (level.type() == NPY_FLOAT) return Num::F32;
  if (level.type() == NPY_DOUBLE) return Num::F64;
  raise_unsupported(cause, where);
}

// The difference-of-Gaussians detail layer of the pyramid enhancements.
struct DetailLayer {
  Ref min_ksize;
  Ref max_ksize;
  Ref scale;
  Ref gamma_value;
};

// Bounds of the pyramid base, or none; chosen once the detail layer exists.
struct BaseRange {
  double low;
  double high;
};
using BaseClip = std::function<std::optional<BaseRange>()>;

// An exponent array for np.power over `image` seen as rows of `row_length`
// samples: one row of `exponent`, or a column where rows have one sample.
// Either way it has a non-zero stride in NumPy's inner loop, where NumPy 2
// would replace the power of a scalar exponent 2, 0.5, 1 or -1 by a shortcut
// whose bits differ from NumPy 1.x's power.
Array exponent_array(Num type, const Scalar& exponent, npy_intp rows, npy_intp row_length) {
  const npy_intp shape[2] = {row_length > 1 ? 1 : rows, row_length};
  Array exponents = new_array(2, shape, numpy_type(type));
  visit_real_num(type, Py_None, [&](auto zero) {
    using T = decltype(zero);
    std::fill_n(exponents.data<T>(), exponents.size(), exponent.as<T>());
  });
  return exponents;
}

// np.power(image, gamma_value) as NumPy 1.x computes it: by NumPy's power
// loop in the element type NumPy 1.x gives it, in place of a buffer of that
// type.
Array gamma_corrected(const Array& image, const Ref& gamma_value) {
  const std::optional<Scalar> exponent = read_scalar(gamma_value.get());
  if (!exponent) return contiguous(np("power", image.object, gamma_value).get());
  const Num type = result_type(Num::F32, *exponent);
  if (type != Num::F32 && type != Num::F64) raise_unsupported(gamma_value.get());
  Array base = type == Num::F32 ? image : contiguous_as(image.object.get(), numpy_type(type));
  const npy_intp rows = base.ndim() > 0 ? base.shape()[0] : 1;
  const npy_intp row_length = rows > 0 ? base.size() / rows : 0;
  npy_intp view_shape[2] = {rows, row_length};
  PyArray_Dims dims{view_shape, 2};
  Ref rows_view = checked(PyArray_Newshape(base.array(), &dims, NPY_CORDER));
  Array exponents = exponent_array(type, *exponent, rows, row_length);
  np("power", rows_view, exponents.object, Kw{"out", rows_view});
  return base;
}

// The levels of a pyramid enhancement, Gaussian levels that become detail
// levels in place, and one spare full-size buffer of the finest level's
// layout (or none) that takes the upsampling to full size.
struct Pyramid {
  std::vector<Array> levels;
  Array scratch;
};

// copy.deepcopy(base), with `copy` looked up in the module namespace as
// every module-level name is. The standard library's deep copy of an array
// that only this call holds would be an identical array that nobody else
// sees, so it is not made; any other deepcopy is called.
Array deep_copied(const Array& base) {
  Ref deepcopy = attr(global("copy"), "deepcopy");
  Ref standard_copy = checked(PyImport_ImportModule("copy"));
  if (deepcopy.get() == attr(standard_copy, "deepcopy").get()) return base;
  return same_layout(call(deepcopy, base.object), base);
}

// gauss0 = copy.deepcopy(clip(gamma_img + (min_gaus - max_gaus) * scale)),
// gamma_img = np.power(src.astype(np.float32) / max_value, gamma_value).
Pyramid pyramid_base(PyObject* src, const DetailLayer& layer, const BaseClip& base_clip) {
  const double max_value = depth::full_scale(src);
  Array gamma = gamma_corrected(unit_float32(src, max_value), layer.gamma_value);
  Array fine = same_layout(cv2("GaussianBlur", gamma.object, tuple(layer.min_ksize, layer.min_ksize), 0), gamma);
  Array coarse = same_layout(cv2("GaussianBlur", gamma.object, tuple(layer.max_ksize, layer.max_ksize), 0), gamma);
  const Operand scale = operand(layer.scale, level_type(gamma, layer.gamma_value.get()), Operation::Multiply);
  const std::optional<BaseRange> range = base_clip();
  if (scale.result != Num::F32 && scale.result != Num::F64) raise_unsupported(layer.scale.get());
  const int base_type = numpy_type(scale.result);
  Array base = base_type == gamma.type() ? fine : new_array_like(gamma, base_type);
  visit_float_type(gamma.type(), [&](auto blur_zero) {
    visit_float_type(base.type(), [&](auto base_zero) {
      using G = decltype(blur_zero);
      using F = decltype(base_zero);
      kernels::ClipRange<F> clip;
      if (range) clip = {true, static_cast<F>(range->low), static_cast<F>(range->high)};
      const F factor = scale.value.as<F>();
      without_gil([&] {
        kernels::boost_details(gamma.data<G>(), fine.data<G>(), coarse.data<G>(), factor, clip, base.data<F>(),
                               gamma.size());
      });
    });
  });
  gamma = fine = Array{};  // only the base is needed from here on, and a spare full-size buffer
  Pyramid pyramid;
  pyramid.levels.push_back(deep_copied(base));
  if (pyramid.levels.front().object.get() != base.object.get()) {
    pyramid.scratch = base;
  } else if (coarse.type() == base.type()) {
    pyramid.scratch = coarse;
  }
  return pyramid;
}

// gauss1 ... gauss<depth>, each cv2.pyrDown of the one before.
void add_gaussian_levels(Pyramid& pyramid, int depth) {
  for (int level = 1; level <= depth; ++level) {
    Ref smaller = cv2("pyrDown", pyramid.levels.back().object);
    Array array = contiguous(smaller.get());
    if (array.type() != pyramid.levels.front().type()) raise(PyExc_TypeError, "pyrDown changed the element type");
    pyramid.levels.push_back(std::move(array));
  }
}

// cv2.pyrUp(level, dstsize=(like.shape[1], like.shape[0])), into the
// pyramid's scratch buffer when `like` is the finest level.
Array upsampled_to(const Pyramid& pyramid, const Array& level, const Array& like, Where where = Where::current()) {
  Ref size = tuple(static_cast<long>(like.shape()[1]), static_cast<long>(like.shape()[0]));
  const bool into_scratch = pyramid.scratch.object && &like == &pyramid.levels.front();
  Ref upsampled = into_scratch
      ? cv2(Name("pyrUp", where), level.object, Kw{"dst", pyramid.scratch.object}, Kw{"dstsize", size})
      : cv2(Name("pyrUp", where), level.object, Kw{"dstsize", size});
  return same_layout(upsampled, like, where);
}

// Every level from `first` on but the coarsest becomes its amplified detail
// level, in place: lap_k = (gauss_k - cv2.pyrUp(gauss_k+1)) * gains[k].
void amplify_details(Pyramid& pyramid, const std::vector<Scalar>& gains, std::size_t first = 0) {
  std::vector<Array>& levels = pyramid.levels;
  for (std::size_t k = first; k + 1 < levels.size(); ++k) {
    Array upsampled = upsampled_to(pyramid, levels[k + 1], levels[k]);
    visit_float_type(levels[k].type(), [&](auto zero) {
      using F = decltype(zero);
      const F factor = gains[k].as<F>();
      without_gil([&] {
        kernels::amplified_detail(levels[k].data<F>(), upsampled.data<F>(), factor, levels[k].size());
      });
    });
  }
}

thread_local FuseTruncation* current_truncation = nullptr;

// Truncation of a coarse detail level after its gain: mode 0 clips it to
// [-0.03, its mean], mode 1 to [-0.05, its maximum], any other mode keeps it.
// `given`, if not null, is the upper bound to use in place of the level's own.
void truncate_detail(Array& level, const Ref& mode, const double* given = nullptr) {
  constexpr double kMeanModeFloor = -0.03;
  constexpr double kMaxModeFloor = -0.05;
  const bool to_mean = py_equals(mode, 0);
  if (!to_mean && !py_equals(mode, 1)) return;
  if (level.size() == 0) return;
  visit_float_type(level.type(), [&](auto zero) {
    using F = decltype(zero);
    F* data = level.data<F>();
    without_gil([&] {
      const F high = given != nullptr ? static_cast<F>(*given)
                     : to_mean           ? kernels::numpy_mean(data, level.size())
                                         : kernels::numpy_extremes(data, level.size()).second;
      const F low = static_cast<F>(to_mean ? kMeanModeFloor : kMaxModeFloor);
      kernels::clip_in_place(data, level.size(), low, high);
    });
  });
}

// From the coarsest Gaussian level up: each step upsamples the partial result
// to the next detail level and adds it; the last step gives
// (np.clip(res0, 0, 1) * 65535).astype(np.uint16).
Ref collapse(Pyramid& pyramid) {
  std::vector<Array>& levels = pyramid.levels;
  Array partial = std::move(levels.back());
  for (std::size_t k = levels.size() - 2; k > 0; --k) {
    Array upsampled = upsampled_to(pyramid, partial, levels[k]);
    visit_float_type(upsampled.type(), [&](auto zero) {
      using F = decltype(zero);
      without_gil([&] { kernels::add_detail(levels[k].data<F>(), upsampled.data<F>(), upsampled.size()); });
    });
    partial = std::move(upsampled);
    levels[k] = Array{};
  }
  const Array& finest = levels.front();
  Array upsampled = upsampled_to(pyramid, partial, finest);
  partial = Array{};
  Array result = new_array_like(finest, NPY_USHORT);
  visit_float_type(finest.type(), [&](auto zero) {
    using F = decltype(zero);
    without_gil([&] {
      kernels::collapse_to_u16(finest.data<F>(), upsampled.data<F>(), result.data<std::uint16_t>(), finest.size());
    });
  });
  return numpy_result(result);
}

constexpr long kLargerKernelStep = 4;  // laplacian_pyramid's larger blur side: min_ksize + 4
constexpr int kLaplacianPyramidDepth = 4;
constexpr double kLaplacianPyramidGain = 1.5;

constexpr int kFuseDepth = 5;
constexpr std::size_t kFuseTruncatedFirst = 3;  // levels 3 and 4 are truncated
constexpr double kStrengthFloor = 0.01;  // high_value and low_value are clipped to [0.01, 1]
constexpr long kStrengthCeiling = 1;
constexpr long kFineGainFactor = 10;
constexpr long kCoarseGainFactor = 100;
constexpr double kCoarsestGainShare = 0.55;
constexpr double kFuseBaseFloor = -0.05;

// np.clip(value, 0.01, 1) of a keyword scalar: a lone scalar is clipped in
// its type promoted with float64's, whatever its value.
Scalar clipped_strength(const Ref& value) {
  std::optional<Scalar> strength = read_scalar(value.get());
  if (!strength) {
    // Others (integers beyond 64 bits, ...) are clipped by NumPy, which also
    // reports what it rejects.
    Ref clipped = np("clip", value, kStrengthFloor, kStrengthCeiling);
    strength = read_scalar(clipped.get());
    if (!strength) raise_unsupported(value.get());
  }
  const Num type = kernels::promote_types(strength->own_type, Num::F64);
  if (type == Num::F64) {
    return real_scalar(type, kernels::numpy_clip(strength->as<double>(), kStrengthFloor, double{kStrengthCeiling}));
  }
  return real_scalar(type, kernels::numpy_clip(strength->as<long double>(), (long double){kStrengthFloor},
                                               (long double){kStrengthCeiling}));
}

// strength * factor in the strength's own type, as NumPy's scalar arithmetic.
Scalar scaled_strength(const Scalar& strength, double factor) {
  if (strength.own_type == Num::F64) return real_scalar(Num::F64, strength.as<double>() * factor);
  return real_scalar(strength.own_type, strength.real * static_cast<long double>(factor));
}

}  // namespace

FuseTruncationScope::FuseTruncationScope(FuseTruncation& truncation) : previous_(current_truncation) {
  current_truncation = &truncation;
}

FuseTruncationScope::~FuseTruncationScope() { current_truncation = previous_; }

Ref laplacian_pyramid(const Args& args) {
  Ref src = args.get("src");
  Ref min_ksize = odd_value(args.get("min_ksize"));
  Ref max_ksize = odd_value(py_add(args.get("min_ksize"), to_py(kLargerKernelStep)));
  const DetailLayer layer{min_ksize, max_ksize, args.get("scale"), args.get("gamma_value")};
  Pyramid pyramid = pyramid_base(src.get(), layer, [] { return std::optional<BaseRange>(BaseRange{0.0, 1.0}); });
  add_gaussian_levels(pyramid, kLaplacianPyramidDepth);
  amplify_details(pyramid, std::vector<Scalar>(kLaplacianPyramidDepth, real_scalar(Num::F64, kLaplacianPyramidGain)));
  return collapse(pyramid);
}

Ref multi_scale_fuse_enhancement(const Args& args) {
  Ref src = args.get("src");
  Ref min_ksize = odd_value(args.get("min_ksize"));
  Ref max_ksize = odd_value(args.get("max_ksize"));
  const DetailLayer layer{min_ksize, max_ksize, args.get("scale"), args.get("gamma_value")};
  const Scalar high_value = clipped_strength(args.get("high_value"));
  const Scalar low_value = clipped_strength(args.get("low_value"));
  Ref mode_fuse = args.get("mode_fuse");
  Ref mode_truncation = args.get("mode_truncation");
  Pyramid pyramid = pyramid_base(src.get(), layer, [&]() -> std::optional<BaseRange> {
    if (py_equals(mode_fuse, 0)) return std::nullopt;
    return BaseRange{kFuseBaseFloor, 1.0};
  });
  add_gaussian_levels(pyramid, kFuseDepth);
  const Scalar fine_gain = scaled_strength(high_value, kFineGainFactor);
  const Scalar coarse_gain = scaled_strength(low_value, kCoarseGainFactor);
  const Scalar coarsest_gain = scaled_strength(coarse_gain, kCoarsestGainShare);
  const std::vector<Scalar> gains{fine_gain, fine_gain, fine_gain, coarse_gain, coarsest_gain};
  FuseTruncation* truncation = current_truncation;
  if (truncation != nullptr && truncation->mode == FuseTruncation::Mode::Record) {
    amplify_details(pyramid, gains, kFuseTruncatedFirst);  // the finer details are not recorded
    for (std::size_t k = 0; k < truncation->recorded.size(); ++k) {
      truncation->recorded[k] = pyramid.levels[kFuseTruncatedFirst + k].object;
    }
    return Ref::none();
  }
  amplify_details(pyramid, gains);
  const bool given = truncation != nullptr && truncation->mode == FuseTruncation::Mode::Given;
  for (std::size_t k = 0; k < 2; ++k) {
    truncate_detail(pyramid.levels[kFuseTruncatedFirst + k], mode_truncation, given ? &truncation->bounds[k] : nullptr);
  }
  return collapse(pyramid);
}

}  // namespace pictor::enhancer
