// Global threshold searches over 8-bit level histograms, and binarisation
// straight into the 16-bit 0 / 65535 result.
#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kernels/histogram.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

// --- binarisation ---------------------------------------------------------------------------

constexpr std::uint16_t kForeground16 = 65535;

// cv2.threshold(working, level, 255, THRESH_BINARY) followed by the 16-bit
// restore: 65535 where the working level exceeds `level`, else 0. The 16-bit
// form reads the source samples and compares them with the first sample whose
// working level v / 257 exceeds `level`.
void binarise_above(const std::uint8_t* working, std::uint16_t* out, std::ptrdiff_t size, long long level);
void binarise_above(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, long long level);

// out = working - coef * mean in Real (float where NumPy keeps float32, double
// where it widens); 65535 where out >= 0, else 0. For coefficients whose
// products stay finite, so that out is never NaN.
template <class Real>
void binarise_against_mean(const std::uint8_t* working, const float* mean, Real coef, std::uint16_t* out,
                           std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    const Real difference = static_cast<Real>(working[i]) - coef * static_cast<Real>(mean[i]);
    out[i] = difference >= 0 ? kForeground16 : 0;
  }
}

// binarise_against_mean of the working levels of a row of 8- or 16-bit
// samples, for float32 arithmetic, with the means that OpenCV's float32
// boxFilter gives for these exact window sums: it scales a sum by 1 / area
// either in float32 or in float64 rounded to float32, depending on the
// sample's place in its vector loop. A sample is decided where both means
// put it on the same side; returns false when some sample is not.
template <class T>
PICTOR_ALSO_FOR_AVX2
bool binarise_against_box_sums(const T* src, const std::uint32_t* sums, std::uint32_t area, float coef,
                               std::uint16_t* out, std::ptrdiff_t size) {
  const double scale = 1.0 / static_cast<double>(area);
  const float scale32 = static_cast<float>(scale);
  int undecided = 0;
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    // The sums are below 2**24 (255 times a window of at most 127 x 127): exact as int32 and float.
    const auto sum = static_cast<std::int32_t>(sums[j]);
    const auto level = static_cast<float>(static_cast<std::int32_t>(working_level(src[j])));
    const float mean32 = static_cast<float>(sum) * scale32;
    const auto mean64 = static_cast<float>(static_cast<double>(sum) * scale);
    const int foreground = level - coef * mean32 >= 0;
    undecided |= foreground ^ static_cast<int>(level - coef * mean64 >= 0);
    out[j] = foreground ? kForeground16 : 0;
  }
  return undecided == 0;
}

// --- local histogram walk -------------------------------------------------------------------

// The walk's two level distances: a candidate more than `same_peak` bins from
// the current peak is a separate peak, and a weak candidate's window spans
// `window` bins from it. 4 and 10 at 8 bits; at other scales, the same
// distances in the image's own levels.
struct WalkDistances {
  std::ptrdiff_t same_peak;
  std::ptrdiff_t window;
};
constexpr WalkDistances kWorkingWalk{4, 10};

// The walk right of the highest peak of `hist` (counts as float64, one bin per
// level from the lowest counted level): candidates from the most to the least
// populated (ties in ascending position), all but the ten weakest; returns the
// chosen position in `hist`. `summarise(counts, size)` reports the valley
// before a strong candidate as a CountSummary; the caller decides how it is
// obtained.
template <class Summarise>
std::ptrdiff_t local_histogram_threshold(const std::vector<double>& hist, WalkDistances distances,
                                         Summarise&& summarise);

// --- maximum entropy ------------------------------------------------------------------------

constexpr int kEntropyBins = 255;       // np.histogram(bins=range(256)): 254 and 255 share the last bin
constexpr int kEntropyFirstLevel = 5;   // levels below never belong to a class
constexpr int kEntropyEndLevel = 250;   // nor do this level and those above

// np.histogram(x, bins=range(256), density=True)[0]: count / 1.0 / total per
// bin (NaN everywhere when there is no sample, as in NumPy).
std::array<double, kEntropyBins> level_densities(const LevelCounts& counts);

// The splits t = 5 .. 249 of the densities into background [5, t) and
// foreground [t, 250), each normalised by its own sum (NumPy's pairwise sum),
// and the Shannon entropies of the two classes.
class EntropySplits {
 public:
  explicit EntropySplits(const std::array<double, kEntropyBins>& densities);

  // Whether split t counts: neither class sums to zero.
  bool counts(int t) const;
  // hist[5:t] / prob_back and hist[t:250] / prob_fore, every entry.
  std::vector<double> background(int t) const;
  std::vector<double> foreground(int t) const;

  // Every strictly positive normalised probability of every counting split,
  // split by split, background then foreground: the arguments whose log2 the
  // entropies need.
  const std::vector<double>& probabilities() const { return probabilities_; }
  // Takes log2 of probabilities() (NumPy's own values) and computes every entropy.
  void take_log2(const double* log2_of_probabilities);
  // -sum(p * log2(p)) of each class of split t; valid after take_log2.
  double background_entropy(int t) const { return entropies_[t].background; }
  double foreground_entropy(int t) const { return entropies_[t].foreground; }

 private:
  struct Masses { double background, foreground; };
  struct Segment { std::size_t start, size; };
  struct Entropies { double background, foreground; };
  std::vector<double> normalised(int first, int end, double mass) const;
  Segment append_positive(int first, int end, double mass);
  double entropy(const Segment& segment, const double* log2s) const;

  std::array<double, kEntropyBins> densities_;
  std::array<Masses, kEntropyEndLevel> masses_{};
  std::array<Segment, kEntropyEndLevel> background_{}, foreground_{};
  std::array<Entropies, kEntropyEndLevel> entropies_{};
  std::vector<double> probabilities_;
};

// --- maximum inter-class variance -----------------------------------------------------------

// argmax over the splits k = 0 .. levels - 2 (levels 0..k in the background) of
// w_bg * w_fg * (mean_bg - mean)**2 + w_fg * w_bg * (mean_fg - mean)**2, with
// the float64 cumulative sums (bin centres k + 0.5), the 1e-06 guards and the
// evaluation order of the NumPy expression; `total` is the sample count (0
// gives NumPy's NaNs, argmax 0). The same search serves 256 working levels and
// 65,536 levels.
long inter_class_variance_split(const std::int64_t* counts, long levels, std::int64_t total);
int inter_class_variance_threshold(const LevelCounts& counts, std::int64_t total);

// ---------------------------------------------------------------------------------------------

namespace detail {

// The candidates right of the peak from the most to the least populated,
// equal counts in ascending position (a stable sort by count), sorted only as
// far as the walk reads them: a 16-bit histogram has tens of thousands.
class WalkCandidates {
 public:
  WalkCandidates(const std::vector<double>& hist, std::ptrdiff_t first) : hist_(hist) {
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

}  // namespace detail

template <class Summarise>
std::ptrdiff_t local_histogram_threshold(const std::vector<double>& hist, WalkDistances distances,
                                         Summarise&& summarise) {
  constexpr double kStrongShare = 0.3;        // of the current peak
  constexpr double kFadedPeakShare = 0.2;     // of the first peak
  constexpr double kValleyShare = 0.5;        // of the candidate
  constexpr double kDeepValley = 200.0;       // min below the valley's mean (counts, not levels)
  constexpr double kFlatWindow = 300.0;       // candidate near its window's mean (counts)
  constexpr std::ptrdiff_t kWeakestSkipped = 10;
  constexpr std::ptrdiff_t kBusyWindow = 3;   // kept bins needed
  constexpr int kRejectionsAllowed = 5;

  const auto size = static_cast<std::ptrdiff_t>(hist.size());
  std::ptrdiff_t max_index = 0;
  for (std::ptrdiff_t i = 1; i < size; ++i) {
    if (hist[i] > hist[max_index]) max_index = i;
  }
  double max_value = hist[max_index];
  const double init_max_value = max_value;
  std::ptrdiff_t best_index = max_index;
  std::ptrdiff_t current_index = max_index;
  detail::WalkCandidates candidates(hist, max_index + 1);

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
      if (std::abs(current_index - max_index) > distances.same_peak) {
        const std::ptrdiff_t valley_start = max_index + 1;
        const std::ptrdiff_t valley_size = current_index > valley_start ? current_index - valley_start : 0;
        const CountSummary valley = summarise(hist.data() + valley_start, valley_size);
        if (valley.mean == 0) {
          ++rejections;
        } else if (valley.mean < current_value * kValleyShare ||
                   std::abs(valley.min - valley.mean) > kDeepValley) {
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
      const std::ptrdiff_t window_size = std::min(distances.window, size - current_index);
      const CountSummary window = summarise_counts(hist.data() + current_index, window_size);
      if (window.kept > kBusyWindow) {
        best_index = std::abs(current_value - window.mean) < kFlatWindow ? current_index
                                                                          : max_index + window.min_position;
        break;
      }
      ++rejections;
    }
  }
  return best_index;
}

}  // namespace pictor::kernels
