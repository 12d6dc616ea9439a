#include "kernels/details.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

constexpr std::uint32_t kHalfOfBlurUnit = 1u << 15;
constexpr int kBlurFractionBits = 16;
constexpr int kLevels = 256;

// One row of OpenCV's fixed-point 3 x 3 Gaussian from the framed levels of
// the source rows above, at and below it: the row pass in 16 bits, the column
// pass in 32, rounded half up from 16 fraction bits. Written framed.
PICTOR_ALSO_FOR_AVX2
void blur_row(const std::uint16_t* __restrict up, const std::uint16_t* __restrict here,
              const std::uint16_t* __restrict down, std::uint16_t* __restrict blurred, std::ptrdiff_t size,
              std::ptrdiff_t step, const std::uint32_t* weights) {
  const auto w0 = static_cast<std::uint16_t>(weights[0]);
  const auto w1 = static_cast<std::uint16_t>(weights[1]);
  const auto w2 = static_cast<std::uint16_t>(weights[2]);
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const auto row_sum = [&](const std::uint16_t* row) {
      return static_cast<std::uint16_t>(w0 * row[j] + w1 * row[j + step] + w2 * row[j + 2 * step]);
    };
    const std::uint32_t sum = weights[0] * row_sum(up) + weights[1] * row_sum(here) + weights[2] * row_sum(down);
    blurred[step + j] = static_cast<std::uint16_t>((sum + kHalfOfBlurUnit) >> kBlurFractionBits);
  }
}

// The saturated Sobel magnitudes |d/dx| and |d/dy| of the framed rows of
// levels above, at and below, packed as the index 256 * |d/dx| + |d/dy|.
PICTOR_ALSO_FOR_AVX2
void gradient_pairs(const std::uint16_t* __restrict up, const std::uint16_t* __restrict here,
                    const std::uint16_t* __restrict down, std::uint16_t* __restrict pairs, std::ptrdiff_t size,
                    std::ptrdiff_t step) {
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const int dx = (up[j + 2 * step] - up[j]) + 2 * (here[j + 2 * step] - here[j]) + (down[j + 2 * step] - down[j]);
    const int dy = (down[j] + 2 * down[j + step] + down[j + 2 * step]) - (up[j] + 2 * up[j + step] + up[j + 2 * step]);
    const int magnitude_x = std::min(std::abs(dx), kLevels - 1);
    const int magnitude_y = std::min(std::abs(dy), kLevels - 1);
    pairs[j] = static_cast<std::uint16_t>(magnitude_x * kLevels + magnitude_y);
  }
}

void detail_row(const std::uint16_t* levels, const std::uint16_t* pairs, const DetailTables& tables,
                std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const std::uint8_t mean_gradient = tables.mean_of_gradients[pairs[j]];
    const std::uint8_t level = tables.with_details[levels[j] * kLevels + mean_gradient];
    out[j] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
  }
}

}  // namespace

template <class T>
void enhance_details_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::ptrdiff_t channels, const DetailTables& tables, std::ptrdiff_t begin,
                          std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = stride + 2 * channels;
  // Rings keyed by place: place p holds source (or blurred) row
  // reflect_101(p). The blur at place b from the levels at places b - 1, b
  // and b + 1 is the blur of row reflect_101(b) even where b lies outside:
  // those places then hold that row's neighbours in reverse order, and the
  // weights are symmetric.
  std::vector<std::uint16_t> levels(static_cast<std::size_t>(5 * framed_size));
  std::vector<std::uint16_t> blurred(static_cast<std::size_t>(3 * framed_size));
  std::vector<std::uint16_t> pairs(static_cast<std::size_t>(stride));
  const auto level_slot = [&](std::ptrdiff_t p) { return levels.data() + ((p % 5 + 5) % 5) * framed_size; };
  const auto blur_slot = [&](std::ptrdiff_t p) { return blurred.data() + ((p % 3 + 3) % 3) * framed_size; };
  const auto load_levels = [&](std::ptrdiff_t p) {
    frame_reflected_levels(src + reflect_101(p, rows) * stride, level_slot(p), cols, channels);
  };
  const auto load_blur = [&](std::ptrdiff_t p) {
    blur_row(level_slot(p - 1), level_slot(p), level_slot(p + 1), blur_slot(p), stride, channels,
             tables.gaussian_weights);
    reflect_into_frame(blur_slot(p), cols, channels);
  };
  for (std::ptrdiff_t p = begin - 2; p < begin + 2; ++p) load_levels(p);
  load_blur(begin - 1);
  load_blur(begin);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load_levels(r + 2);
    load_blur(r + 1);
    gradient_pairs(blur_slot(r - 1), blur_slot(r), blur_slot(r + 1), pairs.data(), stride, channels);
    detail_row(level_slot(r) + channels, pairs.data(), tables, out + r * stride, stride);
  }
}

template <class T>
void mean_gradient_rows(const T* src, std::uint8_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                        std::ptrdiff_t channels, const std::uint8_t* mean_of_gradients, std::ptrdiff_t begin,
                        std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = stride + 2 * channels;
  // A ring keyed by place: place p holds the levels of row reflect_101(p).
  std::vector<std::uint16_t> levels(static_cast<std::size_t>(3 * framed_size));
  std::vector<std::uint16_t> pairs(static_cast<std::size_t>(stride));
  const auto slot = [&](std::ptrdiff_t p) { return levels.data() + ((p % 3 + 3) % 3) * framed_size; };
  const auto load = [&](std::ptrdiff_t p) { frame_reflected_levels(src + reflect_101(p, rows) * stride, slot(p), cols, channels); };
  load(begin - 1);
  load(begin);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + 1);
    gradient_pairs(slot(r - 1), slot(r), slot(r + 1), pairs.data(), stride, channels);
    std::uint8_t* row_out = out + r * stride;
    for (std::ptrdiff_t j = 0; j < stride; ++j) row_out[j] = mean_of_gradients[pairs[j]];
  }
}

template void mean_gradient_rows(const std::uint8_t*, std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                                 const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t);
template void mean_gradient_rows(const std::uint16_t*, std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t,
                                 std::ptrdiff_t, const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t);
template void enhance_details_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, const DetailTables&, std::ptrdiff_t, std::ptrdiff_t);
template void enhance_details_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, const DetailTables&, std::ptrdiff_t, std::ptrdiff_t);

}  // namespace pictor::kernels
