// NumPy 1.x's element-level rules that the fused loops reproduce: clipping,
// value-based typing of float scalars, and `astype` to any real type.
#pragma once
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernels/depth.h"

namespace pictor::kernels {

// np.clip on a floating element: NaN passes through, and a tie keeps the
// bound (so clip(-0.0, 0, 1) is +0.0, as NumPy's max(x, low) gives).
template <class F>
inline F numpy_clip(F value, F low, F high) {
  const F raised = std::isnan(value) ? value : (value > low ? value : low);
  return std::isnan(raised) ? raised : (raised < high ? raised : high);
}

// Value-based casting: a float scalar combined with a float32 array keeps
// the array's type only while the scalar lies strictly within +-3.4e38
// (NumPy's own bounds; NaN and infinities widen to float64).
inline bool keeps_float32(double scalar) { return scalar > -3.4e38 && scalar < 3.4e38; }

// Runs body(float{}) when float32 arithmetic applies, else body(double{}).
template <class F>
void with_float_type(bool single_precision, F&& body) {
  if (single_precision) {
    body(float{});
  } else {
    body(double{});
  }
}

// x.astype(T) of a floating element on x86-64: truncation toward zero through
// a 32-bit (narrow and int32 targets) or 64-bit integer, whose out-of-range
// value (NaN included) is the most negative one; bool is `x != 0`.
template <class T, class F>
inline T numpy_astype(F value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value != 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(value);
  } else if constexpr (sizeof(T) < 4 || std::is_same_v<T, std::int32_t>) {
    return numpy_cast<T>(static_cast<double>(value));
  } else {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    const double wide = static_cast<double>(value);
    if (std::is_unsigned_v<T> && wide >= kTwoTo63) {
      // The upper half of the unsigned range: convert below 2**63, then set the top bit.
      const double lower = wide - kTwoTo63;
      const std::int64_t low_bits = lower < kTwoTo63 ? static_cast<std::int64_t>(lower) : INT64_MIN;
      return static_cast<T>(static_cast<std::uint64_t>(low_bits) ^ (std::uint64_t{1} << 63));
    }
    const bool fits = wide > -9223372036854775809.0 && wide < kTwoTo63;
    return static_cast<T>(fits ? static_cast<std::int64_t>(wide) : INT64_MIN);
  }
}

}  // namespace pictor::kernels
