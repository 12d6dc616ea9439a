// Order statistics in NumPy's sort order (ascending, NaN last), found by
// selection on a scratch copy instead of a full sort.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

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

}  // namespace pictor::kernels
