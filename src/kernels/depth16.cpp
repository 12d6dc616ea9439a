#include "kernels/depth16.h"

#include <cmath>

#include "kernels/numeric.h"

namespace pictor::kernels {

// src.astype(np.float32): exact, every level has a float32.
PICTOR_ALSO_FOR_AVX2
void levels_to_float(const std::uint16_t* __restrict src, float* __restrict out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = static_cast<float>(src[i]);
}

// np.clip(np.rint(src), 0, 65535).astype(np.uint16): rounded half to even
// (the default rounding mode), saturated; NaN gives 0.
PICTOR_ALSO_FOR_AVX2
void float_to_rounded_levels(const float* __restrict src, std::uint16_t* __restrict out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    // Comparisons, not fmin/fmax (library calls under strict IEEE flags); NaN fails both tests: 0.
    const float positive = src[i] > 0.0f ? src[i] : 0.0f;
    const float clipped = positive < 65535.0f ? positive : 65535.0f;
    out[i] = static_cast<std::uint16_t>(std::nearbyint(clipped));
  }
}

}  // namespace pictor::kernels
