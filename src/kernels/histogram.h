// Histograms of grey levels and the searches that walk them.
//
// Counts are exact integers; where a search divides or compares counts as
// floating-point values it does so in the order and the precision in which
// NumPy evaluates the corresponding array expression.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernels/parallel.h"

namespace pictor::kernels {

constexpr int kLevels8 = 256;
using LevelCounts = std::array<std::int64_t, kLevels8>;

// Counts of the 8-bit working levels of every `step`-th sample from the first
// (step 1: every sample; step = channel count: channel 0 of interleaved
// channels). The 16-bit form counts the working level v / 257 of each sample
// without materialising the working copy.
LevelCounts count_working_levels(const std::uint8_t* src, std::ptrdiff_t size, std::ptrdiff_t step);
LevelCounts count_working_levels(const std::uint16_t* src, std::ptrdiff_t size, std::ptrdiff_t step);

// The same counts over `threads` threads: each part counts its own samples,
// and the counts add up.
template <class T>
LevelCounts count_working_levels(const T* src, std::ptrdiff_t size, std::ptrdiff_t step, int threads) {
  const std::ptrdiff_t samples = size > 0 ? (size + step - 1) / step : 0;
  std::vector<LevelCounts> partials(static_cast<std::size_t>(part_count(samples, step, threads)));
  split_rows(samples, step, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    const std::ptrdiff_t last = std::min(size, (end - 1) * step + 1);
    partials[static_cast<std::size_t>(part)] = count_working_levels(src + begin * step, last - begin * step, step);
  });
  LevelCounts totals{};
  for (const LevelCounts& counts : partials) {
    for (int level = 0; level < kLevels8; ++level) totals[level] += counts[level];
  }
  return totals;
}

// cv2.equalizeHist's table of the 256 levels for a histogram with at least
// one sample: the levels up to the first present one map to 0; from there
// each level maps to the rounded float32 product of the count up to and
// including it (beyond the first level) and 255 / (total less the first
// level's count). A histogram of one level maps that level to itself.
std::array<std::uint8_t, kLevels8> equalising_table(const LevelCounts& counts);

// np.histogram(values, bins=high - low, range=[low, high]) for integer samples
// and integer bounds (high > low, both well inside +-2**52, where every edge and
// every kept sample is exact in float64): bin k counts the value low + k, the
// last bin also the value high; values outside [low, high] are not counted.
template <class T>
std::vector<std::int64_t> count_unit_bins(const T* values, std::ptrdiff_t size, long long low, long long high) {
  std::vector<std::int64_t> bins(static_cast<std::size_t>(high - low), 0);
  const auto last = static_cast<long long>(bins.size()) - 1;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const T value = values[i];
    if (std::cmp_less(value, low) || std::cmp_greater(value, high)) continue;
    const long long bin = static_cast<long long>(value) - low;
    ++bins[static_cast<std::size_t>(bin < last ? bin : last)];
  }
  return bins;
}
std::vector<std::int64_t> count_unit_bins(const std::uint8_t* values, std::ptrdiff_t size, long long low,
                                          long long high);

// The peak of a histogram and the 1 % tails on either side of it: both walks
// start at the peak and stop at the first bin whose share of the total
// (above and including it, or strictly below it) is at most 0.01, each share
// being the float64 quotient of two exact integer sums.
struct Boundaries {
  std::ptrdiff_t peak;   // first bin with the largest count
  std::ptrdiff_t left;   // bin whose lower edge is the left boundary
  std::ptrdiff_t right;  // bin whose upper edge is the right boundary
  std::ptrdiff_t shares_computed;  // how many quotients the walks took (each 0/0 on an empty histogram)
};
Boundaries histogram_boundaries(const std::vector<std::int64_t>& hist);

// What a threshold search needs to know of a stretch of counts, as
// UtilityTool.normalize_and_calculate_variance reports it: the counts of at
// least 1 are kept; their mean (0 when none is kept), their minimum and the
// first position of that minimum in the whole stretch.
struct CountSummary {
  std::ptrdiff_t kept = 0;
  double mean = 0.0;
  double min = 0.0;
  std::ptrdiff_t min_position = 0;
};
CountSummary summarise_counts(const double* counts, std::ptrdiff_t size);

// True when at least one count is kept and all kept counts are equal, so that
// min-max normalising them divides 0 by 0.
bool kept_counts_all_equal(const double* counts, std::ptrdiff_t size);

}  // namespace pictor::kernels
