// Arithmetic between the OpenCV steps of the Laplacian-pyramid enhancements:
// the unit-float image, the detail-boosted pyramid base, the detail levels with
// their gains and truncation, and the collapse. Levels are float32, or float64
// where a keyword value widened the arithmetic; every step rounds in the
// level's type in the order of the NumPy expression it replaces.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/numeric.h"

namespace pictor::kernels {

// Bounds of an np.clip, or none.
template <class F>
struct ClipRange {
  bool active = false;
  F low = 0;
  F high = 0;
};

// base = clip(gamma + (fine - coarse) * scale): the difference of the two
// blurs in their type G, the rest in the base's type F. `base` may be `fine`.
template <class G, class F>
PICTOR_ALSO_FOR_AVX2
void boost_details(const G* gamma, const G* fine, const G* coarse, F scale, ClipRange<F> clip, F* base,
                   std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const G difference = fine[i] - coarse[i];
    const F boosted = static_cast<F>(difference) * scale;
    const F fused = static_cast<F>(gamma[i]) + boosted;
    base[i] = clip.active ? numpy_clip(fused, clip.low, clip.high) : fused;
  }
}

// level = (level - upsampled) * gain, in place: a Gaussian level becomes its
// amplified detail level.
template <class F>
PICTOR_ALSO_FOR_AVX2
void amplified_detail(F* level, const F* upsampled, F gain, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const F detail = level[i] - upsampled[i];
    level[i] = detail * gain;
  }
}

// level = np.clip(level, low, high), in place.
template <class F>
PICTOR_ALSO_FOR_AVX2
void clip_in_place(F* data, std::ptrdiff_t size, F low, F high) {
  for (std::ptrdiff_t i = 0; i < size; ++i) data[i] = numpy_clip(data[i], low, high);
}

// upsampled = detail + upsampled, in place: one collapse step.
template <class F>
PICTOR_ALSO_FOR_AVX2
void add_detail(const F* detail, F* upsampled, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) upsampled[i] = detail[i] + upsampled[i];
}

// (np.clip(detail + upsampled, 0, 1) * 65535).astype(np.uint16): the last
// collapse step and the result.
template <class F>
PICTOR_ALSO_FOR_AVX2
void collapse_to_u16(const F* detail, const F* upsampled, std::uint16_t* out, std::ptrdiff_t size) {
  constexpr F kFullScale = 65535;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const F level = detail[i] + upsampled[i];
    const F scaled = numpy_clip(level, F(0), F(1)) * kFullScale;
    out[i] = numpy_astype<std::uint16_t>(scaled);
  }
}

}  // namespace pictor::kernels
