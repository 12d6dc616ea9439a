// Floating-point reductions in NumPy 1.x's own summation order, so that sums
// that decide a threshold, a tie or a truncation give the same bits.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/parallel.h"

namespace pictor::kernels {

namespace detail {

constexpr std::ptrdiff_t kPairwiseBlock = 128;
constexpr std::ptrdiff_t kReduceBuffer = 8192;

// NumPy's pairwise summation of one buffer of values value(first), ...,
// value(first + size - 1), formed as they are summed.
template <class T, class Value>
T pairwise_sum_of(const Value& value, std::ptrdiff_t first, std::ptrdiff_t size) {
  if (size < 8) {
    T result = -0.0;
    for (std::ptrdiff_t i = 0; i < size; ++i) result += value(first + i);
    return result;
  }
  if (size <= kPairwiseBlock) {
    T r[8];
    for (int j = 0; j < 8; ++j) r[j] = value(first + j);
    std::ptrdiff_t i = 8;
    for (; i < size - (size % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += value(first + i + j);
    }
    T result = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < size; ++i) result += value(first + i);
    return result;
  }
  std::ptrdiff_t half = size / 2;
  half -= half % 8;
  return pairwise_sum_of<T>(value, first, half) + pairwise_sum_of<T>(value, first + half, size - half);
}

template <class T>
T pairwise_sum(const T* data, std::ptrdiff_t size) {
  return pairwise_sum_of<T>([data](std::ptrdiff_t i) { return data[i]; }, 0, size);
}

}  // namespace detail

// np.sum(a) of a contiguous float32 or float64 array: the accumulator starts at
// zero and takes the pairwise sum of each 8192-element buffer in turn.
template <class T>
T numpy_sum(const T* data, std::ptrdiff_t size) {
  T total = 0;
  for (std::ptrdiff_t start = 0; start < size; start += detail::kReduceBuffer) {
    total += detail::pairwise_sum(data + start, std::min(detail::kReduceBuffer, size - start));
  }
  return total;
}

// np.mean(a): the sum in the array's own type, divided by the count in float64
// and rounded back to the array's type.
template <class T>
T numpy_mean(const T* data, std::ptrdiff_t size) {
  return static_cast<T>(static_cast<double>(numpy_sum(data, size)) / static_cast<double>(size));
}

// (np.min(src), np.max(src)) of a non-empty array; a NaN sample makes both NaN.
template <class T>
PICTOR_ALSO_FOR_AVX2
std::pair<T, T> numpy_extremes(const T* src, std::ptrdiff_t size) {
  // Independent lanes keep the comparisons out of one long dependency chain.
  constexpr std::ptrdiff_t kLanes = 8;
  T low[kLanes];
  T high[kLanes];
  std::fill(low, low + kLanes, src[0]);
  std::fill(high, high + kLanes, src[0]);
  std::ptrdiff_t i = 0;
  for (; i + kLanes <= size; i += kLanes) {
    for (std::ptrdiff_t lane = 0; lane < kLanes; ++lane) {
      low[lane] = src[i + lane] < low[lane] ? src[i + lane] : low[lane];
      high[lane] = src[i + lane] > high[lane] ? src[i + lane] : high[lane];
    }
  }
  for (; i < size; ++i) {
    low[0] = src[i] < low[0] ? src[i] : low[0];
    high[0] = src[i] > high[0] ? src[i] : high[0];
  }
  if constexpr (std::is_floating_point_v<T>) {
    for (i = 0; i < size; ++i) {
      if (std::isnan(src[i])) return {src[i], src[i]};
    }
  }
  return {*std::min_element(low, low + kLanes), *std::max_element(high, high + kLanes)};
}

// numpy_extremes over `threads` threads. Integer extremes merge across parts in
// any order; floats (NaN payloads, signed zeros) stay on one thread.
template <class T>
std::pair<T, T> numpy_extremes(const T* src, std::ptrdiff_t size, int threads) {
  if constexpr (std::is_floating_point_v<T>) {
    return numpy_extremes(src, size);
  } else {
    std::vector<std::pair<T, T>> partials(static_cast<std::size_t>(sample_part_count(size, threads)));
    split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
      partials[static_cast<std::size_t>(part)] = numpy_extremes(src + begin, end - begin);
    });
    std::pair<T, T> result = partials[0];
    for (const auto& [low, high] : partials) {
      result.first = std::min(result.first, low);
      result.second = std::max(result.second, high);
    }
    return result;
  }
}

}  // namespace pictor::kernels
