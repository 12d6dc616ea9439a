// Self-blending of an image: every sample normalised by the image maximum M,
// blended with itself, normalised by the blend's own maximum and scaled back
// to M, in float64 and in the recipe's order:
//   multiply  n = x / M;  b = n * n
//   screen    n = x / M;  b = 1 - (1 - n) * (1 - n)
//   result    astype(b / max(b) * M)
// One pass finds M, a second (only when it can differ from 1) max(b), a third
// writes the result; no float64 image is ever stored.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/parallel.h"
#include "kernels/reduce.h"

namespace pictor::kernels {

enum class SelfBlend { Multiply, Screen };

template <SelfBlend mode>
inline double self_blend(double norm) {
  if constexpr (mode == SelfBlend::Multiply) {
    return norm * norm;
  } else {
    const double inverse = 1 - norm;
    return 1 - inverse * inverse;
  }
}

// max(b) over the samples, NaN propagating.
template <SelfBlend mode, class T>
double blend_maximum(const T* src, std::ptrdiff_t size, double image_max) {
  double result = self_blend<mode>(src[0] / image_max);
  for (std::ptrdiff_t i = 1; i < size; ++i) {
    const double blended = self_blend<mode>(src[i] / image_max);
    if (!(blended <= result)) result = std::isnan(result) ? result : blended;
  }
  return result;
}

// 8- and 16-bit samples take at most 65536 distinct values: on images larger
// than that, each value's result is computed once into a table.
template <class T>
constexpr bool kTabulated = std::is_integral_v<T> && sizeof(T) <= 2;

template <class T>
using TableIndex = std::conditional_t<sizeof(T) == 1, std::uint8_t, std::uint16_t>;

// The whole fusion of `size` (> 0) samples into `out`, of NumPy's float64 ->
// Out conversion, over `threads` threads. An image whose maximum is 0 gives
// zeros (the recipe would divide 0 by 0).
template <SelfBlend mode, class T, class Out>
void self_blend_fusion(const T* src, Out* out, std::ptrdiff_t size, int threads) {
  const auto [image_min, sample_max] = numpy_extremes(src, size, threads);
  const double image_max = static_cast<double>(sample_max);
  if (image_max == 0) {
    split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = Out{};
    });
    return;
  }
  // Samples in [0, M] with M finite normalise into [0, 1] with M itself at
  // exactly 1, so both blends peak at exactly 1.
  const bool unit_range = static_cast<double>(image_min) >= 0 && std::isfinite(image_max);
  const double blend_max = unit_range ? 1.0 : blend_maximum<mode>(src, size, image_max);
  const auto fused = [=](T value) {
    return numpy_astype<Out>(self_blend<mode>(value / image_max) / blend_max * image_max);
  };
  if constexpr (kTabulated<T>) {
    // Levels above the maximum never occur: the table stops at it.
    const std::ptrdiff_t table_size = static_cast<std::ptrdiff_t>(sample_max) + 1;
    std::vector<Out> table;
    if (size > table_size && !(image_min < T{})) {
      try {
        table.resize(static_cast<std::size_t>(table_size));
      } catch (const std::bad_alloc&) {
        table.clear();  // runs without the GIL: no exception may leave; compute directly instead
      }
    }
    if (!table.empty()) {
      split_samples(table_size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        for (std::ptrdiff_t i = begin; i < end; ++i) table[i] = fused(static_cast<T>(i));
      });
      split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = table[static_cast<TableIndex<T>>(src[i])];
      });
      return;
    }
  }
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = fused(src[i]);
  });
}

}  // namespace pictor::kernels
