// Level tables: a function of a sample's level evaluated once per possible
// level of samples of at most 16 bits (or once per integer key), then looked
// up, which gives the same values as evaluating it sample by sample.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace pictor::kernels {

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

template <class T, class Out>
void map_levels(const T* src, const Out* table, Out* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[level_index(src[i])];
}

// A function of an integer key in [first, last], evaluated through a table
// of every key when it is to be evaluated more often than there are keys
// (the same values, each computed once). Without memory for the table it is
// evaluated each time.
template <class Out, class Function>
class IntegerFunction {
 public:
  IntegerFunction(long first, long last, std::ptrdiff_t evaluations, Function function)
      : first_(first), function_(std::move(function)) {
    const auto keys = static_cast<std::size_t>(last - first + 1);
    if (evaluations <= static_cast<std::ptrdiff_t>(keys)) return;
    table_.reset(new (std::nothrow) Out[keys]);
    if (!table_) return;
    for (std::size_t index = 0; index < keys; ++index) table_[index] = function_(first + static_cast<long>(index));
  }

  Out operator()(long key) const { return table_ ? table_[key - first_] : function_(key); }

 private:
  long first_;
  Function function_;
  std::unique_ptr<Out[]> table_;
};

template <class Function>
auto integer_function(long first, long last, std::ptrdiff_t evaluations, Function function) {
  using Out = decltype(function(first));
  return IntegerFunction<Out, Function>(first, last, evaluations, std::move(function));
}

// A function of the sample level, to be evaluated `evaluations` times:
// tabulated over the levels of samples of at most 16 bits, called directly
// for the others.
template <class T, class Function>
auto level_function(std::ptrdiff_t evaluations, Function function) {
  if constexpr (has_level_table<T>) {
    constexpr long lowest = std::numeric_limits<T>::min();
    constexpr long highest = std::numeric_limits<T>::max();
    return integer_function(lowest, highest, evaluations,
                            [function](long level) { return function(static_cast<T>(level)); });
  } else {
    return function;
  }
}

// out[i] = function(src[i])
template <class T, class Out, class Function>
void map_by_level(const T* src, Out* out, std::ptrdiff_t size, Function function) {
  const auto mapped = level_function<T>(size, std::move(function));
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = mapped(src[i]);
}

}  // namespace pictor::kernels
