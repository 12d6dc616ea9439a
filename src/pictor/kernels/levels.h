// Grey-level mappings: functions of a sample's level alone, in float32 as
// the enhancer computes them, and level tables for samples of at most 16 bits.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/parallel.h"
#include "kernels/reduce.h"

namespace pictor::kernels {

// src.astype(np.float32) / divisor (a float scalar that keeps float32).
template <class T>
inline float unit_float32(T src, float divisor) {
  return static_cast<float>(src) / divisor;
}

template <class T>
void to_unit_float32(const T* src, float* out, std::ptrdiff_t size, float divisor) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = unit_float32(src[i], divisor);
}

// --- level tables: one entry per possible level of a sample type ---------------------------

template <class T>
constexpr bool has_level_table = std::is_integral_v<T> && sizeof(T) <= 2;

template <class T>
constexpr std::size_t level_count = std::is_same_v<T, bool> ? 2 : std::size_t{1} << (8 * sizeof(T));

template <class T>
inline std::size_t level_index(T level) {
  return static_cast<std::size_t>(static_cast<long>(level) - static_cast<long>(std::numeric_limits<T>::min()));
}

template <class T>
inline T level_at(std::size_t index) {
  return static_cast<T>(static_cast<long>(index) + static_cast<long>(std::numeric_limits<T>::min()));
}

// present[level_index(v)] = 1 for every sample v.
template <class T>
void mark_levels(const T* src, std::ptrdiff_t size, std::uint8_t* present) {
  for (std::ptrdiff_t i = 0; i < size; ++i) present[level_index(src[i])] = 1;
}

// mark_levels over `threads` threads: each part marks its own table, and the
// tables are merged (the marks are the same in any order).
template <class T>
void mark_levels(const T* src, std::ptrdiff_t size, std::uint8_t* present, int threads) {
  const int parts = sample_part_count(size, threads);
  if (parts == 1) return mark_levels(src, size, present);
  std::vector<std::vector<std::uint8_t>> marks(static_cast<std::size_t>(parts));
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    std::vector<std::uint8_t>& own = marks[static_cast<std::size_t>(part)];
    own.assign(level_count<T>, 0);
    mark_levels(src + begin, end - begin, own.data());
  });
  for (const std::vector<std::uint8_t>& own : marks) {
    for (std::size_t level = 0; level < level_count<T>; ++level) present[level] |= own[level];
  }
}

template <class T, class Out>
void map_levels(const T* src, const Out* table, Out* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[level_index(src[i])];
}

template <class T, class Out>
void map_levels(const T* src, const Out* table, Out* out, std::ptrdiff_t size, int threads) {
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    map_levels(src + begin, table, out + begin, end - begin);
  });
}

// A function of an integer key in [first, last], evaluated through a table
// of every key when it is to be evaluated more often than there are keys
// (the same values, each computed once). Without memory for the table it is
// evaluated each time.
template <class Out, class Function>
class IntegerFunction {
 public:
  IntegerFunction(long first, long last, std::ptrdiff_t evaluations, Function function, int threads = 1)
      : first_(first), function_(std::move(function)) {
    const auto keys = static_cast<std::ptrdiff_t>(last - first + 1);
    if (evaluations <= keys) return;
    table_.reset(new (std::nothrow) Out[keys]);
    if (!table_) return;
    split_samples(keys, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      for (std::ptrdiff_t index = begin; index < end; ++index) table_[index] = function_(first + index);
    });
  }

  Out operator()(long key) const { return table_ ? table_[key - first_] : function_(key); }

 private:
  long first_;
  Function function_;
  std::unique_ptr<Out[]> table_;
};

template <class Function>
auto integer_function(long first, long last, std::ptrdiff_t evaluations, Function function, int threads = 1) {
  using Out = decltype(function(first));
  return IntegerFunction<Out, Function>(first, last, evaluations, std::move(function), threads);
}

// A function of the sample level, to be evaluated `evaluations` times:
// tabulated over the levels of samples of at most 16 bits, called directly
// for the others.
template <class T, class Function>
auto level_function(std::ptrdiff_t evaluations, Function function, int threads = 1) {
  if constexpr (has_level_table<T>) {
    constexpr long lowest = std::numeric_limits<T>::min();
    constexpr long highest = std::numeric_limits<T>::max();
    return integer_function(
        lowest, highest, evaluations, [function](long level) { return function(static_cast<T>(level)); }, threads);
  } else {
    return function;
  }
}

// out[i] = function(src[i]), the table and the map each split over `threads` threads.
template <class T, class Out, class Function>
void map_by_level(const T* src, Out* out, std::ptrdiff_t size, Function function, int threads = 1) {
  const auto mapped = level_function<T>(size, std::move(function), threads);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = mapped(src[i]);
  });
}

// --- gamma stretch --------------------------------------------------------------------------

// The exponents for which NumPy 1.x evaluates `float_array ** exponent`
// without its power function: positive, reciprocal, ones_like, sqrt, square.
enum class PowerShortcut { Copy, Reciprocal, Ones, SquareRoot, Square };

inline float shortcut_power(float unit, PowerShortcut shortcut) {
  switch (shortcut) {
    case PowerShortcut::Copy: return unit;
    case PowerShortcut::Reciprocal: return 1.0f / unit;
    case PowerShortcut::Ones: return 1.0f;
    case PowerShortcut::SquareRoot: return std::sqrt(unit);
    case PowerShortcut::Square: return unit * unit;
  }
  return unit;
}

// (np.clip(y, 0, 1) * 65535.0).astype(np.uint16) of a powered value y.
template <class F>
inline std::uint16_t gamma_level(F powered) {
  return numpy_astype<std::uint16_t>(numpy_clip(powered, F(0), F(1)) * static_cast<F>(kFullScale16));
}

template <class F>
void gamma_to_u16(const F* powered, std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = gamma_level(powered[i]);
}

// gamma_stretched with a shortcut exponent: the whole recipe per level.
template <class T>
void gamma_by_shortcut(const T* src, std::uint16_t* out, std::ptrdiff_t size, float divisor,
                       PowerShortcut shortcut, int threads) {
  map_by_level(
      src, out, size,
      [divisor, shortcut](T level) { return gamma_level(shortcut_power(unit_float32(level, divisor), shortcut)); },
      threads);
}

// --- rescale to 8 bits ----------------------------------------------------------------------

template <class T>
constexpr bool is_narrow_level = std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>;

// rescale_to_u8 of 8- or 16-bit levels that are all at most `divisor` (> 0):
// every quotient lies in [0, 1], so the product truncates within [0, 255]
// and needs none of the general cast's range handling.
template <class T>
PICTOR_ALSO_FOR_AVX2
void rescale_levels_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor) {
  static_assert(is_narrow_level<T>);
  // Divided by its type's full scale, every level truncates in float32, as in
  // float64, to its level in the 8-bit working copy.
  if (divisor == kFullScaleOf<T>) return to_working_u8(src, out, size, kFullScaleOf<T>);
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const float scaled = static_cast<float>(src[i]) / divisor * static_cast<float>(kFullScale8);
    out[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(scaled));
  }
}

// (src.astype(np.float32) / divisor * 255).astype(np.uint8). A divisor of 0
// (an all-zero image scaled by its own maximum) makes 0 / 0, written as 0.
// Computed sample by sample: a vectorised division outruns a 16-bit table.
template <class T>
PICTOR_ALSO_FOR_AVX2
void rescale_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor) {
  if constexpr (is_narrow_level<T>) {
    if (divisor >= kFullScaleOf<T>) return rescale_levels_to_u8(src, out, size, divisor);
  }
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const float sample = static_cast<float>(src[i]);
    const float unit = (sample == 0 && divisor == 0) ? 0.0f : sample / divisor;
    out[i] = numpy_astype<std::uint8_t>(unit * static_cast<float>(kFullScale8));
  }
}

// rescale_to_u8 over `threads` threads.
template <class T>
void rescale_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, float divisor, int threads) {
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    rescale_to_u8(src + begin, out + begin, end - begin, divisor);
  });
}

// (src.astype(np.float32) / np.max(src) * 255).astype(np.uint8) of a non-empty array.
template <class T>
void rescale_by_maximum_to_u8(const T* src, std::uint8_t* out, std::ptrdiff_t size, int threads) {
  const float image_max = static_cast<float>(numpy_extremes(src, size, threads).second);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    if constexpr (is_narrow_level<T>) {
      if (image_max > 0) return rescale_levels_to_u8(src + begin, out + begin, end - begin, image_max);
    }
    rescale_to_u8(src + begin, out + begin, end - begin, image_max);
  });
}

}  // namespace pictor::kernels
