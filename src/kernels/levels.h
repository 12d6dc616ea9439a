// Grey-level mappings: functions of a sample's level alone, in float32 as
// the enhancer computes them, and level tables for samples of at most 16 bits.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/reduce.h"
#include "kernels/tables.h"

namespace pictor::kernels {

// --- gamma stretch --------------------------------------------------------------------------

// The exponents for which NumPy 1.x evaluates `float_array ** exponent`
// without its power function: positive, reciprocal, ones_like, sqrt, square.
enum class PowerShortcut { Copy, Reciprocal, Ones, SquareRoot, Square };

inline float shortcut_power(float unit, PowerShortcut shortcut) {
  switch (shortcut) {
    case PowerShortcut::Copy: return unit;
    case PowerShortcut::Reciprocal: return 1.0f / unit;
    case PowerShortcut::Ones: return 1.0f;
    case PowerShortcut::SquareRoot: return std::sqrt(unit);
    case PowerShortcut::Square: return unit * unit;
  }
  return unit;
}

// (np.clip(y, 0, 1) * 65535.0).astype(np.uint16) of a powered value y.
template <class F>
inline std::uint16_t gamma_level(F powered) {
  return numpy_astype<std::uint16_t>(numpy_clip(powered, F(0), F(1)) * static_cast<F>(kFullScale16));
}

template <class F>
void gamma_to_u16(const F* powered, std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = gamma_level(powered[i]);
}

// gamma_stretched with a shortcut exponent: the whole recipe per level.
template <class T>
void gamma_by_shortcut(const T* src, std::uint16_t* out, std::ptrdiff_t size, float divisor,
                       PowerShortcut shortcut, int threads) {
  map_by_level(
      src, out, size,
      [divisor, shortcut](T level) { return gamma_level(shortcut_power(unit_float32(level, divisor), shortcut)); },
      threads);
}

// --- rescale to 8 bits ----------------------------------------------------------------------

template <class T>
constexpr bool is_narrow_level = std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>;

// rescale_to_u8 of 8- or 16-bit levels that are all at most `divisor` (> 0):
// every quotient lies in [0, 1], so the product truncates within [0, 255]
// and needs none of the general cast's range handling.
template <class T>
PICTOR_ALSO_FOR_AVX2
void rescale_levels_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor) {
  static_assert(is_narrow_level<T>);
  // Divided by its type's full scale, every level truncates in float32, as in
  // float64, to its level in the 8-bit working copy.
  if (divisor == kFullScaleOf<T>) return to_working_u8(src, out, size, kFullScaleOf<T>);
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const float scaled = static_cast<float>(src[i]) / divisor * static_cast<float>(kFullScale8);
    out[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(scaled));
  }
}

// (src.astype(np.float32) / divisor * 255).astype(np.uint8). A divisor of 0
// (an all-zero image scaled by its own maximum) makes 0 / 0, written as 0.
// Computed sample by sample: a vectorised division outruns a 16-bit table.
template <class T>
PICTOR_ALSO_FOR_AVX2
void rescale_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor) {
  if constexpr (is_narrow_level<T>) {
    if (divisor >= kFullScaleOf<T>) return rescale_levels_to_u8(src, out, size, divisor);
  }
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    float sample;
    if constexpr (std::is_same_v<T, bool>) {
      // NumPy counts any nonzero byte of a bool array as True; read as a bool it is undefined.
      std::uint8_t byte;
      std::memcpy(&byte, src + i, 1);
      sample = byte != 0 ? 1.0f : 0.0f;
    } else {
      sample = static_cast<float>(src[i]);
    }
    const float unit = (sample == 0 && divisor == 0) ? 0.0f : sample / divisor;
    out[i] = numpy_astype<std::uint8_t>(unit * static_cast<float>(kFullScale8));
  }
}

// rescale_to_u8 over `threads` threads.
template <class T>
void rescale_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor, int threads) {
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    rescale_to_u8(src + begin, out + begin, end - begin, divisor);
  });
}

// (src.astype(np.float32) / np.max(src) * 255).astype(np.uint8) of a non-empty array.
template <class T>
void rescale_by_maximum_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, int threads) {
  const float image_max = static_cast<float>(numpy_extremes(src, size, threads).second);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    if constexpr (is_narrow_level<T>) {
      if (image_max > 0) return rescale_levels_to_u8(src + begin, out + begin, end - begin, image_max);
    }
    rescale_to_u8(src + begin, out + begin, end - begin, image_max);
  });
}

}  // namespace pictor::kernels
