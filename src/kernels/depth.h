// The sample-depth convention as element-wise kernels.
//
// Tool methods run most library operations on an 8-bit working copy of their
// input and return the result as 16-bit samples:
//   working copy  (src / max_value * 255.).astype(np.uint8)
//   restore       (result / 255 * 65535.).astype(np.uint16)
// For uint8 and uint16 inputs these are exact integer maps (w = x and
// w = x / 257, restore 257 * w); every other element type follows the
// float64 expression step by step.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/numeric.h"

namespace pictor::kernels {

constexpr double kFullScale8 = 255.0;
constexpr double kFullScale16 = 65535.0;
constexpr int kLevelsPer8BitStep = 257;  // 65535 / 255

// The full scale of 8- or 16-bit samples.
template <class T>
constexpr double kFullScaleOf = sizeof(T) == 1 ? kFullScale8 : kFullScale16;

// np.clip(value, 0, 255).astype(np.uint8) restored to 16 bits (257 * w).
template <class T>
inline std::uint16_t clip_to_u8_restored(T value) {
  const auto sample = numpy_astype<std::uint8_t>(numpy_clip(value, T(0), T(255)));
  return static_cast<std::uint16_t>(sample * kLevelsPer8BitStep);
}

template <class T>
void to_working_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, double max_value) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    out[i] = numpy_cast<std::uint8_t>(static_cast<double>(src[i]) / max_value * 255.0);
  }
}

// Exact integer forms of the working copy for the two native depths.
void to_working_u8(const std::uint8_t* src, std::uint8_t* out, std::ptrdiff_t size, double max_value);
void to_working_u8(const std::uint16_t* src, std::uint8_t* out, std::ptrdiff_t size, double max_value);

template <class T>
void restore_u16(const T* result, std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    out[i] = numpy_cast<std::uint16_t>(static_cast<double>(result[i]) / 255.0 * 65535.0);
  }
}
void restore_u16(const std::uint8_t* result, std::uint16_t* out, std::ptrdiff_t size);

// src / max_value in float64.
template <class T>
void to_unit_float(const T* src, double* out, std::ptrdiff_t size, double max_value) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = static_cast<double>(src[i]) / max_value;
}

}  // namespace pictor::kernels
