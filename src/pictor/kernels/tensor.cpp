#include "kernels/tensor.h"

#include <array>
#include <cmath>

#include "kernels/depth.h"

namespace pictor::kernels {

namespace {

constexpr int kLevels = 256;
constexpr float kTopLevel = 255.0f;

// level / 255.0 in float32 (NumPy keeps a float32 array float32 when dividing
// by a Python float), once per 8-bit level.
const std::array<float, kLevels>& unit_float_of_level() {
  static const std::array<float, kLevels> table = [] {
    std::array<float, kLevels> values{};
    for (int level = 0; level < kLevels; ++level) values[level] = static_cast<float>(level) / kTopLevel;
    return values;
  }();
  return table;
}

// np.clip in float32: NaN passes through both bounds.
float clip_unit(float value) {
  if (std::isnan(value)) return value;
  const float raised = value > 0.0f ? value : 0.0f;
  return raised < 1.0f ? raised : 1.0f;
}

// (v * 255.0).round().astype(np.uint8) on a clipped float32 value: round()
// is rint, halves to even, in the default rounding mode; NaN casts as NumPy
// casts it.
std::uint8_t level_of(float unit) {
  const float scaled = unit * kTopLevel;
  return numpy_cast<std::uint8_t>(static_cast<double>(std::nearbyint(scaled)));
}

}  // namespace

void to_planar_unit_float(const std::uint8_t* interleaved, float* planar, std::ptrdiff_t rows,
                          std::ptrdiff_t columns, std::ptrdiff_t channels) {
  const auto& unit = unit_float_of_level();
  const std::ptrdiff_t plane = rows * columns;
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    const std::uint8_t* samples = interleaved + pixel * channels;
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      planar[channel * plane + pixel] = unit[samples[channel]];
    }
  }
}

void to_interleaved_levels(const float* planar, std::uint8_t* interleaved, std::ptrdiff_t channels,
                           std::ptrdiff_t rows, std::ptrdiff_t columns) {
  const std::ptrdiff_t plane = rows * columns;
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    std::uint8_t* samples = interleaved + pixel * channels;
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      samples[channel] = level_of(clip_unit(planar[channel * plane + pixel]));
    }
  }
}

}  // namespace pictor::kernels
