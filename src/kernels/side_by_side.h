// Planes of a stack laid side by side in one image and back: a filter with a
// fixed cost per call then runs over many small planes at once.
// Each plane keeps the border that repeats its edge samples: `half` copies of
// its first and last column on either side of it. Its rows need none, since
// every plane's first and last rows are the image's.
#pragma once
#include <algorithm>
#include <cstddef>

namespace pictor::kernels {

// The columns a plane of `cols` columns takes in the side-by-side image.
constexpr std::ptrdiff_t side_by_side_width(std::ptrdiff_t cols, std::ptrdiff_t half) { return cols + 2 * half; }

// `count` planes of rows x cols samples (C order, one after the other) into
// `wide`, rows x (count * side_by_side_width(cols, half)) samples.
template <class T>
void planes_side_by_side(const T* planes, std::ptrdiff_t count, std::ptrdiff_t rows, std::ptrdiff_t cols,
                         std::ptrdiff_t half, T* wide) {
  const std::ptrdiff_t width = side_by_side_width(cols, half);
  for (std::ptrdiff_t row = 0; row < rows; ++row) {
    T* out = wide + row * count * width;
    for (std::ptrdiff_t plane = 0; plane < count; ++plane, out += width) {
      const T* in = planes + (plane * rows + row) * cols;
      std::fill(out, out + half, in[0]);
      std::copy(in, in + cols, out + half);
      std::fill(out + half + cols, out + width, in[cols - 1]);
    }
  }
}

// The planes back out of a side-by-side image laid out by planes_side_by_side.
template <class T>
void planes_from_side_by_side(const T* wide, std::ptrdiff_t count, std::ptrdiff_t rows, std::ptrdiff_t cols,
                              std::ptrdiff_t half, T* planes) {
  const std::ptrdiff_t width = side_by_side_width(cols, half);
  for (std::ptrdiff_t row = 0; row < rows; ++row) {
    const T* in = wide + row * count * width + half;
    for (std::ptrdiff_t plane = 0; plane < count; ++plane, in += width) {
      std::copy(in, in + cols, planes + (plane * rows + row) * cols);
    }
  }
}

}  // namespace pictor::kernels
