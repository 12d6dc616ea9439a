// Colour-space conversions.
#pragma once
#include <cstddef>

namespace pictor::kernels {

// ITU-R BT.601 Y, Cb, Cr on the 0-255 scale from interleaved samples (channel 0
// red, 1 green, 2 blue, further channels ignored) into three planes, with
// NumPy's evaluation of `c0 + (a*R + b*G + c*B) / 256.0` in Real: each
// constant rounded to Real, products constant first, sums left to right.
template <class T, class Real>
void rgb_to_ycbcr_planes(const T* rgb, std::ptrdiff_t pixels, std::ptrdiff_t channels, Real* y, Real* cb,
                         Real* cr) {
  const Real y_red = 65.738, y_green = 129.057, y_blue = 25.064;
  const Real cb_red = -37.945, cb_green = 74.494, cb_blue = 112.439;
  const Real cr_red = 112.439, cr_green = 94.154, cr_blue = 18.285;
  const Real luma_offset = 16.0, chroma_offset = 128.0, scale = 256.0;
  for (std::ptrdiff_t p = 0; p < pixels; ++p) {
    const T* pixel = rgb + p * channels;
    const Real red = static_cast<Real>(pixel[0]);
    const Real green = static_cast<Real>(pixel[1]);
    const Real blue = static_cast<Real>(pixel[2]);
    y[p] = luma_offset + (y_red * red + y_green * green + y_blue * blue) / scale;
    cb[p] = chroma_offset + (cb_red * red - cb_green * green + cb_blue * blue) / scale;
    cr[p] = chroma_offset + (cr_red * red - cr_green * green - cr_blue * blue) / scale;
  }
}

}  // namespace pictor::kernels
