// Order statistics in NumPy's sort order (ascending, NaN last), found by
// selection (or, for samples of at most 16 bits, by counting levels) instead
// of a full sort.
#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "kernels/tables.h"

namespace pictor::kernels {

template <class T>
inline bool sorts_before(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    return a < b || (std::isnan(b) && !std::isnan(a));
  } else {
    return a < b;
  }
}

// The samples at positions `first` and `second` (both in [0, size)) of the
// ascending order. `scratch` holds a copy of the samples and is reordered.
template <class T>
std::pair<T, T> order_statistics(T* scratch, std::ptrdiff_t size, std::ptrdiff_t first, std::ptrdiff_t second) {
  const auto less = [](T a, T b) { return sorts_before(a, b); };
  std::nth_element(scratch, scratch + first, scratch + size, less);
  // The first selection partitions around `first`, so the second one only
  // searches the side that holds `second`.
  if (second > first) {
    std::nth_element(scratch + first + 1, scratch + second, scratch + size, less);
  } else if (second < first) {
    std::nth_element(scratch, scratch + second, scratch + first, less);
  }
  return {scratch[first], scratch[second]};
}

// The same two samples from the count of every level (samples of at most 16 bits).
// Over `threads` threads each part counts into its own table; the counts add up.
template <class T>
std::pair<T, T> order_statistics_by_count(const T* src, std::ptrdiff_t size, std::ptrdiff_t* counts,
                                          std::ptrdiff_t first, std::ptrdiff_t second, int threads) {
  std::fill(counts, counts + level_count<T>, 0);
  const int parts = sample_part_count(size, threads);
  if (parts == 1) {
    for (std::ptrdiff_t i = 0; i < size; ++i) ++counts[level_index(src[i])];
  } else {
    std::vector<std::vector<std::ptrdiff_t>> partial(static_cast<std::size_t>(parts));
    split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
      std::vector<std::ptrdiff_t>& own = partial[static_cast<std::size_t>(part)];
      own.assign(level_count<T>, 0);
      for (std::ptrdiff_t i = begin; i < end; ++i) ++own[level_index(src[i])];
    });
    for (const std::vector<std::ptrdiff_t>& own : partial) {
      for (std::size_t level = 0; level < level_count<T>; ++level) counts[level] += own[level];
    }
  }
  const auto level_at_position = [counts](std::ptrdiff_t position) {
    std::ptrdiff_t seen = 0;
    std::size_t index = 0;
    while ((seen += counts[index]) <= position) ++index;
    return level_at<T>(index);
  };
  return {level_at_position(first), level_at_position(second)};
}

// The same two samples of 16-bit levels, counted a byte at a time: the high
// bytes of all samples, then for each position the low bytes of the samples
// whose high byte holds it. Three short passes over few samples cost less
// than clearing and scanning a count of all 65,536 levels.
template <class T>
std::pair<T, T> order_statistics_by_bytes(const T* src, std::ptrdiff_t size, std::ptrdiff_t first,
                                          std::ptrdiff_t second) {
  static_assert(level_count<T> == std::size_t{1} << 16);
  constexpr std::size_t kByteLevels = 256;
  std::array<std::ptrdiff_t, kByteLevels> high{};
  for (std::ptrdiff_t i = 0; i < size; ++i) ++high[level_index(src[i]) >> 8];
  const auto level_at_position = [&](std::ptrdiff_t position) {
    std::size_t top = 0;
    std::ptrdiff_t below = 0;
    while (below + high[top] <= position) below += high[top++];
    std::array<std::ptrdiff_t, kByteLevels> low{};
    for (std::ptrdiff_t i = 0; i < size; ++i) {
      const std::size_t index = level_index(src[i]);
      low[index & (kByteLevels - 1)] += (index >> 8) == top;
    }
    std::size_t bottom = 0;
    while (below + low[bottom] <= position) below += low[bottom++];
    return level_at<T>((top << 8) | bottom);
  };
  return {level_at_position(first), level_at_position(second)};
}

// 16-bit samples fewer than this are counted a byte at a time.
constexpr std::ptrdiff_t kFewestSamplesCountedByLevel = std::ptrdiff_t{1} << 15;

// order_statistics on a copy of `src`, or by counting levels where the type
// allows it. Returns false when the working memory cannot be had.
template <class T>
bool select_order_statistics(const T* src, std::ptrdiff_t size, std::ptrdiff_t first, std::ptrdiff_t second,
                             std::pair<T, T>& found, int threads) {
  if constexpr (has_level_table<T> && sizeof(T) == 2) {
    if (size < kFewestSamplesCountedByLevel) {
      found = order_statistics_by_bytes(src, size, first, second);
      return true;
    }
  }
  if constexpr (has_level_table<T>) {
    const std::unique_ptr<std::ptrdiff_t[]> counts(new (std::nothrow) std::ptrdiff_t[level_count<T>]);
    if (!counts) return false;
    found = order_statistics_by_count(src, size, counts.get(), first, second, threads);
  } else {
    const std::unique_ptr<T[]> scratch(new (std::nothrow) T[static_cast<std::size_t>(size)]);
    if (!scratch) return false;
    std::copy(src, src + size, scratch.get());
    found = order_statistics(scratch.get(), size, first, second);
  }
  return true;
}

}  // namespace pictor::kernels
