#include "kernels/gauss.h"

#include <algorithm>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

constexpr std::uint32_t kHalfOfResultUnit = 1u << 15;
constexpr int kResultFractionBits = 16;

// The working levels of one source row, framed by reflected columns.
template <class T>
PICTOR_ALSO_FOR_AVX2
void frame_levels(const T* __restrict row, std::uint16_t* __restrict framed, std::ptrdiff_t cols,
                  std::ptrdiff_t channels, std::ptrdiff_t radius) {
  std::uint16_t* inside = framed + radius * channels;
  for (std::ptrdiff_t j = 0; j < cols * channels; ++j) inside[j] = static_cast<std::uint16_t>(working_level(row[j]));
  for (std::ptrdiff_t c = -radius; c < 0; ++c) {
    for (std::ptrdiff_t k = 0; k < channels; ++k) inside[c * channels + k] = inside[reflect_101(c, cols) * channels + k];
  }
  for (std::ptrdiff_t c = cols; c < cols + radius; ++c) {
    for (std::ptrdiff_t k = 0; k < channels; ++k) inside[c * channels + k] = inside[reflect_101(c, cols) * channels + k];
  }
}

// The row pass in 16 bits: every partial sum is at most 255 * 256. The
// weights are symmetric, so the two samples at equal distance from the
// centre share one product.
PICTOR_ALSO_FOR_AVX2
void weigh_along_row(const std::uint16_t* __restrict framed, std::uint16_t* __restrict filtered, std::ptrdiff_t size,
                     std::ptrdiff_t step, const std::uint32_t* weights, long ksize) {
  const long radius = ksize / 2;
  const auto centre_weight = static_cast<std::uint16_t>(weights[radius]);
  const std::uint16_t* centre = framed + radius * step;
  for (std::ptrdiff_t j = 0; j < size; ++j) filtered[j] = static_cast<std::uint16_t>(centre_weight * centre[j]);
  for (long i = 0; i < radius; ++i) {
    const auto weight = static_cast<std::uint16_t>(weights[i]);
    const std::uint16_t* near = framed + i * step;
    const std::uint16_t* far = framed + (ksize - 1 - i) * step;
    for (std::ptrdiff_t j = 0; j < size; ++j) {
      filtered[j] = static_cast<std::uint16_t>(filtered[j] + weight * (near[j] + far[j]));
    }
  }
}

// The column pass in 32 bits, symmetric likewise.
PICTOR_ALSO_FOR_AVX2
void weigh_rows(const std::uint16_t* const* window, const std::uint32_t* weights, long ksize,
                std::uint32_t* __restrict sums, std::ptrdiff_t size) {
  const long radius = ksize / 2;
  const std::uint32_t centre_weight = weights[radius];
  const std::uint16_t* centre = window[radius];
  for (std::ptrdiff_t j = 0; j < size; ++j) sums[j] = centre_weight * centre[j];
  for (long i = 0; i < radius; ++i) {
    const std::uint32_t weight = weights[i];
    const std::uint16_t* near = window[i];
    const std::uint16_t* far = window[ksize - 1 - i];
    for (std::ptrdiff_t j = 0; j < size; ++j) sums[j] += weight * (std::uint32_t{near[j]} + far[j]);
  }
}

PICTOR_ALSO_FOR_AVX2
void write_restored(const std::uint32_t* __restrict sums, std::uint16_t* __restrict out, std::ptrdiff_t size) {
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const std::uint32_t level = (sums[j] + kHalfOfResultUnit) >> kResultFractionBits;
    out[j] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
  }
}

}  // namespace

template <class T>
void gaussian_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, const std::uint32_t* weights, long ksize, std::ptrdiff_t begin,
                            std::ptrdiff_t end) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  std::vector<std::uint16_t> framed(static_cast<std::size_t>((cols + 2 * radius) * channels));
  // The row-filtered source rows of the window, kept in a ring: source row s
  // sits in slot s mod ksize.
  std::vector<std::uint16_t> ring(static_cast<std::size_t>(ksize * stride));
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(stride));
  std::vector<const std::uint16_t*> window(static_cast<std::size_t>(ksize));
  const auto slot = [&](std::ptrdiff_t s) {
    return ring.data() + (((s % ksize) + ksize) % ksize) * stride;
  };
  const auto filter_row = [&](std::ptrdiff_t s) {
    frame_levels(src + reflect_101(s, rows) * stride, framed.data(), cols, channels, radius);
    weigh_along_row(framed.data(), slot(s), stride, channels, weights, ksize);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) filter_row(s);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    filter_row(r + radius);
    for (long i = 0; i < ksize; ++i) window[static_cast<std::size_t>(i)] = slot(r - radius + i);
    weigh_rows(window.data(), weights, ksize, sums.data(), stride);
    write_restored(sums.data(), out + r * stride, stride);
  }
}

template void gaussian_restored_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);
template void gaussian_restored_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);

}  // namespace pictor::kernels
