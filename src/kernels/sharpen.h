// Arithmetic of the sharpening enhancements on the 8-bit working copy. Each
// kernel ends with the clip to [0, 255], the truncation to 8 bits and the
// 16-bit restore (257 * w), and evaluates its expression in the element types
// NumPy gives it for the keyword values (integers wrap, reals round).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/tables.h"
#include "kernels/window.h"

namespace pictor::kernels {

// np.clip((src - blurred) * alpha + src, 0, 255).astype(np.uint8) restored
// to 16 bits, for one sample and its blur: the difference in float32, the
// rest in T.
template <class T>
inline std::uint16_t unsharp_sample(std::uint8_t src, std::uint8_t blurred, T alpha) {
  const float difference = static_cast<float>(src) - static_cast<float>(blurred);
  const T detail = numpy_multiply(static_cast<T>(difference), alpha);
  return clip_to_u8_restored(numpy_add(detail, static_cast<T>(src)));
}

constexpr long kSamplePairs = 256 * 256;

// unsharp_sample of the pair src << 8 | blurred.
template <class T>
inline std::uint16_t unsharp_pair(long pair, T alpha) {
  return unsharp_sample(static_cast<std::uint8_t>(pair >> 8), static_cast<std::uint8_t>(pair), alpha);
}

// unsharp_sample of every sample and its blur, through a table of the 65536
// pairs of 8-bit values where the image has more samples than that.
template <class T>
void unsharp_mask_u16(const std::uint8_t* src, const std::uint8_t* blurred, T alpha, std::uint16_t* out,
                      std::ptrdiff_t size, int threads) {
  const auto of_pair = integer_function(
      0, kSamplePairs - 1, size,
      [alpha](long pair) { return unsharp_pair(pair, alpha); }, threads);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = of_pair(src[i] << 8 | blurred[i]);
  });
}

// unsharp_sample of every pair at index w << 8 | b, over `threads` threads.
template <class T>
std::vector<std::uint16_t> unsharp_pairs(T alpha, int threads) {
  std::vector<std::uint16_t> restored(static_cast<std::size_t>(kSamplePairs));
  split_samples(kSamplePairs, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    for (std::ptrdiff_t pair = begin; pair < end; ++pair) restored[pair] = unsharp_pair(pair, alpha);
  });
  return restored;
}

// out[j] = restored[w << 8 | b] for the working level w of each source
// sample and its blur b: unsharp_sample through a table of every pair.
template <class T>
PICTOR_ALSO_FOR_AVX2
void unsharp_row(const T* src, const std::uint8_t* blurred, const std::uint16_t* restored, std::uint16_t* out,
                 std::ptrdiff_t size) {
  for (std::ptrdiff_t j = 0; j < size; ++j) out[j] = restored[working_level(src[j]) << 8 | blurred[j]];
}

// np.clip(src * alpha - laplacian * beta, 0, 255).astype(np.uint8), with the
// float32 Laplacian (whose values are the integers given), the products in A
// and B and the difference in their promoted type.
template <class A, class B>
PICTOR_ALSO_FOR_AVX2
void laplacian_sharpen_u16(const std::uint8_t* src, const std::int16_t* laplacian, A alpha, B beta,
                           std::uint16_t* out, std::ptrdiff_t size) {
  using D = promoted<A, B>;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const A weighted = numpy_multiply(static_cast<A>(src[i]), alpha);
    const B detail = numpy_multiply(static_cast<B>(static_cast<float>(laplacian[i])), beta);
    out[i] = clip_to_u8_restored(numpy_subtract(static_cast<D>(weighted), static_cast<D>(detail)));
  }
}

// The working levels of a row and their 3 x 3 Laplacian (the four neighbours
// less four times the centre, each channel apart), from the framed levels of
// the row and the rows above and below: OpenCV's integer sums.
PICTOR_ALSO_FOR_AVX2
inline void laplacian_of_row(const std::int16_t* __restrict up, const std::int16_t* __restrict here,
                             const std::int16_t* __restrict down, std::uint8_t* __restrict levels,
                             std::int16_t* __restrict laplacian, std::ptrdiff_t size, std::ptrdiff_t step) {
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const std::int16_t centre = here[j + step];
    levels[j] = static_cast<std::uint8_t>(centre);
    laplacian[j] = static_cast<std::int16_t>(up[j + step] + down[j + step] + here[j] + here[j + 2 * step] - 4 * centre);
  }
}

// Rows [begin, end) of laplacian_sharpen_u16 over the working copy of an 8-
// or 16-bit image and its Laplacian, both formed a row at a time; borders
// reflected without repeating the edge sample.
template <class T, class A, class B>
void laplacian_sharpen_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, A alpha, B beta, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = stride + 2 * channels;
  std::vector<std::int16_t> framed(static_cast<std::size_t>(3 * framed_size));
  std::vector<std::uint8_t> levels(static_cast<std::size_t>(stride));
  std::vector<std::int16_t> laplacian(static_cast<std::size_t>(stride));
  const auto slot = [&](std::ptrdiff_t r) { return framed.data() + ((r % 3 + 3) % 3) * framed_size; };
  const auto load = [&](std::ptrdiff_t r) { frame_reflected_levels(src + reflect_101(r, rows) * stride, slot(r), cols, channels); };
  load(begin - 1);
  load(begin);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + 1);
    laplacian_of_row(slot(r - 1), slot(r), slot(r + 1), levels.data(), laplacian.data(), stride, channels);
    laplacian_sharpen_u16(levels.data(), laplacian.data(), alpha, beta, out + r * stride, stride);
  }
}

}  // namespace pictor::kernels
