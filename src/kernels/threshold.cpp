#include "kernels/threshold.h"

#include <cmath>
#include <vector>

#include "kernels/depth.h"
#include "kernels/reduce.h"

namespace pictor::kernels {

namespace {

constexpr long long kTopLevel8 = 255;

template <class T>
void binarise_from(const T* src, std::uint16_t* out, std::ptrdiff_t size, T first_foreground) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = src[i] >= first_foreground ? kForeground16 : 0;
}

void fill(std::uint16_t* out, std::ptrdiff_t size, std::uint16_t value) { std::fill(out, out + size, value); }

}  // namespace

// Every working level lies in 0..255, so a level outside 0..254 decides alone.
void binarise_above(const std::uint8_t* working, std::uint16_t* out, std::ptrdiff_t size, long long level) {
  if (level < 0) return fill(out, size, kForeground16);
  if (level >= kTopLevel8) return fill(out, size, 0);
  binarise_from(working, out, size, static_cast<std::uint8_t>(level + 1));
}

void binarise_above(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, long long level) {
  if (level < 0) return fill(out, size, kForeground16);
  if (level >= kTopLevel8) return fill(out, size, 0);
  // v / 257 > level exactly when v >= 257 * (level + 1).
  binarise_from(src, out, size, static_cast<std::uint16_t>(kLevelsPer8BitStep * (level + 1)));
}

std::array<double, kEntropyBins> level_densities(const LevelCounts& counts) {
  std::int64_t total = 0;
  for (std::int64_t count : counts) total += count;
  std::array<double, kEntropyBins> densities;
  for (int k = 0; k < kEntropyBins; ++k) {
    const std::int64_t count = k < kEntropyBins - 1 ? counts[k] : counts[k] + counts[k + 1];
    // count / width / total, with every width 1.0
    densities[k] = static_cast<double>(count) / static_cast<double>(total);
  }
  return densities;
}

EntropySplits::EntropySplits(const std::array<double, kEntropyBins>& densities) : densities_(densities) {
  const double* first = densities_.data() + kEntropyFirstLevel;
  for (int t = kEntropyFirstLevel; t < kEntropyEndLevel; ++t) {
    masses_[t].background = numpy_sum(first, t - kEntropyFirstLevel);
    masses_[t].foreground = numpy_sum(densities_.data() + t, kEntropyEndLevel - t);
    if (!counts(t)) continue;
    background_[t] = append_positive(kEntropyFirstLevel, t, masses_[t].background);
    foreground_[t] = append_positive(t, kEntropyEndLevel, masses_[t].foreground);
  }
}

bool EntropySplits::counts(int t) const {
  return !(masses_[t].background == 0 || masses_[t].foreground == 0);
}

std::vector<double> EntropySplits::normalised(int first, int end, double mass) const {
  std::vector<double> result;
  for (int level = first; level < end; ++level) result.push_back(densities_[level] / mass);
  return result;
}

std::vector<double> EntropySplits::background(int t) const {
  return normalised(kEntropyFirstLevel, t, masses_[t].background);
}

std::vector<double> EntropySplits::foreground(int t) const {
  return normalised(t, kEntropyEndLevel, masses_[t].foreground);
}

EntropySplits::Segment EntropySplits::append_positive(int first, int end, double mass) {
  Segment segment{probabilities_.size(), 0};
  for (double probability : normalised(first, end, mass)) {
    if (probability > 0) probabilities_.push_back(probability);
  }
  segment.size = probabilities_.size() - segment.start;
  return segment;
}

double EntropySplits::entropy(const Segment& segment, const double* log2s) const {
  std::vector<double> terms(segment.size);
  for (std::size_t j = 0; j < segment.size; ++j) {
    terms[j] = probabilities_[segment.start + j] * log2s[segment.start + j];
  }
  return -numpy_sum(terms.data(), static_cast<std::ptrdiff_t>(terms.size()));
}

void EntropySplits::take_log2(const double* log2_of_probabilities) {
  for (int t = kEntropyFirstLevel; t < kEntropyEndLevel; ++t) {
    if (!counts(t)) continue;
    entropies_[t] = {entropy(background_[t], log2_of_probabilities),
                     entropy(foreground_[t], log2_of_probabilities)};
  }
}

long inter_class_variance_split(const std::int64_t* counts, long levels, std::int64_t total) {
  constexpr double kEmptyGuard = 1e-06;
  std::vector<std::int64_t> cum_hist(levels);
  std::vector<double> cum_mean(levels);
  std::int64_t running_count = 0;
  double running_mean = 0.0;
  for (long k = 0; k < levels; ++k) {
    running_count += counts[k];
    const double weighted = (static_cast<double>(k) + 0.5) * static_cast<double>(counts[k]);  // bin centre times count
    running_mean = k == 0 ? weighted : running_mean + weighted;
    cum_hist[k] = running_count;
    cum_mean[k] = running_mean;
  }
  const double pixels = static_cast<double>(total);
  const double total_mean = cum_mean[levels - 1] / pixels;
  // np.argmax over the splits below the last level: the first NaN, else the first largest.
  long best = 0;
  double best_value = 0.0;
  for (long k = 0; k < levels - 1; ++k) {
    const double weight_bg = static_cast<double>(cum_hist[k]) / pixels;
    const double weight_fg = 1.0 - weight_bg;
    const double mean_bg = cum_mean[k] / (static_cast<double>(cum_hist[k]) + kEmptyGuard);
    const double mean_fg =
        (total_mean * pixels - cum_mean[k]) / (static_cast<double>(total - cum_hist[k]) + kEmptyGuard);
    const double spread_bg = mean_bg - total_mean;
    const double spread_fg = mean_fg - total_mean;
    const double between =
        weight_bg * weight_fg * (spread_bg * spread_bg) + weight_fg * weight_bg * (spread_fg * spread_fg);
    if (std::isnan(between)) return k;
    if (k == 0 || between > best_value) {
      best = k;
      best_value = between;
    }
  }
  return best;
}

int inter_class_variance_threshold(const LevelCounts& counts, std::int64_t total) {
  return static_cast<int>(inter_class_variance_split(counts.data(), kLevels8, total));
}

}  // namespace pictor::kernels
