#include "kernels/median.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

// The working levels of one source row, framed by `radius` repeated pixels
// each side.
template <class T>
PICTOR_ALSO_FOR_AVX2
void frame_levels(const T* __restrict row, std::uint8_t* __restrict framed, std::ptrdiff_t cols,
                  std::ptrdiff_t channels, std::ptrdiff_t radius) {
  std::uint8_t* inside = framed + radius * channels;
  for (std::ptrdiff_t j = 0; j < cols * channels; ++j) inside[j] = working_level(row[j]);
  for (std::ptrdiff_t d = 1; d <= radius; ++d) {
    for (std::ptrdiff_t k = 0; k < channels; ++k) {
      inside[-d * channels + k] = inside[k];
      inside[(cols - 1 + d) * channels + k] = inside[(cols - 1) * channels + k];
    }
  }
}

// Median of 3 x 3: each column of three sorted, then the median of the
// columns' largest lows, middle middles and smallest highs.
PICTOR_ALSO_FOR_AVX2
void median3_row(const std::uint8_t* __restrict up, const std::uint8_t* __restrict here,
                 const std::uint8_t* __restrict down, std::uint16_t* __restrict out, std::ptrdiff_t size,
                 std::ptrdiff_t step) {
  const auto sort3 = [](std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t& low, std::uint8_t& mid,
                        std::uint8_t& high) {
    const std::uint8_t ab_low = std::min(a, b), ab_high = std::max(a, b);
    low = std::min(ab_low, c);
    const std::uint8_t rest = std::max(ab_low, c);
    mid = std::min(ab_high, rest);
    high = std::max(ab_high, rest);
  };
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    std::uint8_t low[3], mid[3], high[3];
    for (int d = 0; d < 3; ++d) {
      const std::ptrdiff_t at = j + d * step;
      sort3(up[at], here[at], down[at], low[d], mid[d], high[d]);
    }
    const std::uint8_t low_max = std::max(std::max(low[0], low[1]), low[2]);
    const std::uint8_t high_min = std::min(std::min(high[0], high[1]), high[2]);
    std::uint8_t a, median, c;
    sort3(mid[0], mid[1], mid[2], a, median, c);
    std::uint8_t x, result, z;
    sort3(low_max, median, high_min, x, result, z);
    out[j] = static_cast<std::uint16_t>(result * kLevelsPer8BitStep);
  }
}

template <class T>
void median3_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                  std::ptrdiff_t channels, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = (cols + 2) * channels;
  std::vector<std::uint8_t> framed(static_cast<std::size_t>(3 * framed_size));
  const auto slot = [&](std::ptrdiff_t r) { return framed.data() + ((r + 3) % 3) * framed_size; };
  const auto load = [&](std::ptrdiff_t r) {
    frame_levels(src + clamp_index(r, rows) * stride, slot(r), cols, channels, 1);
  };
  load(begin - 1);
  load(begin);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + 1);
    median3_row(slot(r - 1), slot(r), slot(r + 1), out + r * stride, stride, channels);
  }
}

// Median of 5 x 5 through sorted runs. Each framed row's runs of five
// neighbouring samples are sorted once, for the five output rows whose window
// holds the row; a window is then five sorted runs, and a selection network
// (Batcher's sorting networks of 5 and 13, cut down to what the median needs,
// without the compares the runs' order decides) picks its median from them: 114
// minimums and maximums per vector of outputs where a generic network of 25
// needs about 200 and the bit-by-bit selection 400.
namespace median5 {

constexpr long kSide = 5;
constexpr std::ptrdiff_t kLanes = 32;
using Bytes = std::uint8_t __attribute__((vector_size(kLanes)));
using UnalignedBytes = std::uint8_t __attribute__((vector_size(kLanes), aligned(1), may_alias));
using Words = std::uint16_t __attribute__((vector_size(kLanes * sizeof(std::uint16_t))));

enum Keep : std::uint8_t { kLow = 1, kHigh = 2, kBoth = 3 };

// Leaves the smaller value at `low` and the larger at `high`, each only
// where it is read later.
struct Comparator {
  std::uint8_t low, high;
  Keep keep;
};

constexpr Comparator kSortRun[] = {{0, 1, kBoth}, {2, 3, kBoth}, {0, 2, kBoth}, {1, 3, kBoth}, {1, 2, kBoth},
                                   {0, 4, kBoth}, {2, 4, kBoth}, {1, 2, kBoth}, {3, 4, kBoth}};

// Over the window's runs, value 5 * i + k the k-th smallest of row i: the
// rows' k-th smallest sorted (the window stays sorted both ways), the 13 that
// may still be the median then selected (the 6 with at least 13 values of
// the window known to be at or below them go, and the 6 at or above).
constexpr Comparator kMedianOfRuns[] = {
    {0, 5, kBoth},   {10, 15, kBoth}, {0, 10, kBoth},  {5, 15, kBoth},  {5, 10, kHigh},  {0, 20, kHigh},
    {10, 20, kHigh}, {15, 20, kBoth}, {1, 6, kBoth},   {11, 16, kBoth}, {1, 11, kBoth},  {6, 16, kBoth},
    {6, 11, kBoth},  {1, 21, kHigh},  {11, 21, kBoth}, {6, 11, kHigh},  {16, 21, kBoth}, {2, 7, kBoth},
    {12, 17, kBoth}, {2, 12, kBoth},  {7, 17, kBoth},  {7, 12, kBoth},  {2, 22, kHigh},  {12, 22, kBoth},
    {7, 12, kBoth},  {17, 22, kLow},  {3, 8, kBoth},   {13, 18, kBoth}, {3, 13, kBoth},  {8, 18, kLow},
    {8, 13, kBoth},  {3, 23, kBoth},  {13, 23, kLow},  {8, 13, kBoth},  {4, 9, kBoth},   {14, 19, kBoth},
    {4, 14, kBoth},  {9, 19, kLow},   {9, 14, kBoth},  {4, 24, kBoth},  {14, 24, kLow},  {9, 14, kLow},
    {21, 7, kBoth},  {13, 4, kBoth},  {15, 11, kBoth}, {20, 16, kBoth}, {7, 17, kLow},   {20, 11, kBoth},
    {7, 12, kBoth},  {8, 13, kBoth},  {15, 21, kBoth}, {20, 7, kBoth},  {11, 21, kBoth}, {16, 7, kBoth},
    {20, 11, kBoth}, {16, 21, kBoth}, {7, 12, kBoth},  {4, 9, kBoth},   {15, 3, kHigh},  {20, 8, kHigh},
    {11, 13, kHigh}, {16, 4, kLow},   {21, 9, kLow},   {21, 3, kHigh},  {7, 8, kLow},    {12, 13, kLow},
    {16, 7, kHigh},  {12, 3, kLow},   {7, 12, kHigh}};
constexpr int kMedianOfRunsAt = 12;

template <const auto& kNetwork, std::size_t... kSteps>
__attribute__((always_inline)) inline void apply_network(Bytes* values, std::index_sequence<kSteps...>) {
  const auto compare = [values](const Comparator& step) {
    const Bytes a = values[step.low], b = values[step.high];
    if (step.keep & kLow) values[step.low] = a < b ? a : b;
    if (step.keep & kHigh) values[step.high] = a < b ? b : a;
  };
  (compare(kNetwork[kSteps]), ...);
}

template <const auto& kNetwork>
__attribute__((always_inline)) inline void apply_network(Bytes* values) {
  apply_network<kNetwork>(values, std::make_index_sequence<std::size(kNetwork)>());
}

// The sorted runs of a framed row: rank k of the run starting at sample j at
// runs[k * slot + j].
PICTOR_ALSO_FOR_AVX512
void sort_runs(const std::uint8_t* __restrict framed, std::uint8_t* __restrict runs, std::ptrdiff_t size,
               std::ptrdiff_t step, std::ptrdiff_t slot) {
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Bytes run[kSide];
    for (long d = 0; d < kSide; ++d) run[d] = *reinterpret_cast<const UnalignedBytes*>(framed + j + d * step);
    apply_network<kSortRun>(run);
    for (long k = 0; k < kSide; ++k) *reinterpret_cast<UnalignedBytes*>(runs + k * slot + j) = run[k];
  }
}

// One output row from the sorted runs of its window's five rows, restored.
PICTOR_ALSO_FOR_AVX512
void median_of_runs(const std::uint8_t* const* window, std::uint16_t* __restrict out, std::ptrdiff_t size,
                    std::ptrdiff_t slot) {
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Bytes values[kSide * kSide];
    for (long i = 0; i < kSide; ++i) {
      for (long k = 0; k < kSide; ++k) {
        values[i * kSide + k] = *reinterpret_cast<const UnalignedBytes*>(window[i] + k * slot + j);
      }
    }
    apply_network<kMedianOfRuns>(values);
    const Words restored = __builtin_convertvector(values[kMedianOfRunsAt], Words) *
                           static_cast<std::uint16_t>(kLevelsPer8BitStep);
    const std::ptrdiff_t count = std::min(kLanes, size - j);
    std::memcpy(out + j, &restored, static_cast<std::size_t>(count) * sizeof(std::uint16_t));
  }
}

template <class T>
void restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
          std::ptrdiff_t begin, std::ptrdiff_t end) {
  constexpr std::ptrdiff_t radius = kSide / 2;
  const std::ptrdiff_t stride = cols * channels;
  // Slots an odd number of cache lines long, so that the 25 runs read
  // together fall in different cache sets.
  const std::ptrdiff_t slot = ((stride + 63) / 64 | 1) * 64;
  std::vector<std::uint8_t> framed(static_cast<std::size_t>((cols + 2 * radius) * channels + kLanes));
  std::vector<std::uint8_t> ring(static_cast<std::size_t>(kSide * kSide * slot));
  const auto runs_of = [&](std::ptrdiff_t s) { return ring.data() + ((s + kSide) % kSide) * kSide * slot; };
  const auto load = [&](std::ptrdiff_t s) {
    frame_levels(src + clamp_index(s, rows) * stride, framed.data(), cols, channels, radius);
    sort_runs(framed.data(), runs_of(s), stride, channels, slot);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) load(s);
  const std::uint8_t* window[kSide];
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + radius);
    for (long i = 0; i < kSide; ++i) window[i] = runs_of(r - radius + i);
    median_of_runs(window, out + r * stride, stride, slot);
  }
}

}  // namespace median5

// Median of the wide windows of 8-bit working levels through column
// histograms (after Perreault and Hebert): each framed column keeps the counts
// of its window rows' levels, per level (fine) and per 16 levels (coarse), and
// moves down a row with two updates of each. A window's coarse counts slide
// along the row (add the entering column, subtract the leaving one); its
// median's coarse bin is where their running sum passes the rank, and the
// fine counts of that bin alone, summed over the window's columns, give the
// level. The cost grows with the side, where the bit-by-bit selection's
// grows with the area. Counts stay below 256 up to kWidestMedian.
namespace column_histograms {

constexpr int kBins = 16;  // coarse bins, and fine levels per coarse bin
using Counts = std::uint8_t __attribute__((vector_size(kBins)));
using UnalignedCounts = std::uint8_t __attribute__((vector_size(kBins), aligned(1), may_alias));
static_assert(kWidestMedian * kWidestMedian < 256);

inline Counts counts_at(const std::uint8_t* at) { return *reinterpret_cast<const UnalignedCounts*>(at); }

// The running sums of 16 counts (each below 256 in total).
inline Counts running_sums(Counts counts) {
  const Counts zero = {};
  counts += __builtin_shufflevector(zero, counts, 0, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30);
  counts += __builtin_shufflevector(zero, counts, 0, 0, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29);
  counts += __builtin_shufflevector(zero, counts, 0, 0, 0, 0, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27);
  counts += __builtin_shufflevector(zero, counts, 0, 0, 0, 0, 0, 0, 0, 0, 16, 17, 18, 19, 20, 21, 22, 23);
  return counts;
}

// How many of the running sums are at most `limit`: the first bin whose
// running sum passes it.
inline int bins_within(Counts sums, std::uint8_t limit) {
  const Counts within = -reinterpret_cast<Counts>(sums <= limit);  // 1 per bin within
  std::uint64_t halves[2];
  std::memcpy(halves, &within, sizeof halves);
  constexpr std::uint64_t kByteSum = 0x0101010101010101;  // the top byte of the product sums the bytes
  return static_cast<int>(((halves[0] + halves[1]) * kByteSum) >> 56);
}

class Columns {
 public:
  explicit Columns(std::ptrdiff_t size)
      : fine_(static_cast<std::size_t>(size) * 256), coarse_(static_cast<std::size_t>(size) * kBins) {}

  void add(const std::uint8_t* levels, std::ptrdiff_t size) { update(levels, size, 1); }
  void remove(const std::uint8_t* levels, std::ptrdiff_t size) { update(levels, size, -1); }
  const std::uint8_t* fine(std::ptrdiff_t column) const { return fine_.data() + column * 256; }
  Counts coarse(std::ptrdiff_t column) const { return counts_at(coarse_.data() + column * kBins); }

 private:
  void update(const std::uint8_t* levels, std::ptrdiff_t size, int change) {
    for (std::ptrdiff_t f = 0; f < size; ++f) {
      fine_[static_cast<std::size_t>(f * 256 + levels[f])] += static_cast<std::uint8_t>(change);
      coarse_[static_cast<std::size_t>(f * kBins + levels[f] / kBins)] += static_cast<std::uint8_t>(change);
    }
  }
  std::vector<std::uint8_t> fine_;
  std::vector<std::uint8_t> coarse_;
};

// The fine counts of one coarse bin over a window, kept for the window where
// they were last needed and slid from there along the row (a median's bin
// seldom changes from one output to the next); summed afresh when the window
// has moved a whole side away.
struct FineWindow {
  Counts counts = {};
  std::ptrdiff_t at = -1;  // the window's first column, or -1: none yet
};

// One output row from the column histograms, restored: output sample j's
// window spans the framed columns j + d * step, d = 0 ... side - 1.
PICTOR_ALSO_FOR_AVX512
void median_row(const Columns& columns, std::uint16_t* out, std::ptrdiff_t cols, std::ptrdiff_t step, long side) {
  const auto rank = static_cast<std::uint8_t>(side * side / 2);
  FineWindow fine[kBins];
  for (std::ptrdiff_t channel = 0; channel < step; ++channel) {
    Counts window = {};
    for (long d = 0; d < side; ++d) window += columns.coarse(channel + d * step);
    for (FineWindow& bin_window : fine) bin_window.at = -1;
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
      const std::ptrdiff_t j = c * step + channel;
      const Counts coarse_sums = running_sums(window);
      const int bin = bins_within(coarse_sums, rank);
      const std::uint8_t below = bin == 0 ? 0 : coarse_sums[bin - 1];
      FineWindow& bin_window = fine[bin];
      const auto fine_counts = [&](std::ptrdiff_t column) { return counts_at(columns.fine(column) + bin * kBins); };
      if (bin_window.at < 0 || c - bin_window.at >= side) {
        bin_window.counts = Counts{};
        for (long d = 0; d < side; ++d) bin_window.counts += fine_counts(j + d * step);
      } else {
        for (std::ptrdiff_t t = bin_window.at; t < c; ++t) {
          bin_window.counts += fine_counts((t + side) * step + channel) - fine_counts(t * step + channel);
        }
      }
      bin_window.at = c;
      const int level = bin * kBins + bins_within(running_sums(bin_window.counts), static_cast<std::uint8_t>(rank - below));
      out[j] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
      if (c + 1 < cols) window += columns.coarse(j + side * step) - columns.coarse(j);
    }
  }
}

template <class T>
void restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                   std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = (cols + 2 * radius) * channels;
  std::vector<std::uint8_t> ring(static_cast<std::size_t>(ksize * framed_size));
  const auto slot = [&](std::ptrdiff_t s) { return ring.data() + (((s % ksize) + ksize) % ksize) * framed_size; };
  Columns columns(framed_size);
  for (std::ptrdiff_t s = begin - radius; s <= begin + radius; ++s) {
    frame_levels(src + clamp_index(s, rows) * stride, slot(s), cols, channels, radius);
    columns.add(slot(s), framed_size);
  }
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    if (r > begin) {
      columns.remove(slot(r - radius - 1), framed_size);
      frame_levels(src + clamp_index(r + radius, rows) * stride, slot(r + radius), cols, channels, radius);
      columns.add(slot(r + radius), framed_size);
    }
    median_row(columns, out + r * stride, cols, channels, ksize);
  }
}

}  // namespace column_histograms

// The wide windows hold levels with their top bit flipped, which orders them
// as signed numbers: one signed compare per sample. Levels are the 8-bit
// working levels or an image's own 16-bit levels; a block of neighbouring
// outputs fills one 32-byte vector either way.
constexpr std::size_t kBlockBytes = 32;

template <class Level>
struct Selection;

template <>
struct Selection<std::uint8_t> {
  using Block = std::uint8_t __attribute__((vector_size(kBlockBytes)));
  using SignedBlock = std::int8_t __attribute__((vector_size(kBlockBytes)));
  static std::uint8_t level(std::uint8_t sample) { return sample; }
  static std::uint8_t level(std::uint16_t sample) { return working_level(sample); }
  static std::uint16_t restored(std::uint8_t level) { return static_cast<std::uint16_t>(level * kLevelsPer8BitStep); }
};

template <>
struct Selection<std::uint16_t> {
  using Block = std::uint16_t __attribute__((vector_size(kBlockBytes)));
  using SignedBlock = std::int16_t __attribute__((vector_size(kBlockBytes)));
  static std::uint16_t level(std::uint16_t sample) { return sample; }
  static std::uint16_t restored(std::uint16_t level) { return level; }
};

template <class Level>
constexpr std::ptrdiff_t kSelectionBlock = kBlockBytes / sizeof(Level);

template <class Level>
constexpr Level kSignFlip = static_cast<Level>(1u << (8 * sizeof(Level) - 1));

// The flipped levels of one source row, framed by `radius` repeated pixels
// each side.
template <class Level, class T>
void frame_flipped_levels(const T* row, Level* framed, std::ptrdiff_t cols, std::ptrdiff_t channels,
                          std::ptrdiff_t radius) {
  for (std::ptrdiff_t c = -radius; c < cols + radius; ++c) {
    const T* pixel = row + clamp_index(c, cols) * channels;
    Level* to = framed + (c + radius) * channels;
    for (std::ptrdiff_t k = 0; k < channels; ++k) to[k] = Selection<Level>::level(pixel[k]) ^ kSignFlip<Level>;
  }
}

// The median found bit by bit, most significant first, for a block of
// neighbouring outputs at once: a candidate level keeps its bit when at most
// `rank` samples of the window lie below it. That leaves the largest level
// with at most `rank` samples below: the sample of that rank. One counting
// pass over the window per bit of the level, every one a compare and an add
// per sample for all the block's outputs together.
template <class Level, long kSide>
PICTOR_ALSO_FOR_AVX2
void select_median_block(const Level* const* window, std::ptrdiff_t step, std::ptrdiff_t at, Level* median) {
  using Block = typename Selection<Level>::Block;
  using SignedBlock = typename Selection<Level>::SignedBlock;
  constexpr Level rank = kSide * kSide / 2;
  Block level = {};
  for (unsigned bit = kSignFlip<Level>; bit != 0; bit >>= 1) {
    const Block candidate = level | static_cast<Level>(bit);
    const auto flipped_candidate = reinterpret_cast<SignedBlock>(candidate ^ kSignFlip<Level>);
    Block below = {};  // counts up to 225: unsigned
    for (long i = 0; i < kSide; ++i) {
      const Level* row = window[i] + at;
      SignedBlock row_below = {};  // minus the count of one row, at most kSide
      for (long c = 0; c < kSide; ++c) {
        SignedBlock samples;
        std::memcpy(&samples, row + c * step, sizeof samples);
        row_below += samples < flipped_candidate;  // true is all ones: -1
      }
      below -= reinterpret_cast<Block>(row_below);
    }
    level = below <= rank ? candidate : level;
  }
  std::memcpy(median, &level, sizeof level);
}

template <class Level>
using SelectMedianBlock = void (*)(const Level* const*, std::ptrdiff_t, std::ptrdiff_t, Level*);

// The block selection unrolled for each window side it takes.
template <class Level>
SelectMedianBlock<Level> median_block_selector(long ksize) {
  switch (ksize) {
    case 3: return select_median_block<Level, 3>;
    case 5: return select_median_block<Level, 5>;
    case 7: return select_median_block<Level, 7>;
    case 9: return select_median_block<Level, 9>;
    case 11: return select_median_block<Level, 11>;
    case 13: return select_median_block<Level, 13>;
    default: return select_median_block<Level, 15>;
  }
}

// Rows [begin, end) through select_median_block, each median restored to 16
// bits. The framed rows of the window sit in a ring, each with a block's
// slack at its end, so that the last block may read past the row.
template <class Level, class T>
void selection_median_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                           std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  constexpr std::ptrdiff_t block = kSelectionBlock<Level>;
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = (cols + 2 * radius) * channels + block;
  const SelectMedianBlock<Level> select_block = median_block_selector<Level>(ksize);
  std::vector<Level> ring(static_cast<std::size_t>(ksize * framed_size));
  std::vector<const Level*> window(static_cast<std::size_t>(ksize));
  const auto slot = [&](std::ptrdiff_t s) { return ring.data() + (((s % ksize) + ksize) % ksize) * framed_size; };
  const auto load = [&](std::ptrdiff_t s) {
    frame_flipped_levels(src + clamp_index(s, rows) * stride, slot(s), cols, channels, radius);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) load(s);
  Level median[block];
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + radius);
    for (long i = 0; i < ksize; ++i) window[static_cast<std::size_t>(i)] = slot(r - radius + i);
    std::uint16_t* row_out = out + r * stride;
    for (std::ptrdiff_t at = 0; at < stride; at += block) {
      select_block(window.data(), channels, at, median);
      const std::ptrdiff_t count = std::min(block, stride - at);
      for (std::ptrdiff_t l = 0; l < count; ++l) row_out[at + l] = Selection<Level>::restored(median[l]);
    }
  }
}

// A window's levels counted twice: per level (fine) and per 256 levels
// (coarse). The median is tracked as a level and the count of samples below
// it (Huang's method): moving the window one column changes both by little,
// so the level moves by little, a level at a time within a coarse bin and a
// whole bin at a time across empty stretches.
class LevelHistogram {
 public:
  static constexpr int kFineBits = 8;
  static constexpr int kBinLevels = 1 << kFineBits;
  static constexpr int kCoarseBins = 1 << (16 - kFineBits);

  explicit LevelHistogram(std::uint32_t rank) : fine_(std::size_t{1} << 16), rank_(rank) {}

  void add(std::uint16_t level) {
    ++fine_[level];
    ++coarse_[level >> kFineBits];
    below_ += level < level_;
  }
  void remove(std::uint16_t level) {
    --fine_[level];
    --coarse_[level >> kFineBits];
    below_ -= level < level_;
  }
  // The level with at most `rank` samples below and more up to itself.
  std::uint16_t median() {
    while (below_ > rank_) {
      const int bin = level_ >> kFineBits;
      if ((level_ & (kBinLevels - 1)) == 0 && below_ - coarse_[bin - 1] > rank_) {
        below_ -= coarse_[bin - 1];
        level_ -= kBinLevels;
      } else {
        below_ -= fine_[static_cast<std::size_t>(--level_)];
      }
    }
    while (below_ + fine_[static_cast<std::size_t>(level_)] <= rank_) {
      const int bin = level_ >> kFineBits;
      if ((level_ & (kBinLevels - 1)) == 0 && below_ + coarse_[bin] <= rank_) {
        below_ += coarse_[bin];
        level_ += kBinLevels;
      } else {
        below_ += fine_[static_cast<std::size_t>(level_++)];
      }
    }
    return static_cast<std::uint16_t>(level_);
  }

 private:
  std::vector<std::uint32_t> fine_;
  std::uint32_t coarse_[kCoarseBins] = {};
  std::uint32_t rank_;
  int level_ = 0;
  std::uint32_t below_ = 0;  // samples below level_
};

// Rows [begin, end) by a histogram sliding along each row (Huang's method,
// two-level), one channel at a time; the window's rows are the clamped source
// rows, its columns clamped at the ends.
void histogram_median_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                           std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const auto rank = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ksize) * static_cast<std::uint64_t>(ksize) / 2);
  LevelHistogram histogram(rank);
  std::vector<const std::uint16_t*> window(static_cast<std::size_t>(ksize));
  for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
    for (std::ptrdiff_t r = begin; r < end; ++r) {
      for (long i = 0; i < ksize; ++i) {
        window[static_cast<std::size_t>(i)] = src + clamp_index(r - radius + i, rows) * stride + channel;
      }
      const auto column = [&](std::ptrdiff_t c, auto&& visit) {
        const std::ptrdiff_t at = clamp_index(c, cols) * channels;
        for (const std::uint16_t* row : window) visit(row[at]);
      };
      const auto add = [&](std::uint16_t level) { histogram.add(level); };
      const auto remove = [&](std::uint16_t level) { histogram.remove(level); };
      for (std::ptrdiff_t c = -radius; c <= radius; ++c) column(c, add);
      std::uint16_t* row_out = out + r * stride + channel;
      for (std::ptrdiff_t c = 0; c < cols; ++c) {
        row_out[c * channels] = histogram.median();
        column(c - radius, remove);
        column(c + radius + 1, add);
      }
      for (std::ptrdiff_t c = cols - radius; c <= cols + radius; ++c) column(c, remove);
    }
  }
}

}  // namespace

bool fused_median_takes(long ksize) {
  return ksize == 3 || ksize == 5 ||
         (ksize % 2 == 1 && ksize >= kNarrowestSelectionMedian && ksize <= kWidestMedian);
}

template <class T>
void median_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  if (ksize == 3) return median3_rows(src, out, rows, cols, channels, begin, end);
  if (ksize == 5) return median5::restored_rows(src, out, rows, cols, channels, begin, end);
  if (ksize >= kNarrowestHistogramMedian) {
    return column_histograms::restored_rows(src, out, rows, cols, channels, ksize, begin, end);
  }
  selection_median_rows<std::uint8_t>(src, out, rows, cols, channels, ksize, begin, end);
}

template void median_restored_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);
template void median_restored_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);

void median_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                       std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  if (ksize <= kWidestSelectedLevelMedian) {
    return selection_median_rows<std::uint16_t>(src, out, rows, cols, channels, ksize, begin, end);
  }
  histogram_median_rows(src, out, rows, cols, channels, ksize, begin, end);
}

}  // namespace pictor::kernels
