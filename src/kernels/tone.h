// Arithmetic of the tone effects, each fused into one pass that ends in the
// 8-bit or 16-bit result, with every step in the element type NumPy gives it
// for the keyword values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

// x * (1 + shadow * m) * (1 + highlight * (1 - m)) for the image x and its
// blurred mask m, clipped to [0, 1], times 65535.0 as uint16. The shadow gain
// is computed in S, the highlight gain in H (the mask 1 - m in float32), the
// product in their promoted type.
template <class S, class H>
PICTOR_ALSO_FOR_AVX2
void shadows_highlight_u16(const float* image, const float* mask, S shadow, H highlight, std::uint16_t* out,
                           std::ptrdiff_t size) {
  using R = promoted<S, H>;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const float highlights_mask = 1.0f - mask[i];
    const S shadow_gain = numpy_add(S(1), numpy_multiply(shadow, static_cast<S>(mask[i])));
    const S shadows_adjusted = numpy_multiply(static_cast<S>(image[i]), shadow_gain);
    const H highlight_gain = numpy_add(H(1), numpy_multiply(highlight, static_cast<H>(highlights_mask)));
    const R adjusted = numpy_multiply(static_cast<R>(shadows_adjusted), static_cast<R>(highlight_gain));
    out[i] = numpy_astype<std::uint16_t>(numpy_multiply(numpy_clip(adjusted, R(0), R(1)), R(65535)));
  }
}

// np.clip(halo * intensity, 0, 255).astype(np.uint8), the product in T,
// through a table of the 256 levels.
template <class T>
void scale_halo(const std::uint8_t* halo, T intensity, std::uint8_t* out, std::ptrdiff_t size) {
  std::uint8_t scaled_level[256];
  for (int level = 0; level < 256; ++level) {
    const T scaled = numpy_multiply(static_cast<T>(level), intensity);
    scaled_level[level] = numpy_astype<std::uint8_t>(numpy_clip(scaled, T(0), T(255)));
  }
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = scaled_level[halo[i]];
}

// addWeighted(working copy, 1, halo, 1, 0) restored to 16 bits, for 8- or
// 16-bit samples: the weighted sum through its table (entry 256 * a + b).
template <class T>
void add_halo_restored(const T* src, const std::uint8_t* halo, const std::uint8_t* sums, std::uint16_t* out,
                       std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint16_t>(sums[working_level(src[i]) * 256 + halo[i]] * kLevelsPer8BitStep);
  }
}

// image = (src / max_value * 255).astype(np.float32) (in float32 for float32
// samples, in float64 otherwise), then
// np.clip(image * contrast + brightness, 0, 255).astype(np.uint8) restored to
// 16 bits, for one sample: the product in C, the sum in B.
template <class T, class C, class B>
inline std::uint16_t brightness_contrast_sample(T sample, double max_value, C contrast, B brightness) {
  using W = std::conditional_t<std::is_same_v<T, float>, float, double>;
  const W unit = static_cast<W>(sample) / static_cast<W>(max_value);
  const auto image = static_cast<float>(unit * static_cast<W>(255));
  const C scaled = numpy_multiply(static_cast<C>(image), contrast);
  return clip_to_u8_restored(numpy_add(static_cast<B>(scaled), brightness));
}

}  // namespace pictor::kernels
