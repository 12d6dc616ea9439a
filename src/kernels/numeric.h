// Element types of NumPy arithmetic and NumPy's element-wise semantics on them.
//
// A kernel that replaces a chain of NumPy expressions evaluates every step in
// the element type NumPy would use for it, with NumPy's own rounding, integer
// wrap-around, clipping and casting, so that the result has the same bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

// The busiest kernels are also built for AVX2, chosen when the module is
// loaded on a processor that has it: the same IEEE operations on wider
// vectors (no FMA), so the same bits. Integer kernels that hold more vectors
// than AVX2's 16 registers also have a clone for AVX-512 processors (32
// registers, the same 32-byte vectors).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PICTOR_ALSO_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#define PICTOR_ALSO_FOR_AVX512 __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define PICTOR_ALSO_FOR_AVX2
#define PICTOR_ALSO_FOR_AVX512
#endif

namespace pictor::kernels {

// The element types of NumPy arithmetic that have a native kernel.
enum class Num { Bool, U8, I8, U16, I16, U32, I32, U64, I64, F16, F32, F64, F80 };

using half = _Float16;

namespace detail {

constexpr bool is_float(Num t) { return t == Num::F16 || t == Num::F32 || t == Num::F64 || t == Num::F80; }
constexpr bool is_unsigned(Num t) {
  return t == Num::U8 || t == Num::U16 || t == Num::U32 || t == Num::U64;
}
constexpr int size_of(Num t) {
  switch (t) {
    case Num::Bool: case Num::U8: case Num::I8: return 1;
    case Num::U16: case Num::I16: case Num::F16: return 2;
    case Num::U32: case Num::I32: case Num::F32: return 4;
    case Num::U64: case Num::I64: case Num::F64: return 8;
    case Num::F80: return 16;
  }
  return 0;
}
constexpr Num signed_of_size(int size) {
  return size == 1 ? Num::I8 : size == 2 ? Num::I16 : size == 4 ? Num::I32 : Num::I64;
}
// The float type NumPy promotes an integer type to (int64 and uint64 lose bits in float64).
constexpr Num float_holding(Num integer) {
  return size_of(integer) == 1 ? Num::F16 : size_of(integer) == 2 ? Num::F32 : Num::F64;
}

}  // namespace detail

// np.promote_types for the types above.
constexpr Num promote_types(Num a, Num b) {
  using namespace detail;
  if (a == b || b == Num::Bool) return a;
  if (a == Num::Bool) return b;
  if (is_float(a) || is_float(b)) {
    const Num fa = is_float(a) ? a : float_holding(a);
    const Num fb = is_float(b) ? b : float_holding(b);
    return size_of(fa) >= size_of(fb) ? fa : fb;
  }
  if (is_unsigned(a) == is_unsigned(b)) return size_of(a) >= size_of(b) ? a : b;
  const Num u = is_unsigned(a) ? a : b;
  const Num s = is_unsigned(a) ? b : a;
  if (size_of(s) > size_of(u)) return s;
  return size_of(u) < 8 ? signed_of_size(2 * size_of(u)) : Num::F64;
}

template <Num N> struct type_of_num;
template <> struct type_of_num<Num::Bool> { using type = bool; };
template <> struct type_of_num<Num::U8> { using type = std::uint8_t; };
template <> struct type_of_num<Num::I8> { using type = std::int8_t; };
template <> struct type_of_num<Num::U16> { using type = std::uint16_t; };
template <> struct type_of_num<Num::I16> { using type = std::int16_t; };
template <> struct type_of_num<Num::U32> { using type = std::uint32_t; };
template <> struct type_of_num<Num::I32> { using type = std::int32_t; };
template <> struct type_of_num<Num::U64> { using type = std::uint64_t; };
template <> struct type_of_num<Num::I64> { using type = std::int64_t; };
template <> struct type_of_num<Num::F16> { using type = half; };
template <> struct type_of_num<Num::F32> { using type = float; };
template <> struct type_of_num<Num::F64> { using type = double; };
template <> struct type_of_num<Num::F80> { using type = long double; };

template <class T> constexpr Num num_of() {
  if constexpr (std::is_same_v<T, bool>) return Num::Bool;
  else if constexpr (std::is_same_v<T, std::uint8_t>) return Num::U8;
  else if constexpr (std::is_same_v<T, std::int8_t>) return Num::I8;
  else if constexpr (std::is_same_v<T, std::uint16_t>) return Num::U16;
  else if constexpr (std::is_same_v<T, std::int16_t>) return Num::I16;
  else if constexpr (std::is_same_v<T, std::uint32_t>) return Num::U32;
  else if constexpr (std::is_same_v<T, std::int32_t>) return Num::I32;
  else if constexpr (std::is_same_v<T, std::uint64_t>) return Num::U64;
  else if constexpr (std::is_same_v<T, std::int64_t>) return Num::I64;
  else if constexpr (std::is_same_v<T, half>) return Num::F16;
  else if constexpr (std::is_same_v<T, float>) return Num::F32;
  else if constexpr (std::is_same_v<T, double>) return Num::F64;
  else return Num::F80;
}

// The element type of an operation between arrays of types A and B.
template <class A, class B>
using promoted = typename type_of_num<promote_types(num_of<A>(), num_of<B>())>::type;

// `a * b`, `a + b`, `a - b` as NumPy's loops for element type T compute them:
// integers wrap around, float16 rounds a float32 result.
template <class T>
inline T numpy_multiply(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
  } else if constexpr (std::is_same_v<T, half>) {
    return static_cast<half>(static_cast<float>(a) * static_cast<float>(b));
  } else {
    return a * b;
  }
}

template <class T>
inline T numpy_add(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
  } else if constexpr (std::is_same_v<T, half>) {
    return static_cast<half>(static_cast<float>(a) + static_cast<float>(b));
  } else {
    return a + b;
  }
}

template <class T>
inline T numpy_subtract(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
  } else if constexpr (std::is_same_v<T, half>) {
    return static_cast<half>(static_cast<float>(a) - static_cast<float>(b));
  } else {
    return a - b;
  }
}

template <class T>
inline bool is_nan(T value) {
  if constexpr (std::is_integral_v<T>) return false;
  else return value != value;
}

// np.clip(x, low, high) for one element: min(max(x, low), high) where a NaN
// operand wins, so a NaN bound gives NaN, low > high gives high, and a tie
// keeps the bound (clip(-0.0, 0, 1) is +0.0, as NumPy's max(x, low) gives).
// Written as plain selects, which the vectoriser turns into blends.
template <class T>
inline T numpy_clip(T x, T low, T high) {
  const T raised = x > low ? x : low;
  const T at_least_low = is_nan(x) ? x : raised;
  const T lowered = at_least_low < high ? at_least_low : high;
  return is_nan(at_least_low) ? at_least_low : lowered;
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

// NumPy's float -> narrow integer cast on x86-64: truncate to a 32-bit
// integer (out of range and NaN give INT32_MIN) and keep the low bits. The
// range test is a select, so that loops over it vectorise.
template <class Narrow, class F>
inline Narrow numpy_cast(F value) {
  const bool fits = (value > static_cast<F>(-2147483649.0L)) & (value < static_cast<F>(2147483648.0L));
  return static_cast<Narrow>(static_cast<std::int32_t>(fits ? value : static_cast<F>(INT32_MIN)));
}

// x.astype(T) of an element on x86-64. Integers keep their low bits. Reals
// truncate toward zero through a 32-bit (narrow and int32 targets) or 64-bit
// integer, whose out-of-range value (NaN included) is the most negative one;
// bool is `x != 0`.
template <class T, class F>
inline T numpy_astype(F value) {
  if constexpr (std::is_same_v<F, half>) {
    return numpy_astype<T>(static_cast<float>(value));  // exact, and INT32_MIN fits float
  } else if constexpr (std::is_same_v<T, bool>) {
    return value != 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(value);
  } else if constexpr (std::is_integral_v<F>) {
    return static_cast<T>(value);
  } else if constexpr (sizeof(T) < 4 || std::is_same_v<T, std::int32_t>) {
    return numpy_cast<T>(value);
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

// src.astype(np.float32) / divisor (a float scalar that keeps float32).
template <class T>
inline float unit_float32(T src, float divisor) {
  return static_cast<float>(src) / divisor;
}

template <class T>
void to_unit_float32(const T* src, float* out, std::ptrdiff_t size, float divisor) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = unit_float32(src[i], divisor);
}

}  // namespace pictor::kernels
