// Histogram methods over all 65,536 levels of 16-bit samples: exact level
// counts, the level table each method builds from them, and the map of every
// sample through its table. Level limits and level distances of the 8-bit
// methods count in working levels, 257 levels each.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pictor::kernels {

constexpr long kLevels16 = 65536;
constexpr long kWorkingLevel = 257;  // 16-bit levels per 8-bit working level
constexpr std::uint16_t kTop16 = 65535;

using Counts16 = std::vector<std::int64_t>;  // kLevels16 exact counts
using Table16 = std::vector<std::uint16_t>;  // kLevels16 output levels

// Counts of the levels of every `step`-th sample from the first (step =
// channel count: channel 0 of interleaved channels), over `threads` threads.
Counts16 count_levels16(const std::uint16_t* src, std::ptrdiff_t size, std::ptrdiff_t step, int threads);

// out[i] = table[src[i]] over `threads` threads.
void map_levels16(const std::uint16_t* src, const std::uint16_t* table, std::uint16_t* out, std::ptrdiff_t size,
                  int threads);

// 65535 for the levels above `level`, 0 for the others.
Table16 binary_table(long long level);

// out[i] = 65535 where src[i] > level, else 0.
void binarise_above16(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, long long level);

// out[i] = 65535 where src[i] - coef * mean[i] >= 0 in float32, else 0.
void binarise_against_mean16(const std::uint16_t* src, const float* mean, float coef, std::uint16_t* out,
                             std::ptrdiff_t size);

// binarise_against_mean16 with the mean of cv2.boxFilter(src, CV_32F, (k, k))
// over an image of rows x cols pixels of `channels` interleaved channels,
// from exact integer window sums (reflect-101 border; k odd, 1 <= k,
// k * k <= 32768, k / 2 < rows and cols). OpenCV scales a sum by 1 / k**2
// either in float32 or in float64 rounded to float32, by the sample's place
// in its vector loop: a sample is decided where both put it on the same
// side. Returns false when some sample is not (out is then incomplete).
bool binarise_against_box_mean16(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols,
                                 std::ptrdiff_t channels, int k, float coef, std::uint16_t* out, int threads);

// Equalisation: levels below the first present one map to 0; from it on,
// round(count up to and including the level, beyond the first level's count,
// times 65535 / (total less that count)), half to even. One level present (or
// none): every level maps to itself.
Table16 equalising_table16(const std::int64_t* counts);

// The truncated stretch of levels 2570 and above: the peak, the 1 % tails
// either side of it (one bin per level), the boundaries scaled by scale_l and
// scale_r and clipped to [0, 65535]; then the stretch of every level in
// float32 between them, truncated. Equal boundaries give zeros.
Table16 stretch_table16(const std::int64_t* counts, double scale_l, double scale_r);

// The local-histogram walk over levels 257 * low_thr to 64506, with its
// distances (4 and 10 bins) in working levels; returns the threshold level.
long long local_histogram_level16(const std::int64_t* counts, long long low_thr);

// argmax of the between-class variance over the 65,535 splits, in float64
// with NumPy's evaluation order (the variance search of the 8-bit method).
long long inter_class_variance_level16(const std::int64_t* counts);

// The entropy search over the splits t of levels [1285, 64250) into
// background [1285, t) and foreground [t, 64250), each class's entropy taken
// as log2(mass) - sum(c * log2(c)) / mass from cumulative sums; log2 values
// come from the caller (NumPy's own), for the numbers log2_arguments() lists.
class EntropySearch16 {
 public:
  explicit EntropySearch16(const std::int64_t* counts);

  // False when no split has both classes non-empty: the threshold is then 0.
  bool any_split() const { return any_split_; }
  // max(count, 1) of every level, then every background mass, then every
  // foreground mass (the arguments whose log2 the entropies need).
  const std::vector<double>& log2_arguments() const { return arguments_; }
  // min(t + 256, q) for the first best split t and the lowest level q of its
  // foreground, given log2 of log2_arguments().
  long long threshold(const double* log2s) const;

 private:
  std::vector<double> hist_, back_mass_, fore_mass_;
  std::vector<double> arguments_;
  bool any_split_ = false;
};

}  // namespace pictor::kernels
