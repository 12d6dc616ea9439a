// NumPy's float64 -> T conversion (`astype`) for every real element type, as
// NumPy's cast loops compute it on x86-64: floating types round to nearest,
// bool is `value != 0`, integer types truncate toward zero through the
// hardware conversion, whose out-of-range and NaN result is the most negative
// integer of its width. Written without undefined behaviour.
#pragma once
#include <cstdint>
#include <limits>
#include <type_traits>

#include "kernels/depth.h"

namespace pictor::kernels {

namespace detail {

constexpr double kTwoTo63 = 9223372036854775808.0;

// cvttsd2si with a 64-bit destination.
inline std::int64_t truncate_to_int64(double value) {
  const bool fits = value >= -kTwoTo63 && value < kTwoTo63;
  return fits ? static_cast<std::int64_t>(value) : std::numeric_limits<std::int64_t>::min();
}

}  // namespace detail

template <class T>
inline T numpy_astype(double value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value != 0.0;  // NaN converts to True
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(value);
  } else if constexpr (sizeof(T) < 4 || (sizeof(T) == 4 && std::is_signed_v<T>)) {
    return numpy_cast<T>(value);  // through a 32-bit integer
  } else if constexpr (sizeof(T) == 4 || std::is_signed_v<T>) {
    // uint32 goes through a 64-bit integer and keeps the low bits.
    return static_cast<T>(detail::truncate_to_int64(value));
  } else {
    // uint64: values from 2**63 up are shifted into the signed range first.
    if (!(value >= detail::kTwoTo63)) return static_cast<T>(detail::truncate_to_int64(value));
    return static_cast<T>(detail::truncate_to_int64(value - detail::kTwoTo63)) ^ (T{1} << 63);
  }
}

}  // namespace pictor::kernels
