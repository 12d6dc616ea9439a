#include "kernels/histogram.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "kernels/depth.h"
#include "kernels/reduce.h"

namespace pictor::kernels {

namespace {

// Four interleaved partial histograms keep consecutive equal samples from
// waiting on each other's increments; 32-bit partial counts are flushed into
// the 64-bit totals before they could overflow.
constexpr int kPartials = 4;
constexpr std::ptrdiff_t kFlushEvery = std::ptrdiff_t{1} << 30;

template <class T, class Level>
LevelCounts count_levels(const T* src, std::ptrdiff_t size, std::ptrdiff_t step, Level level) {
  LevelCounts totals{};
  std::array<std::array<std::uint32_t, kLevels8>, kPartials> partial;
  const std::ptrdiff_t samples = size > 0 ? (size + step - 1) / step : 0;
  for (std::ptrdiff_t start = 0; start < samples; start += kFlushEvery) {
    for (auto& counts : partial) counts.fill(0);
    const std::ptrdiff_t end = std::min(samples, start + kFlushEvery);
    const T* sample = src + start * step;
    std::ptrdiff_t i = start;
    for (; i + kPartials <= end; i += kPartials, sample += kPartials * step) {
      ++partial[0][level(sample[0])];
      ++partial[1][level(sample[step])];
      ++partial[2][level(sample[2 * step])];
      ++partial[3][level(sample[3 * step])];
    }
    for (; i < end; ++i, sample += step) ++partial[0][level(*sample)];
    for (int k = 0; k < kLevels8; ++k) {
      for (const auto& counts : partial) totals[k] += counts[k];
    }
  }
  return totals;
}

}  // namespace

LevelCounts count_working_levels(const std::uint8_t* src, std::ptrdiff_t size, std::ptrdiff_t step) {
  return count_levels(src, size, step, [](std::uint8_t value) { return value; });
}

LevelCounts count_working_levels(const std::uint16_t* src, std::ptrdiff_t size, std::ptrdiff_t step) {
  return count_levels(src, size, step,
                      [](std::uint16_t value) { return static_cast<unsigned>(value) / kLevelsPer8BitStep; });
}

std::vector<std::int64_t> count_unit_bins(const std::uint8_t* values, std::ptrdiff_t size, long long low,
                                          long long high) {
  const LevelCounts levels = count_working_levels(values, size, 1);
  std::vector<std::int64_t> bins(static_cast<std::size_t>(high - low), 0);
  const auto last = static_cast<long long>(bins.size()) - 1;
  for (long long value = std::max(low, 0LL); value <= std::min(high, kLevels8 - 1LL); ++value) {
    bins[static_cast<std::size_t>(std::min(value - low, last))] += levels[value];
  }
  return bins;
}

Boundaries histogram_boundaries(const std::vector<std::int64_t>& hist) {
  const auto size = static_cast<std::ptrdiff_t>(hist.size());
  constexpr double kTail = 0.01;
  std::vector<std::int64_t> below(hist.size() + 1, 0);  // below[k] = sum(hist[:k])
  std::partial_sum(hist.begin(), hist.end(), below.begin() + 1);
  const double total = static_cast<double>(below.back());
  Boundaries found{};
  found.peak = std::max_element(hist.begin(), hist.end()) - hist.begin();

  found.right = found.peak;
  while (found.right < size - 1) {
    ++found.shares_computed;
    if (static_cast<double>(below.back() - below[found.right]) / total <= kTail) break;
    ++found.right;
  }
  found.left = found.peak;
  while (found.left > 0) {
    ++found.shares_computed;
    if (static_cast<double>(below[found.left]) / total <= kTail) break;
    --found.left;
  }
  return found;
}

namespace {

constexpr double kKeptCount = 1.0;

std::vector<double> kept_counts(const double* counts, std::ptrdiff_t size) {
  std::vector<double> kept;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    if (counts[i] >= kKeptCount) kept.push_back(counts[i]);
  }
  return kept;
}

}  // namespace

CountSummary summarise_counts(const double* counts, std::ptrdiff_t size) {
  const std::vector<double> kept = kept_counts(counts, size);
  CountSummary summary;
  summary.kept = static_cast<std::ptrdiff_t>(kept.size());
  if (kept.empty()) return summary;
  summary.mean = numpy_mean(kept.data(), summary.kept);
  summary.min = *std::min_element(kept.begin(), kept.end());
  summary.min_position = std::find(counts, counts + size, summary.min) - counts;
  return summary;
}

bool kept_counts_all_equal(const double* counts, std::ptrdiff_t size) {
  const std::vector<double> kept = kept_counts(counts, size);
  if (kept.empty()) return false;
  const auto [lowest, highest] = std::minmax_element(kept.begin(), kept.end());
  return *lowest == *highest;
}

std::array<std::uint8_t, kLevels8> equalising_table(const LevelCounts& counts) {
  std::array<std::uint8_t, kLevels8> table{};
  std::int64_t total = 0;
  for (const std::int64_t count : counts) total += count;
  int level = 0;
  while (counts[level] == 0) ++level;
  if (counts[level] == total) {
    table[level] = static_cast<std::uint8_t>(level);
    return table;
  }
  // OpenCV's counts are ints, converted to float where they meet the scale.
  const float scale = 255.0f / static_cast<float>(static_cast<int>(total - counts[level]));
  int sum = 0;
  for (++level; level < kLevels8; ++level) {
    sum += static_cast<int>(counts[level]);
    const long rounded = std::lrint(static_cast<float>(sum) * scale);
    table[level] = static_cast<std::uint8_t>(std::clamp(rounded, 0L, 255L));
  }
  return table;
}

}  // namespace pictor::kernels
