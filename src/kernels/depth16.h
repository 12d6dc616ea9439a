// 16-bit levels to float32 and back, for the full-depth steps that OpenCV
// computes in float32 only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// src.astype(np.float32): exact, every level has a float32.
void levels_to_float(const std::uint16_t* src, float* out, std::ptrdiff_t size);

// np.clip(np.rint(src), 0, 65535).astype(np.uint16): rounded half to even
// (the default rounding mode), saturated; NaN gives 0.
void float_to_rounded_levels(const float* src, std::uint16_t* out, std::ptrdiff_t size);

}  // namespace pictor::kernels
