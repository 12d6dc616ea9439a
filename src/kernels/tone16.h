// Arithmetic of the sharpening and tone effects on the 65,536 levels of a
// 16-bit image (pictor's full-depth functions): each kernel is one pass that
// ends in the uint16 result, evaluating the steps in the element types NumPy
// gives them and clipping to [0, 65535] where the 8-bit method clips to
// [0, 255].
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

constexpr int kTopLevel16 = 65535;

// np.clip(x, 0, 65535).astype(np.uint16) of a real x.
template <class T>
inline std::uint16_t clip_to_u16(T x) {
  return numpy_astype<std::uint16_t>(numpy_clip(x, T(0), T(kTopLevel16)));
}

// np.clip((src - blurred) * alpha + src, 0, 65535).astype(np.uint16): the
// difference in float32 (exact for 16-bit levels), the rest in T.
template <class T>
PICTOR_ALSO_FOR_AVX2
void unsharp_mask_levels(const std::uint16_t* src, const std::uint16_t* blurred, T alpha, std::uint16_t* out,
                         std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const float difference = static_cast<float>(src[i]) - static_cast<float>(blurred[i]);
    const T detail = numpy_multiply(static_cast<T>(difference), alpha);
    out[i] = clip_to_u16(numpy_add(detail, static_cast<T>(src[i])));
  }
}

// The three rows a 3 x 3 window of row r reads, reflected without repeating
// the edge row (OpenCV's default border).
struct RowTriple {
  const std::uint16_t* up;
  const std::uint16_t* here;
  const std::uint16_t* down;
};

inline RowTriple row_triple(const std::uint16_t* src, std::ptrdiff_t r, std::ptrdiff_t rows, std::ptrdiff_t stride) {
  return {src + reflect_101(r - 1, rows) * stride, src + r * stride, src + reflect_101(r + 1, rows) * stride};
}

// visit(i, left, right) for every sample i of a row of `cols` pixels of
// `channels` samples, with the flat indices of the same channel one pixel to
// the left and right (reflected at the ends): the interior as one plain loop
// the compiler vectorises, the two end pixels apart.
template <class Visit>
inline void for_each_neighbourhood(std::ptrdiff_t cols, std::ptrdiff_t channels, Visit&& visit) {
  const std::ptrdiff_t stride = cols * channels;
  const auto end_pixel = [&](std::ptrdiff_t x) {
    const std::ptrdiff_t left = reflect_101(x - 1, cols) * channels, right = reflect_101(x + 1, cols) * channels;
    for (std::ptrdiff_t k = 0; k < channels; ++k) visit(x * channels + k, left + k, right + k);
  };
  end_pixel(0);
  for (std::ptrdiff_t i = channels; i < stride - channels; ++i) visit(i, i - channels, i + channels);
  if (cols > 1) end_pixel(cols - 1);
}

// np.rint(min(|gx|, 65535) * 0.5 + min(|gy|, 65535) * 0.5) for the integer
// 3 x 3 Sobel sums gx, gy (exact in float64): half the sum, a half rounded to even.
inline std::uint16_t mean_magnitude(std::int32_t gx, std::int32_t gy) {
  const std::int32_t a = std::min(std::abs(gx), kTopLevel16), b = std::min(std::abs(gy), kTopLevel16);
  const std::int32_t sum = a + b, half = sum >> 1;
  return static_cast<std::uint16_t>(half + (sum & half & 1));
}

// The mean gradient magnitude of one row from its window rows: OpenCV's 3 x 3
// Sobel sums in 32-bit integers (the same integers as its float64 result).
PICTOR_ALSO_FOR_AVX2
inline void mean_gradient_row(const RowTriple& rows, std::uint16_t* edges, std::ptrdiff_t cols,
                              std::ptrdiff_t channels) {
  const std::uint16_t* up = rows.up;
  const std::uint16_t* here = rows.here;
  const std::uint16_t* down = rows.down;
  for_each_neighbourhood(cols, channels, [&](std::ptrdiff_t i, std::ptrdiff_t l, std::ptrdiff_t r) {
    const std::int32_t gx = (std::int32_t{up[r]} - up[l]) + 2 * (std::int32_t{here[r]} - here[l]) +
                            (std::int32_t{down[r]} - down[l]);
    const std::int32_t gy = (std::int32_t{down[l]} + 2 * std::int32_t{down[i]} + down[r]) -
                            (std::int32_t{up[l]} + 2 * std::int32_t{up[i]} + up[r]);
    edges[i] = mean_magnitude(gx, gy);
  });
}

// Rows [begin, end) of the mean gradient magnitude of a rows x cols image.
inline void mean_gradient_rows(const std::uint16_t* src, std::uint16_t* edges, std::ptrdiff_t rows,
                               std::ptrdiff_t cols, std::ptrdiff_t channels, std::ptrdiff_t begin,
                               std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    mean_gradient_row(row_triple(src, r, rows, stride), edges + r * stride, cols, channels);
  }
}

// np.clip(np.rint(src + sobelxy * 0.2), 0, 65535).astype(np.uint16) in float64.
PICTOR_ALSO_FOR_AVX2
inline void add_detail_row(const std::uint16_t* src, const std::uint16_t* sobelxy, std::uint16_t* out,
                           std::ptrdiff_t size) {
  constexpr double kDetailShare = 0.2;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const double detail = static_cast<double>(sobelxy[i]) * kDetailShare;
    out[i] = clip_to_u16(std::nearbyint(static_cast<double>(src[i]) + detail));
  }
}

// Rows [begin, end) of enhance_details: the gradient of the pre-blurred
// image, a row at a time, added to the source.
inline void enhance_details_rows(const std::uint16_t* src, const std::uint16_t* blurred, std::uint16_t* out,
                                 std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                                 std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  std::vector<std::uint16_t> sobelxy(static_cast<std::size_t>(stride));
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    mean_gradient_row(row_triple(blurred, r, rows, stride), sobelxy.data(), cols, channels);
    add_detail_row(src + r * stride, sobelxy.data(), out + r * stride, stride);
  }
}

// np.clip(src * alpha - laplacian * beta, 0, 65535).astype(np.uint16) for one
// row: the Laplacian (four neighbours less four times the centre, OpenCV's
// float32 of integer sums) in 32-bit integers, src * alpha in A, the
// Laplacian term in B, the difference in their promoted type.
template <class A, class B>
PICTOR_ALSO_FOR_AVX2
void laplacian_sharpen_row(const RowTriple& rows, std::uint16_t* out, std::ptrdiff_t cols, std::ptrdiff_t channels,
                           A alpha, B beta) {
  using D = promoted<A, B>;
  const std::uint16_t* up = rows.up;
  const std::uint16_t* here = rows.here;
  const std::uint16_t* down = rows.down;
  for_each_neighbourhood(cols, channels, [&](std::ptrdiff_t i, std::ptrdiff_t l, std::ptrdiff_t r) {
    const std::int32_t laplacian =
        std::int32_t{up[i]} + down[i] + here[l] + here[r] - 4 * std::int32_t{here[i]};
    const A weighted = numpy_multiply(static_cast<A>(here[i]), alpha);
    const B detail = numpy_multiply(static_cast<B>(static_cast<float>(laplacian)), beta);
    out[i] = clip_to_u16(numpy_subtract(static_cast<D>(weighted), static_cast<D>(detail)));
  });
}

template <class A, class B>
void laplacian_sharpen_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, A alpha, B beta, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    laplacian_sharpen_row(row_triple(src, r, rows, stride), out + r * stride, cols, channels, alpha, beta);
  }
}

// min(src + scaled[halo], 65535): the saturating sum of the image and its
// scaled halo, the scaling tabulated over the halo's levels.
PICTOR_ALSO_FOR_AVX2
inline void add_scaled_halo(const std::uint16_t* src, const std::uint16_t* halo, const std::uint16_t* scaled,
                            std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint16_t>(std::min(std::int32_t{src[i]} + scaled[halo[i]], kTopLevel16));
  }
}

// np.transpose(img.astype(np.float32) / 65535.0, (2, 0, 1)) of an
// interleaved 16-bit picture.
inline void planar_unit_float_of_u16(const std::uint16_t* interleaved, float* planar, std::ptrdiff_t plane,
                                 std::ptrdiff_t channels) {
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      planar[channel * plane + pixel] = static_cast<float>(interleaved[pixel * channels + channel]) / 65535.0f;
    }
  }
}

// (np.transpose(np.clip(tensor, 0, 1), (1, 2, 0)) * 65535.0).round().astype(np.uint16)
// in float32. NaN (kept by np.clip) goes to 0, as NumPy's cast gives it here.
inline void interleaved_u16_levels(const float* planar, std::uint16_t* interleaved, std::ptrdiff_t plane,
                                  std::ptrdiff_t channels) {
  constexpr float kRoundingBias = 8388608.0f;  // 2^23: adding and removing it rounds half to even
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      const float value = planar[channel * plane + pixel];
      const float raised = value > 0.0f ? value : 0.0f;
      const float clipped = raised < 1.0f ? raised : 1.0f;
      const float scaled = clipped * 65535.0f;
      interleaved[pixel * channels + channel] = static_cast<std::uint16_t>((scaled + kRoundingBias) - kRoundingBias);
    }
  }
}

}  // namespace pictor::kernels
