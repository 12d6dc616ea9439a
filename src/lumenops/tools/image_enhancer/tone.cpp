// ImageEnhancer: the tone effects.
#include <algorithm>

#include "tools/image_enhancer/common.h"
#include "kernels/tables.h"
#include "kernels/tone.h"
#include "tools/native_filters.h"

namespace pictor::enhancer {

constexpr long kShadowMaskSigma = 50;

Ref shadows_highlight(const Args& args) {
  Ref src = args.get("src");
  Ref shadow = args.get("shadow");
  Ref highlight = args.get("highlight");
  const double max_value = depth::full_scale(src.get());
  Array working = contiguous(depth::working_u8(src.get(), max_value).get());
  Array image = new_array_like(working, NPY_FLOAT);
  const int threads = call_threads(working.size());
  without_gil([&] {
    kernels::map_by_level(
        working.data<std::uint8_t>(), image.data<float>(), working.size(),
        [](std::uint8_t level) { return kernels::unit_float32(level, kernels::kFullScale8); }, threads);
  });
  Ref mask_ref = cv2("GaussianBlur", image.object, tuple(0, 0), Kw{"sigmaX", to_py(kShadowMaskSigma)});
  Array mask = same_layout(mask_ref, image);
  const Operand shadow_weight = operand(shadow, Num::F32, Operation::Multiply, true);
  const Operand highlight_weight = operand(highlight, Num::F32, Operation::Multiply, true);
  Array result = new_array_like(working, NPY_USHORT);
  with_real_operands(shadow_weight, shadow.get(), highlight_weight, highlight.get(),
                     [&](auto shadow_factor, auto highlight_factor) {
                       split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
                         kernels::shadows_highlight_u16(image.data<float>() + begin, mask.data<float>() + begin,
                                                        shadow_factor, highlight_factor,
                                                        result.data<std::uint16_t>() + begin, end - begin);
                       });
                     });
  return numpy_result(result);
}

// Native filter images have their edge map and the final sum formed from the
// source in one pass each, without the working copy.
Ref glow(const Args& args) {
  Ref src = args.get("src");
  Ref radius = args.get("radius");
  Ref intensity = args.get("intensity");
  const double max_value = depth::full_scale(src.get());
  Ref image;
  Ref edges = native_mean_gradient_magnitude(src.get());
  if (!edges) {
    image = depth::working_u8(src.get(), max_value);
    edges = mean_gradient_magnitude(image);
  }
  Ref side = py_add(py_multiply(radius, to_py(2)), to_py(1));
  Array edge_map = contiguous(edges.get());
  Ref blurred = native_gaussian_of_levels(edges.get(), side);
  if (!blurred) blurred = cv2("GaussianBlur", edges, tuple(side, side), 0);
  Array halo = same_layout(blurred, edge_map);
  const Operand gain = operand(intensity, Num::U8, Operation::Multiply);
  visit_num(gain.result, intensity.get(), [&](auto zero) {
    using T = decltype(zero);
    const T factor = gain.value.as<T>();
    split_samples_without_gil(halo.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::scale_halo(halo.data<std::uint8_t>() + begin, factor, halo.data<std::uint8_t>() + begin, end - begin);
    });
  });
  if (!image) {
    if (Ref result = native_add_halo(src.get(), halo)) return result;
    image = depth::working_u8(src.get(), max_value);
  }
  Ref result = cv2("addWeighted", image, 1, halo.object, 1, 0);
  return depth::restore_u16(result.get());
}

Ref brightness_contrast(const Args& args) {
  Ref src = args.get("src");
  Ref brightness = args.get("brightness");
  Ref contrast = args.get("contrast");
  const double max_value = depth::full_scale(src.get());
  // A function of each sample, tabulated over the levels of 8-bit and 16-bit
  // samples; other sample types (exact in float64) are computed one by one.
  Array input = contiguous(src.get());
  const int type = input.type();
  if (type != NPY_UBYTE && type != NPY_USHORT && type != NPY_FLOAT && type != NPY_DOUBLE) {
    input = contiguous_as(input.object.get(), NPY_DOUBLE);
  }
  const Operand gain = operand(contrast, Num::F32, Operation::Multiply);
  const Operand offset = operand(brightness, gain.result, Operation::Add);
  Array result = new_array_like(input, NPY_USHORT);
  with_real_operands(gain, contrast.get(), offset, brightness.get(), [&](auto factor, auto addend) {
    visit_real_type(input.type(), [&](auto sample_zero) {
      using T = decltype(sample_zero);
      const int threads = call_threads(input.size());
      without_gil([&] {
        kernels::map_by_level(
            input.data<T>(), result.data<std::uint16_t>(), input.size(),
            [&](T level) { return kernels::brightness_contrast_sample(level, max_value, factor, addend); }, threads);
      });
    });
  });
  return numpy_result(result);
}

// The relief kernel, rows from top to bottom; its weights sum to 1.
constexpr float kReliefKernel[3][3] = {{1, 2, 1}, {0, 1, 0}, {-1, -2, -1}};

Ref east(const Args& args) {
  Ref src = args.get("src");
  if (Ref relief = native_relief(src.get())) return relief;
  const npy_intp shape[2] = {3, 3};
  Array kernel = new_array(2, shape, NPY_FLOAT);
  std::copy(&kReliefKernel[0][0], &kReliefKernel[0][0] + 9, kernel.data<float>());
  return cv2("filter2D", src, -1, kernel.object);
}

}  // namespace pictor::enhancer
