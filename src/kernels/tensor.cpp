#include "kernels/tensor.h"

#include <array>

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

// Adding and taking away 2^23 leaves a float32 in [0, 2^23] rounded to an
// integer in the current rounding mode (to nearest, halves to even): the same
// value std::nearbyint gives, without its call per sample.
constexpr float kRoundingBias = 8388608.0f;

// np.clip(v, 0, 1) * 255.0, .round(), .astype(np.uint8) for one float32 value.
// np.clip keeps NaN and NumPy casts NaN to 0 on this platform; sending NaN to
// the lower bound gives that same 0 without a branch.
std::uint8_t level_of(float value) {
  const float raised = value > 0.0f ? value : 0.0f;
  const float clipped = raised < 1.0f ? raised : 1.0f;
  const float scaled = clipped * kTopLevel;
  const float rounded = (scaled + kRoundingBias) - kRoundingBias;
  return static_cast<std::uint8_t>(static_cast<int>(rounded));
}

// The loops below, with the channel count known at compile time for the
// common RGB case (the inner loop then unrolls), else read at run time.
constexpr std::ptrdiff_t kRgb = 3;
constexpr std::ptrdiff_t kAnyChannels = 0;

template <std::ptrdiff_t kChannels>
void planar_unit_float(const std::uint8_t* interleaved, float* planar, std::ptrdiff_t plane,
                       std::ptrdiff_t any_channels) {
  const std::ptrdiff_t channels = kChannels == kAnyChannels ? any_channels : kChannels;
  const auto& unit = unit_float_of_level();
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      planar[channel * plane + pixel] = unit[interleaved[pixel * channels + channel]];
    }
  }
}

template <std::ptrdiff_t kChannels>
void interleaved_levels(const float* planar, std::uint8_t* interleaved, std::ptrdiff_t plane,
                        std::ptrdiff_t any_channels) {
  const std::ptrdiff_t channels = kChannels == kAnyChannels ? any_channels : kChannels;
  for (std::ptrdiff_t pixel = 0; pixel < plane; ++pixel) {
    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
      interleaved[pixel * channels + channel] = level_of(planar[channel * plane + pixel]);
    }
  }
}

}  // namespace

void to_planar_unit_float(const std::uint8_t* interleaved, float* planar, std::ptrdiff_t rows,
                          std::ptrdiff_t columns, std::ptrdiff_t channels) {
  if (channels == kRgb) return planar_unit_float<kRgb>(interleaved, planar, rows * columns, channels);
  planar_unit_float<kAnyChannels>(interleaved, planar, rows * columns, channels);
}

void to_interleaved_levels(const float* planar, std::uint8_t* interleaved, std::ptrdiff_t channels,
                           std::ptrdiff_t rows, std::ptrdiff_t columns) {
  if (channels == kRgb) return interleaved_levels<kRgb>(planar, interleaved, rows * columns, channels);
  interleaved_levels<kAnyChannels>(planar, interleaved, rows * columns, channels);
}

}  // namespace pictor::kernels
