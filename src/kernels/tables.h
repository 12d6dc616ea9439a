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
#include <vector>

#include "kernels/parallel.h"

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

template <class T, class Entry, class Out>
void map_levels(const T* src, const Entry* table, Out* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[level_index(src[i])];
}

template <class T, class Entry, class Out>
void map_levels(const T* src, const Entry* table, Out* out, std::ptrdiff_t size, int threads) {
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

  // The table of every key from `first` on, or null when there is none.
  const Out* table() const { return table_.get(); }

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

// use(value_at) with value_at(i) = mapped(src[i]) for a level_function
// `mapped`: a plain look-up when it has its table (no test per sample).
template <class T, class Mapped, class Use>
decltype(auto) with_sample_values(const T* src, const Mapped& mapped, Use&& use) {
  if constexpr (has_level_table<T>) {
    if (const auto* table = mapped.table()) {
      return use([src, table](std::ptrdiff_t i) { return table[level_index(src[i])]; });
    }
  }
  return use([src, &mapped](std::ptrdiff_t i) { return mapped(src[i]); });
}

// out[i] = function(src[i]), the table and the map each split over `threads` threads.
template <class T, class Out, class Function>
void map_by_level(const T* src, Out* out, std::ptrdiff_t size, Function function, int threads = 1) {
  if constexpr (has_level_table<T>) {
    if (static_cast<std::size_t>(size) <= level_count<T>) {
      // Fewer samples than levels take no table: a plain loop over the
      // function, which the vectoriser can take.
      split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = function(src[i]);
      });
      return;
    }
  }
  const auto mapped = level_function<T>(size, std::move(function), threads);
  with_sample_values(src, mapped, [&](auto value_at) {
    split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = value_at(i);
    });
  });
}

}  // namespace pictor::kernels
