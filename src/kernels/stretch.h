// Linear stretches driven by image statistics: brightness transfer (mean and
// extremes), the auto-level percentile stretch and the histogram truncation
// stretch. Each is a fused loop over the samples in the element types NumPy
// 1.x gives the array expressions it replaces.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/reduce.h"
#include "kernels/selection.h"
#include "kernels/tables.h"

namespace pictor::kernels {

// --- sample statistics ----------------------------------------------------------------------

// np.mean of an array of T is float32 for float32 samples, float64 otherwise.
template <class T>
using MeanFloat = std::conditional_t<std::is_same_v<T, float>, float, double>;

// np.sum in NumPy's order of values produced on the fly: buffers of 8192
// values, each summed pairwise as its values are formed, added in turn.
// The buffers' sums are independent: over `threads` threads each part sums its
// own buffers, and the sums are added in turn as before.
template <class W, class Value>
W numpy_sum_of(std::ptrdiff_t size, Value&& value_at, int threads = 1) {
  const std::ptrdiff_t buffers = (size + detail::kReduceBuffer - 1) / detail::kReduceBuffer;
  std::vector<W> sums(static_cast<std::size_t>(buffers));
  split_rows(buffers, detail::kReduceBuffer, threads, [&](std::ptrdiff_t first, std::ptrdiff_t last, int) {
    for (std::ptrdiff_t b = first; b < last; ++b) {
      const std::ptrdiff_t start = b * detail::kReduceBuffer;
      const std::ptrdiff_t count = std::min(detail::kReduceBuffer, size - start);
      sums[static_cast<std::size_t>(b)] = detail::pairwise_sum_of<W>(value_at, start, count);
    }
  });
  W total = 0;
  for (const W sum : sums) total += sum;
  return total;
}

// np.mean(src): floating samples sum in their own type; the others are cast
// to float64 buffer by buffer, as the reduction's casting iterator does.
template <class T>
MeanFloat<T> numpy_mean_of(const T* src, std::ptrdiff_t size, int threads = 1) {
  using M = MeanFloat<T>;
  const M total = numpy_sum_of<M>(size, [src](std::ptrdiff_t i) { return static_cast<M>(src[i]); }, threads);
  return static_cast<M>(static_cast<double>(total) / static_cast<double>(size));
}

// np.mean(src), np.min(src) and np.max(src) of a non-empty array.
template <class T>
struct SampleSummary {
  MeanFloat<T> mean;
  T low;
  T high;
};

// Runs of this many samples of at most 16 bits sum exactly in 32 bits.
constexpr std::ptrdiff_t kRunOf32BitSums = std::ptrdiff_t{1} << 16;

template <class T>
using RunSum = std::conditional_t<std::is_signed_v<T>, std::int32_t, std::uint32_t>;

// The sum of a run of at most kRunOf32BitSums samples, low and high taking
// its extremes: one pass, in vector lanes.
template <class T>
PICTOR_ALSO_FOR_AVX2
RunSum<T> sum_and_extremes(const T* __restrict src, std::ptrdiff_t size, T& low, T& high) {
  RunSum<T> total = 0;
  T least = low;
  T most = high;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    total += static_cast<RunSum<T>>(src[i]);
    least = src[i] < least ? src[i] : least;
    most = src[i] > most ? src[i] : most;
  }
  low = least;
  high = most;
  return total;
}

// Samples of at most 16 bits have exact float64 partial sums, so their mean
// is the exact integer sum over the count, taken in the same pass as the extremes.
template <class T>
SampleSummary<T> summarise(const T* src, std::ptrdiff_t size, int threads) {
  if constexpr (has_level_table<T>) {
    struct Partial {
      long long total;
      T low;
      T high;
    };
    std::vector<Partial> partials(static_cast<std::size_t>(sample_part_count(size, threads)));
    split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
      Partial own{0, src[begin], src[begin]};
      for (std::ptrdiff_t start = begin; start < end; start += kRunOf32BitSums) {
        own.total += sum_and_extremes(src + start, std::min(kRunOf32BitSums, end - start), own.low, own.high);
      }
      partials[static_cast<std::size_t>(part)] = own;
    });
    Partial all = partials[0];
    for (std::size_t part = 1; part < partials.size(); ++part) {
      all.total += partials[part].total;
      all.low = std::min(all.low, partials[part].low);
      all.high = std::max(all.high, partials[part].high);
    }
    return {static_cast<double>(all.total) / static_cast<double>(size), all.low, all.high};
  } else {
    const auto [low, high] = numpy_extremes(src, size);
    return {numpy_mean_of(src, size, threads), low, high};
  }
}

// --- brightness transfer --------------------------------------------------------------------

// transfer = (src - mean) + target, and its min-max normalisation, with the
// residual in np.mean's type and the transfer in W.
template <class T, class W>
struct TransferNorm {
  MeanFloat<T> mean;
  W target;
  W low = 0;   // np.min(transfer)
  W span = 0;  // np.max(transfer) - np.min(transfer)

  W transfer(T src) const { return static_cast<W>(static_cast<MeanFloat<T>>(src) - mean) + target; }
  W operator()(T src) const { return (transfer(src) - low) / span; }
};

// Rounding is monotonic, so the transfer's extremes are the transfers of the
// extreme samples.
template <class T, class W>
TransferNorm<T, W> transfer_norm(MeanFloat<T> mean, double target, T low_sample, T high_sample) {
  TransferNorm<T, W> norm{mean, static_cast<W>(target)};
  norm.low = norm.transfer(low_sample);
  norm.span = norm.transfer(high_sample) - norm.low;
  return norm;
}

// np.mean(transfer_norm), without the array.
template <class T, class W>
W mean_of_transfer_norm(const T* src, std::ptrdiff_t size, const TransferNorm<T, W>& norm, int threads) {
  const auto norm_of = level_function<T>(size, [&norm](T level) { return norm(level); }, threads);
  const W total = with_sample_values(src, norm_of, [&](auto value_at) { return numpy_sum_of<W>(size, value_at, threads); });
  return static_cast<W>(static_cast<double>(total) / static_cast<double>(size));
}

// np.clip(transfer_norm * factor, 0, full_scale).astype(T), the product in S.
template <class T, class W, class S>
void write_transfer(const T* src, T* out, std::ptrdiff_t size, const TransferNorm<T, W>& norm, S factor,
                    S full_scale, int threads) {
  map_by_level(
      src, out, size,
      [&norm, factor, full_scale](T level) {
        return numpy_astype<T>(numpy_clip(static_cast<S>(norm(level)) * factor, S(0), full_scale));
      },
      threads);
}

// brightness_transfer of `size` (> 0) samples, with target = ratio * full scale.
// A constant image (np.max(transfer) == np.min(transfer)) would divide 0 by 0;
// every sample then takes the target mean itself, clipped and converted.
template <class T>
void brightness_transfer(const T* src, T* out, std::ptrdiff_t size, double target, double full_scale,
                         int threads) {
  const SampleSummary<T> summary = summarise(src, size, threads);
  const bool float32_transfer = std::is_same_v<MeanFloat<T>, float> && keeps_float32(target);
  with_float_type(float32_transfer, [&](auto transfer_zero) {
    using W = decltype(transfer_zero);
    const TransferNorm<T, W> norm = transfer_norm<T, W>(summary.mean, target, summary.low, summary.high);
    if (norm.span == 0) {
      std::fill(out, out + size, numpy_astype<T>(numpy_clip(target, 0.0, full_scale)));
      return;
    }
    const double factor = target / static_cast<double>(mean_of_transfer_norm(src, size, norm, threads));
    with_float_type(float32_transfer && keeps_float32(factor), [&](auto scale_zero) {
      using S = decltype(scale_zero);
      write_transfer(src, out, size, norm, static_cast<S>(factor), static_cast<S>(full_scale), threads);
    });
  });
}

// --- auto level -----------------------------------------------------------------------------

// One sample v of the [0, 1] float32 image: clamped to [I_min, I_max], then
// clip((v - I_min) * (1.0 - I_min) / (I_max - I_min) + I_min, I_min, 1.0)
// in W and (x * 65535).astype(np.uint16).
template <class W>
struct LevelStretch {
  float low;   // I_min
  float high;  // I_max
  W gain;      // 1.0 - I_min, as the float32 array sees that float64 scalar
  float span;  // I_max - I_min, float32 scalar arithmetic

  LevelStretch(float low_level, float high_level)
      : low(low_level), high(high_level), gain(static_cast<W>(1.0 - static_cast<double>(low_level))),
        span(high_level - low_level) {}

  std::uint16_t operator()(float v) const {
    if (v < low) v = low;
    if (v > high) v = high;
    const W scaled = static_cast<W>(v - low) * gain;
    // With coinciding limits every sample sits at I_min: 0 / 0, taken as a
    // stretch of 0, so the sample keeps the level I_min.
    const W term = (scaled == 0 && span == 0) ? W(0) : scaled / static_cast<W>(span);
    const W level = numpy_clip(term + static_cast<W>(low), static_cast<W>(low), W(1));
    return numpy_astype<std::uint16_t>(level * static_cast<W>(kFullScale16));
  }
};

// auto_level of `size` (> 0) samples: I_min and I_max are the float32 levels
// at sorted positions `low_position` and `high_position`. Returns false when
// the selection cannot have its working memory.
template <class T>
bool auto_level(const T* src, std::uint16_t* out, std::ptrdiff_t size, std::ptrdiff_t low_position,
                std::ptrdiff_t high_position, double max_value, int threads) {
  // src -> src / max_value in float32 is monotonic, so the order statistics
  // of the samples give those of the scaled image.
  std::pair<T, T> limits;
  if (!select_order_statistics(src, size, low_position, high_position, limits, threads)) return false;
  const float divisor = static_cast<float>(max_value);
  const float low = unit_float32(limits.first, divisor);
  const float high = unit_float32(limits.second, divisor);
  with_float_type(keeps_float32(1.0 - static_cast<double>(low)), [&](auto zero) {
    const LevelStretch<decltype(zero)> stretch(low, high);
    map_by_level(
        src, out, size, [&stretch, divisor](T level) { return stretch(unit_float32(level, divisor)); }, threads);
  });
  return true;
}

// --- histogram truncation stretch -----------------------------------------------------------

constexpr std::size_t kWorkingLevels = 256;

// The 16-bit result of each 8-bit working level w:
// ((np.clip(w, low, high) - low) / span * 255).astype(np.uint8), restored
// as 257 times that. The clip runs in C, the division and product in Q;
// coinciding limits (0 / 0) give level 0.
template <class C, class Q>
void truncation_stretch_table(double low, double high, double span, std::uint16_t* table) {
  for (std::size_t w = 0; w < kWorkingLevels; ++w) {
    const C shifted = numpy_clip(static_cast<C>(w), static_cast<C>(low), static_cast<C>(high)) - static_cast<C>(low);
    const Q ratio = (shifted == 0 && span == 0) ? Q(0) : static_cast<Q>(shifted) / static_cast<Q>(span);
    const std::uint8_t level = numpy_astype<std::uint8_t>(ratio * static_cast<Q>(kFullScale8));
    table[w] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
  }
}

}  // namespace pictor::kernels
