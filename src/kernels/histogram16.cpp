#include "kernels/histogram16.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>

#include "kernels/histogram.h"
#include "kernels/numeric.h"
#include "kernels/parallel.h"
#include "kernels/threshold.h"

namespace pictor::kernels {
namespace {

// 32-bit counts keep a part's table at 256 KiB; they are added into the
// 64-bit totals before they could overflow.
constexpr std::ptrdiff_t kCountsFlushEvery = std::ptrdiff_t{1} << 31;

void count_part(const std::uint16_t* src, std::ptrdiff_t samples, std::ptrdiff_t step, std::int64_t* totals) {
  std::vector<std::uint32_t> counts(kLevels16);
  for (std::ptrdiff_t start = 0; start < samples; start += kCountsFlushEvery) {
    const std::ptrdiff_t end = std::min(samples, start + kCountsFlushEvery);
    std::fill(counts.begin(), counts.end(), 0u);
    if (step == 1) {
      for (std::ptrdiff_t i = start; i < end; ++i) ++counts[src[i]];
    } else {
      for (std::ptrdiff_t i = start; i < end; ++i) ++counts[src[i * step]];
    }
    for (long level = 0; level < kLevels16; ++level) totals[level] += counts[level];
  }
}

// NumPy's argmax: the first maximum, or the first NaN.
std::ptrdiff_t first_maximum(const std::vector<double>& values) {
  std::ptrdiff_t best = 0;
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(values.size()); ++i) {
    if (std::isnan(values[i])) return i;
    if (values[i] > values[best]) best = i;
  }
  return best;
}

}  // namespace

Counts16 count_levels16(const std::uint16_t* src, std::ptrdiff_t size, std::ptrdiff_t step, int threads) {
  const std::ptrdiff_t samples = size > 0 ? (size + step - 1) / step : 0;
  std::vector<Counts16> partials(static_cast<std::size_t>(part_count(samples, step, threads)), Counts16(kLevels16));
  split_rows(samples, step, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    count_part(src + begin * step, end - begin, step, partials[static_cast<std::size_t>(part)].data());
  });
  Counts16 totals(kLevels16, 0);
  for (const Counts16& counts : partials) {
    for (long level = 0; level < kLevels16; ++level) totals[level] += counts[level];
  }
  return totals;
}

void map_levels16(const std::uint16_t* src, const std::uint16_t* table, std::uint16_t* out, std::ptrdiff_t size,
                  int threads) {
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = table[src[i]];
  });
}

LevelRange level_range16(const std::int64_t* counts) {
  LevelRange range;
  long highest = -1;
  for (long v = 0; v < kLevels16; ++v) {
    if (counts[v] == 0) continue;
    if (highest < 0) {
      range.lowest = v;
      range.step = 0;
    } else {
      range.step = std::gcd(range.step, v - range.lowest);
    }
    highest = v;
  }
  if (range.step == 0) range.step = 1;
  range.span = highest < 0 ? 0 : (highest - range.lowest) / range.step;
  return range;
}

std::vector<std::int64_t> counts_on_range(const std::int64_t* counts, const LevelRange& range) {
  std::vector<std::int64_t> result(static_cast<std::size_t>(range.span + 1));
  for (long z = 0; z <= range.span; ++z) result[z] = counts[range.level(z)];
  return result;
}

void to_range_levels16(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, const LevelRange& range,
                       int threads) {
  const auto lowest = static_cast<std::uint16_t>(range.lowest);
  const auto step = static_cast<std::uint32_t>(range.step);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    if (step == 1) {
      for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = static_cast<std::uint16_t>(src[i] - lowest);
    } else {
      for (std::ptrdiff_t i = begin; i < end; ++i) {
        out[i] = static_cast<std::uint16_t>(static_cast<std::uint32_t>(src[i] - lowest) / step);
      }
    }
  });
}

long long first_range_level(long long working, long span) {
  return (working * span + kWorkingTop - 1) / kWorkingTop;
}

long long range_distance(long long working, long span) { return working * span / kWorkingTop; }

Table16 binary_table(long long level) {
  Table16 table(kLevels16);
  for (long v = 0; v < kLevels16; ++v) table[v] = v > level ? kTop16 : 0;
  return table;
}

PICTOR_ALSO_FOR_AVX2
void binarise_above16(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, long long level) {
  if (level < 0 || level >= kTop16) {
    std::fill(out, out + size, level < 0 ? kTop16 : 0);
    return;
  }
  // Compared as 16-bit lanes: the mask is the result.
  const auto bound = static_cast<std::uint16_t>(level);
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = src[i] > bound ? kTop16 : 0;
}

PICTOR_ALSO_FOR_AVX2
void binarise_against_mean16(const std::uint16_t* src, const float* mean, float coef, std::uint16_t* out,
                             std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = static_cast<float>(src[i]) - coef * mean[i] >= 0 ? kTop16 : 0;
}

namespace {

// Reflect-101 of an index at most n - 1 outside [0, n).
inline std::ptrdiff_t reflect101(std::ptrdiff_t i, std::ptrdiff_t n) {
  if (i < 0) return -i;
  if (i >= n) return 2 * (n - 1) - i;
  return i;
}

// One output row: horizontal window sums of the column sums (through a
// row padded by the border), then the decision of each sample.
PICTOR_ALSO_FOR_AVX2
int decide_row(const std::uint16_t* src, const std::int32_t* column_sums, std::ptrdiff_t cols,
               std::ptrdiff_t channels, int k, float coef, std::uint16_t* out, std::int32_t* padded,
               std::int32_t* sums) {
  constexpr int kMostDirectTerms = 9;  // wider windows slide: a chain, but one add per sample
  const std::ptrdiff_t radius = k / 2;
  const std::ptrdiff_t width = cols * channels;
  std::copy(column_sums, column_sums + width, padded + radius * channels);
  for (std::ptrdiff_t x = 1; x <= radius; ++x) {
    const std::int32_t* left = column_sums + reflect101(-x, cols) * channels;
    const std::int32_t* right = column_sums + reflect101(cols - 1 + x, cols) * channels;
    for (std::ptrdiff_t c = 0; c < channels; ++c) {
      padded[(radius - x) * channels + c] = left[c];
      padded[(radius + cols - 1 + x) * channels + c] = right[c];
    }
  }
  if (k <= kMostDirectTerms) {
    for (std::ptrdiff_t j = 0; j < width; ++j) sums[j] = padded[j];
    for (int i = 1; i < k; ++i) {
      const std::int32_t* shifted = padded + i * channels;
      for (std::ptrdiff_t j = 0; j < width; ++j) sums[j] += shifted[j];
    }
  } else {
    for (std::ptrdiff_t c = 0; c < channels; ++c) {
      std::int32_t running = 0;
      for (int i = 0; i < k; ++i) running += padded[i * channels + c];
      sums[c] = running;
    }
    const std::ptrdiff_t reach = static_cast<std::ptrdiff_t>(k) * channels;
    for (std::ptrdiff_t j = channels; j < width; ++j) {
      sums[j] = sums[j - channels] + padded[j - channels + reach] - padded[j - channels];
    }
  }
  const double scale = 1.0 / static_cast<double>(k * k);
  const auto scale32 = static_cast<float>(scale);
  int undecided = 0;
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    const auto level = static_cast<float>(src[j]);
    const float mean32 = static_cast<float>(sums[j]) * scale32;
    const auto mean64 = static_cast<float>(static_cast<double>(sums[j]) * scale);
    const int foreground = level - coef * mean32 >= 0;
    undecided |= foreground ^ static_cast<int>(level - coef * mean64 >= 0);
    out[j] = foreground ? kTop16 : 0;
  }
  return undecided;
}

}  // namespace

bool binarise_against_box_mean16(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols,
                                 std::ptrdiff_t channels, int k, float coef, std::uint16_t* out, int threads) {
  const std::ptrdiff_t radius = k / 2;
  const std::ptrdiff_t width = cols * channels;
  std::vector<int> undecided(static_cast<std::size_t>(part_count(rows, width, threads)), 0);
  split_rows(rows, width, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    std::vector<std::int32_t> column_sums(static_cast<std::size_t>(width), 0);
    std::vector<std::int32_t> sums(static_cast<std::size_t>(width));
    std::vector<std::int32_t> padded(static_cast<std::size_t>((cols + 2 * radius) * channels));
    for (std::ptrdiff_t dy = -radius; dy <= radius; ++dy) {
      const std::uint16_t* row = src + reflect101(begin + dy, rows) * width;
      for (std::ptrdiff_t j = 0; j < width; ++j) column_sums[j] += row[j];
    }
    int flags = 0;
    for (std::ptrdiff_t y = begin; y < end; ++y) {
      if (y > begin) {
        const std::uint16_t* leaving = src + reflect101(y - radius - 1, rows) * width;
        const std::uint16_t* entering = src + reflect101(y + radius, rows) * width;
        for (std::ptrdiff_t j = 0; j < width; ++j) column_sums[j] += entering[j] - leaving[j];
      }
      flags |= decide_row(src + y * width, column_sums.data(), cols, channels, k, coef, out + y * width, padded.data(),
                          sums.data());
    }
    undecided[static_cast<std::size_t>(part)] = flags;
  });
  return std::all_of(undecided.begin(), undecided.end(), [](int flag) { return flag == 0; });
}

// --- equalisation -----------------------------------------------------------------------------

Table16 equalising_table16(const std::int64_t* counts) {
  Table16 table(kLevels16);
  long first = 0;
  while (first < kLevels16 && counts[first] == 0) ++first;
  std::int64_t total = 0;
  for (long v = 0; v < kLevels16; ++v) total += counts[v];
  if (first == kLevels16 || counts[first] == total) {
    for (long v = 0; v < kLevels16; ++v) table[v] = static_cast<std::uint16_t>(v);
    return table;
  }
  const double scale = static_cast<double>(kTop16) / static_cast<double>(total - counts[first]);
  std::int64_t beyond_first = 0;
  for (long v = 0; v < kLevels16; ++v) {
    if (v > first) beyond_first += counts[v];
    table[v] = v < first ? 0 : static_cast<std::uint16_t>(std::nearbyint(static_cast<double>(beyond_first) * scale));
  }
  return table;
}

// --- truncated stretch ------------------------------------------------------------------------

Table16 stretch_table16(const std::int64_t* counts, double scale_l, double scale_r) {
  constexpr long kLowest = 10 * kWorkingLevel;  // levels below take no part in the walks
  constexpr double kTail = 0.01;
  const std::int64_t* hist = counts + kLowest;
  const long bins = kLevels16 - kLowest;
  long peak = 0;
  std::int64_t total = 0;
  for (long k = 0; k < bins; ++k) {
    total += hist[k];
    if (hist[k] > hist[peak]) peak = k;
  }
  const double mass = static_cast<double>(total);
  std::int64_t below = 0;  // counts of the bins below `right`
  for (long k = 0; k < peak; ++k) below += hist[k];
  long right = peak;
  while (right < bins - 1 && !(static_cast<double>(total - below) / mass <= kTail)) below += hist[right++];
  long left = peak;
  std::int64_t under = 0;  // counts of the bins below `left`
  for (long k = 0; k < peak; ++k) under += hist[k];
  while (left > 0 && !(static_cast<double>(under) / mass <= kTail)) under -= hist[--left];
  // Steps of the 8-bit walk are working levels: see the recipe.
  const long headroom = right > peak ? 2 * kWorkingLevel - 1 : kWorkingLevel;
  const double min_val = numpy_clip(static_cast<double>(kLowest + left) * scale_l, 0.0, double{kTop16});
  const double max_val = numpy_clip(static_cast<double>(kLowest + right + headroom) * scale_r, 0.0, double{kTop16});
  Table16 table(kLevels16, 0);
  if (max_val == min_val) return table;
  const auto low = static_cast<float>(min_val);
  const auto high = static_cast<float>(max_val);
  const auto span = static_cast<float>(max_val - min_val);
  for (long v = 0; v < kLevels16; ++v) {
    const float clipped = numpy_clip(static_cast<float>(v), low, high);
    table[v] = numpy_astype<std::uint16_t>((clipped - low) / span * static_cast<float>(kTop16));
  }
  return table;
}

// --- local histogram walk ---------------------------------------------------------------------

long long local_histogram_level16(const std::int64_t* counts, long long low_thr) {
  constexpr long long kCountedEnd = 251;  // working level
  const LevelRange range = level_range16(counts);
  const std::vector<std::int64_t> levels = counts_on_range(counts, range);
  const long long first = first_range_level(low_thr, range.span);
  const long long end = std::min<long long>(first_range_level(kCountedEnd, range.span), range.span + 1);
  if (first >= end) {
    // No range level is counted (one level present, or a range too narrow):
    // the 8-bit walk over an empty histogram, its level stretched to the range.
    const std::vector<double> empty(static_cast<std::size_t>(kCountedEnd - low_thr), 0.0);
    const long long working = low_thr + local_histogram_threshold(empty, kWorkingWalk, summarise_counts);
    return range.level(range_distance(working, range.span));
  }
  const std::vector<double> hist(levels.begin() + first, levels.begin() + end);
  const WalkDistances distances{static_cast<std::ptrdiff_t>(range_distance(kWorkingWalk.same_peak, range.span)),
                                static_cast<std::ptrdiff_t>(first_range_level(kWorkingWalk.window, range.span))};
  return range.level(first + local_histogram_threshold(hist, distances, summarise_counts));
}

// --- maximum inter-class variance -------------------------------------------------------------

long long inter_class_variance_level16(const std::int64_t* counts) {
  const LevelRange range = level_range16(counts);
  if (range.span == 0) return range.lowest;
  const std::vector<std::int64_t> levels = counts_on_range(counts, range);
  std::int64_t total = 0;
  for (std::int64_t count : levels) total += count;
  return range.level(inter_class_variance_split(levels.data(), range.span + 1, total));
}

// --- maximum entropy --------------------------------------------------------------------------

EntropySearch16::EntropySearch16(const std::int64_t* counts) : range_(level_range16(counts)) {
  constexpr long long kFirstWorking = 5;
  constexpr long long kEndWorking = 250;
  first_ = static_cast<long>(first_range_level(kFirstWorking, range_.span));
  const long end = static_cast<long>(std::min<long long>(first_range_level(kEndWorking, range_.span), range_.span + 1));
  if (end <= first_) return;
  for (long z = first_; z < end; ++z) hist_.push_back(static_cast<double>(counts[range_.level(z)]));
  const std::size_t n = hist_.size();
  back_mass_.assign(n, 0.0);
  fore_mass_.assign(n, 0.0);
  for (std::size_t j = 1; j < n; ++j) back_mass_[j] = back_mass_[j - 1] + hist_[j - 1];
  fore_mass_[n - 1] = hist_[n - 1];
  for (std::size_t j = n - 1; j-- > 0;) fore_mass_[j] = fore_mass_[j + 1] + hist_[j];
  arguments_.reserve(3 * n);
  for (double count : hist_) arguments_.push_back(std::max(count, 1.0));
  for (std::size_t j = 0; j < n; ++j) {
    arguments_.push_back(std::max(back_mass_[j], 1.0));
    any_split_ = any_split_ || (back_mass_[j] > 0 && fore_mass_[j] > 0);
  }
  for (double mass : fore_mass_) arguments_.push_back(std::max(mass, 1.0));
}

long long EntropySearch16::threshold(const double* log2s) const {
  if (!any_split_) return range_.lowest;
  const std::size_t n = hist_.size();
  const double* log2_count = log2s;
  const double* log2_back = log2s + n;
  const double* log2_fore = log2s + 2 * n;
  std::vector<double> terms(n);
  for (std::size_t j = 0; j < n; ++j) terms[j] = hist_[j] * log2_count[j];
  std::vector<double> back_terms(n, 0.0), fore_terms(n);
  // np.cumsum adds in order: back_terms[j] is the running sum of terms[0..j-1].
  double running = 0.0;
  for (std::size_t j = 1; j < n; ++j) {
    running = j == 1 ? terms[0] : running + terms[j - 1];
    back_terms[j] = running;
  }
  fore_terms[n - 1] = terms[n - 1];
  for (std::size_t j = n - 1; j-- > 0;) fore_terms[j] = fore_terms[j + 1] + terms[j];
  std::vector<double> total(n);
  for (std::size_t j = 0; j < n; ++j) {
    if (!(back_mass_[j] > 0 && fore_mass_[j] > 0)) {
      total[j] = -std::numeric_limits<double>::infinity();
      continue;
    }
    const double back_entropy = log2_back[j] - back_terms[j] / back_mass_[j];
    const double fore_entropy = log2_fore[j] - fore_terms[j] / fore_mass_[j];
    total[j] = back_entropy + fore_entropy;
  }
  // The first best split lies just above the background's highest level p.
  const auto split = static_cast<std::size_t>(first_maximum(total));
  const auto one_working_level = static_cast<std::size_t>(range_distance(1, range_.span));
  std::size_t lowest = split;
  while (hist_[lowest] == 0) ++lowest;
  return range_.level(first_ + static_cast<long long>(std::min(split - 1 + one_working_level, lowest)));
}

}  // namespace pictor::kernels
