// What the window filters of the 8-bit working copy share: border indices as
// OpenCV forms them, and the working level of a sample.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/depth.h"
#include "kernels/numeric.h"

namespace pictor::kernels {

// Reflect-101 (the edge sample is not repeated), folded until the index lies
// inside the axis, as a window wider than the image needs; an axis of one
// sample repeats it.
inline std::ptrdiff_t reflect_101(std::ptrdiff_t p, std::ptrdiff_t length) {
  if (length == 1) return 0;
  while (p < 0 || p >= length) p = p < 0 ? -p : 2 * length - p - 2;
  return p;
}

// Replicate: the edge sample repeated.
inline std::ptrdiff_t clamp_index(std::ptrdiff_t p, std::ptrdiff_t length) {
  return p < 0 ? 0 : (p >= length ? length - 1 : p);
}

// The sample's level in the 8-bit working copy of an 8- or 16-bit image.
inline std::uint8_t working_level(std::uint8_t sample) { return sample; }
inline std::uint8_t working_level(std::uint16_t sample) {
  return static_cast<std::uint8_t>(sample / kLevelsPer8BitStep);
}

// A row of levels at framed + channels, framed by one reflected pixel each
// side (the edge sample not repeated).
template <class Level>
void reflect_into_frame(Level* framed, std::ptrdiff_t cols, std::ptrdiff_t channels) {
  Level* inside = framed + channels;
  for (std::ptrdiff_t k = 0; k < channels; ++k) {
    framed[k] = inside[reflect_101(-1, cols) * channels + k];
    inside[cols * channels + k] = inside[reflect_101(cols, cols) * channels + k];
  }
}

// The working levels of one source row, framed by one reflected pixel each side.
template <class T, class Level>
PICTOR_ALSO_FOR_AVX2
void frame_reflected_levels(const T* __restrict row, Level* __restrict framed, std::ptrdiff_t cols,
                            std::ptrdiff_t channels) {
  for (std::ptrdiff_t j = 0; j < cols * channels; ++j) framed[channels + j] = working_level(row[j]);
  reflect_into_frame(framed, cols, channels);
}

}  // namespace pictor::kernels
