// ImageEnhancer: unsharp masking, Laplacian sharpening and gradient details.
#include "tools/image_enhancer/common.h"
#include "kernels/sharpen.h"
#include "tools/native_filters.h"

namespace pictor::enhancer {
namespace {

// Depth of the gradients of the 8-bit image: the 3 x 3 Sobel sums are
// integers within +-1020, so 16-bit signed holds the same values as the 64-bit
// float of the plain recipe, and convertScaleAbs gives the same bytes.
Ref gradient(const Ref& image, long dx, long dy) {
  Ref gradient_depth = global_attr("cv2", "CV_16S");
  return cv2("Sobel", image, gradient_depth, dx, dy, Kw{"ksize", to_py(3)});
}

}  // namespace

Ref mean_gradient_magnitude(const Ref& image, const Ref& spare) {
  Ref grad_x = gradient(image, 1, 0);
  Ref grad_y = gradient(image, 0, 1);
  Ref abs_grad_x = spare ? cv2("convertScaleAbs", grad_x, Kw{"dst", spare}) : cv2("convertScaleAbs", grad_x);
  Ref abs_grad_y = cv2("convertScaleAbs", grad_y);
  return cv2("addWeighted", abs_grad_x, 0.5, abs_grad_y, 0.5, 0, Kw{"dst", abs_grad_x});
}

// The restored result of every pair of a working level and its blur, for
// the alpha given.
std::vector<std::uint16_t> unsharp_pairs(const Ref& alpha) {
  const Operand weight = operand(alpha, Num::F32, Operation::Multiply);
  std::vector<std::uint16_t> restored;
  visit_real_num(weight.result, alpha.get(), [&](auto zero) {
    using T = decltype(zero);
    const T factor = weight.value.as<T>();
    const int threads = call_threads(kernels::kSamplePairs);
    without_gil([&] { restored = kernels::unsharp_pairs(factor, threads); });
  });
  return restored;
}

Ref unsharpen_mask(const Args& args) {
  Ref src = args.get("src");
  Ref alpha = args.get("alpha");
  Ref ksize = odd_value(args.get("ksize"));
  // Images with fewer samples than there are pairs spend less without the table.
  if (PyArray_Check(src.get()) && PyArray_SIZE(as_array(src.get())) > kernels::kSamplePairs &&
      !is_single_channel_stack(src.get())) {
    Ref fused = native_unsharp_mask(src.get(), ksize, [&] { return unsharp_pairs(alpha); });
    if (fused) return fused;
  }
  const double max_value = depth::full_scale(src.get());
  Ref working_copy = depth::working_u8(src.get(), max_value);
  Ref blur = cv2("GaussianBlur", working_copy, tuple(ksize, ksize), 0);
  Array working = contiguous(working_copy.get());
  Array blurred = same_layout(blur, working);
  const Operand weight = operand(alpha, Num::F32, Operation::Multiply);
  Array result = new_array_like(working, NPY_USHORT);
  visit_real_num(weight.result, alpha.get(), [&](auto zero) {
    using T = decltype(zero);
    const T factor = weight.value.as<T>();
    const int threads = call_threads(working.size());
    without_gil([&] {
      kernels::unsharp_mask_u16(working.data<std::uint8_t>(), blurred.data<std::uint8_t>(), factor,
                                result.data<std::uint16_t>(), working.size(), threads);
    });
  });
  return numpy_result(result);
}

// The 3 x 3 Laplacian of 8-bit samples is an integer within +-1020: 16-bit
// signed output holds the same values as the float32 of the plain recipe and
// is computed several times faster. Native filter images have their working
// copy and Laplacian formed a row at a time, in the same pass.
Ref laplacian_enhancement(const Args& args) {
  Ref src = args.get("src");
  Ref alpha = args.get("alpha");
  Ref beta = args.get("beta");
  const double max_value = depth::full_scale(src.get());
  const bool fused = is_native_filter_image(src.get());
  Array working, laplacian;
  if (!fused) {
    Ref working_copy = depth::working_u8(src.get(), max_value);
    Ref laplacian_depth = global_attr("cv2", "CV_16S");
    Ref laplacian_ref = cv2("Laplacian", working_copy, laplacian_depth);
    working = contiguous(working_copy.get());
    laplacian = contiguous(laplacian_ref.get());
    require_same_shape(working, laplacian);
    if (laplacian.type() != NPY_SHORT) raise(PyExc_TypeError, "unexpected element type of a library result");
  }
  const Operand weight = operand(alpha, Num::U8, Operation::Multiply);
  const Operand detail_weight = operand(beta, Num::F32, Operation::Multiply);
  Ref result;
  visit_num(weight.result, alpha.get(), [&](auto alpha_zero) {
    visit_real_num(detail_weight.result, beta.get(), [&](auto beta_zero) {
      using A = decltype(alpha_zero);
      using B = decltype(beta_zero);
      const A image_factor = weight.value.as<A>();
      const B detail_factor = detail_weight.value.as<B>();
      if (fused) {
        result = filter_image(src.get(), NPY_USHORT,
                              [&](auto zero, const Array& input, const Array& output, ImageRows image,
                                  std::ptrdiff_t begin, std::ptrdiff_t end) {
                                using T = decltype(zero);
                                kernels::laplacian_sharpen_rows(input.data<T>(), output.data<std::uint16_t>(),
                                                                image.rows, image.cols, image.channels, image_factor,
                                                                detail_factor, begin, end);
                              });
        return;
      }
      Array sharpened = new_array_like(working, NPY_USHORT);
      split_samples_without_gil(working.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        kernels::laplacian_sharpen_u16(working.data<std::uint8_t>() + begin, laplacian.data<std::int16_t>() + begin,
                                       image_factor, detail_factor, sharpened.data<std::uint16_t>() + begin,
                                       end - begin);
      });
      result = numpy_result(sharpened);
    });
  });
  return result;
}

Ref enhance_details(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  if (Ref details = native_enhance_details(src.get())) return details;
  Ref working = depth::working_u8(src.get(), max_value);
  Ref image = cv2("GaussianBlur", working, tuple(3, 3), 0);
  Ref sobelxy = mean_gradient_magnitude(image, image);
  Ref details = cv2("addWeighted", working, 1, sobelxy, 0.2, 0, Kw{"dst", sobelxy});
  return depth::restore_u16(details.get());
}

}  // namespace pictor::enhancer
