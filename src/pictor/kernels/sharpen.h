// Arithmetic of the sharpening enhancements on the 8-bit working copy. Each
// kernel ends with the clip to [0, 255], the truncation to 8 bits and the
// 16-bit restore (257 * w), and evaluates its expression in the element types
// NumPy gives it for the keyword values (integers wrap, reals round).
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/numeric.h"

PICTOR_VECTORISED_KERNELS_BEGIN
namespace pictor::kernels {

constexpr int kRestoreFactor16 = 257;  // 65535 / 255

template <class T>
inline std::uint16_t clip_to_u8_restored(T value) {
  const auto sample = vector_astype<std::uint8_t>(vector_clip(value, T(0), T(255)));
  return static_cast<std::uint16_t>(sample * kRestoreFactor16);
}

// np.clip((src - blurred) * alpha + src, 0, 255).astype(np.uint8) restored
// to 16 bits, for one sample and its blur: the difference in float32, the
// rest in T.
template <class T>
inline std::uint16_t unsharp_sample(std::uint8_t src, std::uint8_t blurred, T alpha) {
  const float difference = static_cast<float>(src) - static_cast<float>(blurred);
  const T detail = numpy_multiply(static_cast<T>(difference), alpha);
  return clip_to_u8_restored(numpy_add(detail, static_cast<T>(src)));
}

constexpr std::ptrdiff_t kSamplePairs = 256 * 256;

// unsharp_sample for every pair of 8-bit values, at index src * 256 + blurred.
template <class T>
void tabulate_unsharp(T alpha, std::uint16_t* table) {
  for (std::ptrdiff_t pair = 0; pair < kSamplePairs; ++pair) {
    table[pair] = unsharp_sample(static_cast<std::uint8_t>(pair >> 8), static_cast<std::uint8_t>(pair), alpha);
  }
}

// out = table[first * 256 + second], element by element.
void map_sample_pairs(const std::uint8_t* first, const std::uint8_t* second, const std::uint16_t* table,
                      std::uint16_t* out, std::ptrdiff_t size);

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

}  // namespace pictor::kernels
PICTOR_VECTORISED_KERNELS_END
