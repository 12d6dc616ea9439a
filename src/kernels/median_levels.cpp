#include "kernels/median_levels.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

// Levels with their top bit flipped order as signed 16-bit numbers: one
// signed compare per sample.
constexpr std::uint16_t kSignFlip = 0x8000;

// One source row's flipped levels, framed by `radius` repeated pixels each side.
void frame_flipped(const std::uint16_t* row, std::uint16_t* framed, std::ptrdiff_t cols, std::ptrdiff_t channels,
                   std::ptrdiff_t radius) {
  for (std::ptrdiff_t c = -radius; c < cols + radius; ++c) {
    const std::uint16_t* pixel = row + clamp_index(c, cols) * channels;
    std::uint16_t* to = framed + (c + radius) * channels;
    for (std::ptrdiff_t k = 0; k < channels; ++k) to[k] = pixel[k] ^ kSignFlip;
  }
}

// The median found bit by bit, most significant first, for a block of
// neighbouring outputs at once: a candidate level keeps its bit when at most
// `rank` samples of the window lie below it, which leaves the sample of that
// rank. Sixteen counting passes, each a compare and an add per sample for the
// whole block.
constexpr std::ptrdiff_t kSelectionBlock = 16;
using LevelBlock = std::uint16_t __attribute__((vector_size(2 * kSelectionBlock)));
using SignedBlock = std::int16_t __attribute__((vector_size(2 * kSelectionBlock)));

template <long kSide>
PICTOR_ALSO_FOR_AVX2
void select_median_block(const std::uint16_t* const* window, std::ptrdiff_t step, std::ptrdiff_t at,
                         std::uint16_t* median) {
  constexpr std::uint16_t rank = kSide * kSide / 2;
  LevelBlock level = {};
  for (unsigned bit = 0x8000; bit != 0; bit >>= 1) {
    const LevelBlock candidate = level | static_cast<std::uint16_t>(bit);
    const auto flipped_candidate = reinterpret_cast<SignedBlock>(candidate ^ kSignFlip);
    SignedBlock below = {};  // minus the count below, at most 225
    for (long i = 0; i < kSide; ++i) {
      const std::uint16_t* row = window[i] + at;
      for (long c = 0; c < kSide; ++c) {
        SignedBlock samples;
        std::memcpy(&samples, row + c * step, sizeof samples);
        below += samples < flipped_candidate;  // true is all ones: -1
      }
    }
    level = reinterpret_cast<LevelBlock>(-below) <= rank ? candidate : level;
  }
  std::memcpy(median, &level, sizeof level);
}

using SelectMedianBlock = void (*)(const std::uint16_t* const*, std::ptrdiff_t, std::ptrdiff_t, std::uint16_t*);

SelectMedianBlock median_block_selector(long ksize) {
  switch (ksize) {
    case 3: return select_median_block<3>;
    case 5: return select_median_block<5>;
    case 7: return select_median_block<7>;
    case 9: return select_median_block<9>;
    case 11: return select_median_block<11>;
    case 13: return select_median_block<13>;
    default: return select_median_block<15>;
  }
}

// Rows [begin, end) through select_median_block. The framed rows of the
// window sit in a ring, each with a block's slack at its end, so that the
// last block may read past the row.
void selection_median_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                           std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = (cols + 2 * radius) * channels + kSelectionBlock;
  const SelectMedianBlock select_block = median_block_selector(ksize);
  std::vector<std::uint16_t> ring(static_cast<std::size_t>(ksize * framed_size));
  std::vector<const std::uint16_t*> window(static_cast<std::size_t>(ksize));
  const auto slot = [&](std::ptrdiff_t s) { return ring.data() + (((s % ksize) + ksize) % ksize) * framed_size; };
  const auto load = [&](std::ptrdiff_t s) {
    frame_flipped(src + clamp_index(s, rows) * stride, slot(s), cols, channels, radius);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) load(s);
  std::uint16_t median[kSelectionBlock];
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + radius);
    for (long i = 0; i < ksize; ++i) window[static_cast<std::size_t>(i)] = slot(r - radius + i);
    std::uint16_t* row_out = out + r * stride;
    for (std::ptrdiff_t at = 0; at < stride; at += kSelectionBlock) {
      select_block(window.data(), channels, at, median);
      const std::ptrdiff_t count = std::min(kSelectionBlock, stride - at);
      std::memcpy(row_out + at, median, static_cast<std::size_t>(count) * sizeof median[0]);
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

void median_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                       std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  if (ksize <= kWidestSelectedLevelMedian) return selection_median_rows(src, out, rows, cols, channels, ksize, begin, end);
  histogram_median_rows(src, out, rows, cols, channels, ksize, begin, end);
}

}  // namespace pictor::kernels
