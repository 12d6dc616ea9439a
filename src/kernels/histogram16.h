// Histogram methods over all 65,536 levels of 16-bit samples: exact level
// counts, the level table each method builds from them, and the map of every
// sample through its table. The threshold searches of the 8-bit methods run
// on the image's own range (LevelRange): their level limits and distances,
// given on 0..255, are scaled to the image stretched from its lowest to its
// highest level, without merging any of its levels.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pictor::kernels {

constexpr long kLevels16 = 65536;
constexpr long kWorkingLevel = 257;  // 16-bit levels per 8-bit working level
constexpr long kWorkingTop = 255;    // the top of the 8-bit scale the keywords are given on
constexpr std::uint16_t kTop16 = 65535;

using Counts16 = std::vector<std::int64_t>;  // kLevels16 exact counts
using Table16 = std::vector<std::uint16_t>;  // kLevels16 output levels

// The levels present in an image as steps from the lowest: level v is
// lowest + step * z for z = 0 .. span, where step is the greatest common
// divisor of the present levels' distances from the lowest (1 for one level
// present, or none). A linear rescale k * v + c of the image (integers k >= 1,
// c >= 0) leaves z and span as they are, so every search run on z gives the
// same partition of the image's samples; on an image whose levels have no
// common step and span 0..65535, z is the level itself.
struct LevelRange {
  long lowest = 0;
  long step = 1;
  long span = 0;
  // The image level of range level z (beyond 65535 for z beyond span).
  long long level(long long z) const { return lowest + step * z; }
  bool is_identity() const { return lowest == 0 && step == 1; }
};
LevelRange level_range16(const std::int64_t* counts);
// The counts of range levels z = 0 .. span.
std::vector<std::int64_t> counts_on_range(const std::int64_t* counts, const LevelRange& range);
// out[i] = (src[i] - lowest) / step over `threads` threads.
void to_range_levels16(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t size, const LevelRange& range,
                       int threads);
// The first range level at or above working level `working` of 0..255 on a
// range of `span` levels: ceil(working * span / 255).
long long first_range_level(long long working, long span);
// The most range levels within `working` working levels: floor(working * span / 255).
long long range_distance(long long working, long span);

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

// The local-histogram walk over the image's range (`counts` of channel 0):
// over range levels from working level low_thr to 251 of the stretch, its
// distances (4 and 10 working levels) scaled alike; returns the image level
// above which samples are foreground.
long long local_histogram_level16(const std::int64_t* counts, long long low_thr);

// argmax of the between-class variance over the splits of the image's range,
// in float64 with NumPy's evaluation order (the variance search of the 8-bit
// method on range levels, bin centres z + 0.5); returns the image level above
// which samples are foreground.
long long inter_class_variance_level16(const std::int64_t* counts);

// The entropy search over the splits t of the range levels from working
// level 5 to 250 of the stretch into background [first, t) and foreground
// [t, end), each class's entropy taken as log2(mass) - sum(c * log2(c)) /
// mass from cumulative sums; log2 values come from the caller (NumPy's own),
// for the numbers log2_arguments() lists.
class EntropySearch16 {
 public:
  explicit EntropySearch16(const std::int64_t* counts);

  // False when no split has both classes non-empty: every sample above the
  // lowest level is then foreground.
  bool any_split() const { return any_split_; }
  // max(count, 1) of every level, then every background mass, then every
  // foreground mass (the arguments whose log2 the entropies need).
  const std::vector<double>& log2_arguments() const { return arguments_; }
  // Given log2 of log2_arguments(), the image level above which samples are
  // foreground: min(p + floor(span / 255), q) in range levels, for p the
  // highest and q the lowest present level of the first best split's
  // background and foreground (the 8-bit binarisation puts its threshold
  // level, one working level wide, into the background).
  long long threshold(const double* log2s) const;

 private:
  LevelRange range_;
  long first_ = 0;
  std::vector<double> hist_, back_mass_, fore_mass_;
  std::vector<double> arguments_;
  bool any_split_ = false;
};

}  // namespace pictor::kernels
