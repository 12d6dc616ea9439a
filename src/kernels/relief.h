// The relief filter of 8- and 16-bit samples: the 3 x 3 kernel
//    1  2  1
//    0  1  0
//   -1 -2 -1
// correlated with each channel, borders reflected without repeating the edge
// sample (a length-1 axis repeats its only sample), and the sum saturated to
// the sample type. Every weight and sample is an integer and every sum lies
// within +-4 * 65535, exact in float32: OpenCV's float filter gives these
// integers whatever its order of summation, and so do the int32 sums here.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace detail {

template <class T>
inline T saturate_relief(std::int32_t sum) {
  constexpr std::int32_t kHighest = std::numeric_limits<T>::max();
  return static_cast<T>(std::clamp<std::int32_t>(sum, 0, kHighest));
}

template <class T>
inline T relief_sample(const T* up, const T* here, const T* down, std::ptrdiff_t left, std::ptrdiff_t centre,
                       std::ptrdiff_t right) {
  const std::int32_t above = up[left] + 2 * up[centre] + up[right];
  const std::int32_t below = down[left] + 2 * down[centre] + down[right];
  return saturate_relief<T>(above + here[centre] - below);
}

// One row of `cols` pixels of `channels` interleaved samples.
template <class T>
PICTOR_ALSO_FOR_AVX2
void relief_row(const T* __restrict up, const T* __restrict here, const T* __restrict down, T* __restrict out,
                std::ptrdiff_t cols, std::ptrdiff_t channels) {
  const std::ptrdiff_t samples = cols * channels;
  for (std::ptrdiff_t k = 0; k < channels; ++k) {
    const std::ptrdiff_t left = reflect_101(-1, cols) * channels + k;
    const std::ptrdiff_t right = reflect_101(1, cols) * channels + k;
    out[k] = relief_sample(up, here, down, left, k, right);
  }
  // Inside the row every neighbour is one pixel away.
  for (std::ptrdiff_t j = channels; j < samples - channels; ++j) {
    const std::int32_t above = up[j - channels] + 2 * up[j] + up[j + channels];
    const std::int32_t below = down[j - channels] + 2 * down[j] + down[j + channels];
    out[j] = saturate_relief<T>(above + here[j] - below);
  }
  if (cols > 1) {
    for (std::ptrdiff_t k = 0; k < channels; ++k) {
      const std::ptrdiff_t centre = samples - channels + k;
      const std::ptrdiff_t left = reflect_101(cols - 2, cols) * channels + k;
      const std::ptrdiff_t right = reflect_101(cols, cols) * channels + k;
      out[centre] = relief_sample(up, here, down, left, centre, right);
    }
  }
}

}  // namespace detail

// Rows [begin, end) of the relief of a rows x cols image of `channels`
// interleaved samples (C order, rows, cols >= 1).
template <class T>
void relief_rows(const T* src, T* out, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                 std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    detail::relief_row(src + reflect_101(r - 1, rows) * stride, src + r * stride,
                       src + reflect_101(r + 1, rows) * stride, out + r * stride, cols, channels);
  }
}

}  // namespace pictor::kernels
