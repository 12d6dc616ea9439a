#include "kernels/full_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

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

namespace {

// Candidates right of the peak from the most to the least populated, equal
// counts in ascending position (a stable sort by count), sorted only as far
// as the walk reads them.
class Candidates {
 public:
  Candidates(const std::vector<double>& hist, std::ptrdiff_t first) : hist_(hist) {
    for (std::ptrdiff_t i = first; i < static_cast<std::ptrdiff_t>(hist.size()); ++i) order_.push_back(i);
  }
  std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(order_.size()); }
  std::ptrdiff_t operator[](std::ptrdiff_t i) {
    if (i >= sorted_) {
      constexpr std::ptrdiff_t kFirstBatch = 64;
      const std::ptrdiff_t upto = std::min(size(), std::max({2 * sorted_, kFirstBatch, i + 1}));
      std::partial_sort(order_.begin() + sorted_, order_.begin() + upto, order_.end(),
                        [this](std::ptrdiff_t a, std::ptrdiff_t b) {
                          return hist_[a] > hist_[b] || (hist_[a] == hist_[b] && a < b);
                        });
      sorted_ = upto;
    }
    return order_[i];
  }

 private:
  const std::vector<double>& hist_;
  std::vector<std::ptrdiff_t> order_;
  std::ptrdiff_t sorted_ = 0;
};

}  // namespace

long long local_histogram_level16(const std::int64_t* counts, long long low_thr) {
  constexpr double kStrongShare = 0.3;
  constexpr double kFadedPeakShare = 0.2;
  constexpr double kValleyShare = 0.5;
  constexpr double kDeepValley = 200.0;  // counts, not levels
  constexpr double kFlatWindow = 300.0;  // counts
  constexpr std::ptrdiff_t kSamePeak = 4 * kWorkingLevel;
  constexpr std::ptrdiff_t kWindow = 10 * kWorkingLevel;
  constexpr std::ptrdiff_t kWeakestSkipped = 10;
  constexpr std::ptrdiff_t kBusyWindow = 3;
  constexpr int kRejectionsAllowed = 5;
  constexpr long long kCountedEnd = 251 * kWorkingLevel;

  const long long low = low_thr * kWorkingLevel;
  std::vector<double> hist(counts + low, counts + kCountedEnd);
  const auto size = static_cast<std::ptrdiff_t>(hist.size());
  std::ptrdiff_t max_index = 0;
  for (std::ptrdiff_t i = 1; i < size; ++i) {
    if (hist[i] > hist[max_index]) max_index = i;
  }
  double max_value = hist[max_index];
  const double init_max_value = max_value;
  std::ptrdiff_t best_index = max_index;
  std::ptrdiff_t current_index = max_index;
  Candidates candidates(hist, max_index + 1);
  int rejections = 0;
  const std::ptrdiff_t passes = candidates.size() - kWeakestSkipped;
  for (std::ptrdiff_t pass = 0; pass < passes; ++pass) {
    if (rejections > kRejectionsAllowed) {
      best_index = current_index;
      break;
    }
    current_index = candidates[pass];
    const double current_value = hist[current_index];
    if (current_value > max_value * kStrongShare) {
      if (std::abs(current_index - max_index) > kSamePeak) {
        const std::ptrdiff_t valley_start = max_index + 1;
        const std::ptrdiff_t valley_size = current_index > valley_start ? current_index - valley_start : 0;
        const CountSummary valley = summarise_counts(hist.data() + valley_start, valley_size);
        if (valley.mean == 0) {
          ++rejections;
        } else if (valley.mean < current_value * kValleyShare || std::abs(valley.min - valley.mean) > kDeepValley) {
          best_index = max_index + valley.min_position;
          break;
        } else {
          ++rejections;
        }
      } else if (current_value < init_max_value * kFadedPeakShare) {
        best_index = current_index;
        break;
      } else {
        max_index = current_index;
        max_value = current_value;
      }
    } else {
      const std::ptrdiff_t window_size = std::min(kWindow, size - current_index);
      const CountSummary window = summarise_counts(hist.data() + current_index, window_size);
      if (window.kept > kBusyWindow) {
        best_index = std::abs(current_value - window.mean) < kFlatWindow ? current_index
                                                                          : max_index + window.min_position;
        break;
      }
      ++rejections;
    }
  }
  return best_index + low;
}

// --- maximum inter-class variance -------------------------------------------------------------

long long inter_class_variance_level16(const std::int64_t* counts) {
  std::int64_t total = 0;
  for (long k = 0; k < kLevels16; ++k) total += counts[k];
  return inter_class_variance_split(counts, kLevels16, total);
}

// --- maximum entropy --------------------------------------------------------------------------

namespace {
constexpr long kEntropyFirst = 5 * kWorkingLevel;
constexpr long kEntropyEnd = 250 * kWorkingLevel;
}  // namespace

EntropySearch16::EntropySearch16(const std::int64_t* counts)
    : hist_(counts + kEntropyFirst, counts + kEntropyEnd) {
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
  if (!any_split_) return 0;
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
  const auto split = static_cast<std::size_t>(first_maximum(total));
  // The 8-bit method's threshold level, one working level wide, goes to the
  // background: so does the foreground's lowest level within 256 of the split.
  std::size_t lowest = split;
  while (hist_[lowest] == 0) ++lowest;
  return kEntropyFirst + static_cast<long long>(std::min(split + kWorkingLevel - 1, lowest));
}

}  // namespace pictor::kernels
