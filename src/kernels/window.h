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

// A row of levels at framed + radius * channels, framed by `radius`
// reflected pixels each side (the edge sample not repeated, folding back as
// often as a frame wider than the row needs).
template <class Level>
void reflect_into_frame(Level* framed, std::ptrdiff_t cols, std::ptrdiff_t channels, std::ptrdiff_t radius = 1) {
  Level* inside = framed + radius * channels;
  const auto reflect_column = [&](std::ptrdiff_t c) {
    for (std::ptrdiff_t k = 0; k < channels; ++k) inside[c * channels + k] = inside[reflect_101(c, cols) * channels + k];
  };
  for (std::ptrdiff_t c = -radius; c < 0; ++c) reflect_column(c);
  for (std::ptrdiff_t c = cols; c < cols + radius; ++c) reflect_column(c);
}

// The working levels of one source row, framed by `radius` reflected pixels each side.
template <class T, class Level>
PICTOR_ALSO_FOR_AVX2
void frame_reflected_levels(const T* __restrict row, Level* __restrict framed, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, std::ptrdiff_t radius = 1) {
  Level* inside = framed + radius * channels;
  for (std::ptrdiff_t j = 0; j < cols * channels; ++j) inside[j] = working_level(row[j]);
  reflect_into_frame(framed, cols, channels, radius);
}

}  // namespace pictor::kernels
