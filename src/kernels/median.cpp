#include "kernels/median.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

// The working levels of one source row, framed by one repeated pixel each side.
template <class T>
PICTOR_ALSO_FOR_AVX2
void frame_levels(const T* __restrict row, std::uint8_t* __restrict framed, std::ptrdiff_t cols,
                  std::ptrdiff_t channels) {
  std::uint8_t* inside = framed + channels;
  for (std::ptrdiff_t j = 0; j < cols * channels; ++j) inside[j] = working_level(row[j]);
  for (std::ptrdiff_t k = 0; k < channels; ++k) {
    framed[k] = inside[k];
    inside[cols * channels + k] = inside[(cols - 1) * channels + k];
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
  const auto load = [&](std::ptrdiff_t r) { frame_levels(src + clamp_index(r, rows) * stride, slot(r), cols, channels); };
  load(begin - 1);
  load(begin);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + 1);
    median3_row(slot(r - 1), slot(r), slot(r + 1), out + r * stride, stride, channels);
  }
}

// The wide windows hold levels with their top bit flipped, which orders them
// as signed bytes: one signed compare per sample.
constexpr std::uint8_t kSignFlip = 0x80;

// The flipped working levels of one source row, framed by `radius` repeated
// pixels each side.
template <class T>
void frame_flipped_levels(const T* row, std::uint8_t* framed, std::ptrdiff_t cols, std::ptrdiff_t channels,
                          std::ptrdiff_t radius) {
  for (std::ptrdiff_t c = -radius; c < cols + radius; ++c) {
    const T* pixel = row + clamp_index(c, cols) * channels;
    std::uint8_t* to = framed + (c + radius) * channels;
    for (std::ptrdiff_t k = 0; k < channels; ++k) to[k] = working_level(pixel[k]) ^ kSignFlip;
  }
}

// The median found bit by bit, most significant first, for a block of
// kSelectionBlock neighbouring outputs at once: a candidate level keeps its
// bit when at most `rank` samples of the window lie below it. That leaves the
// largest level with at most `rank` samples below: the sample of that rank.
// Eight counting passes over the window, every one a compare and an add per
// sample for all the block's outputs together.
constexpr std::ptrdiff_t kSelectionBlock = 32;
using LevelBlock = std::uint8_t __attribute__((vector_size(kSelectionBlock)));
using SignedBlock = std::int8_t __attribute__((vector_size(kSelectionBlock)));

template <long kSide>
PICTOR_ALSO_FOR_AVX2
void select_median_block(const std::uint8_t* const* window, std::ptrdiff_t step, std::ptrdiff_t at,
                         std::uint8_t* median) {
  constexpr std::uint8_t rank = kSide * kSide / 2;
  LevelBlock level = {};
  for (int bit = 128; bit != 0; bit >>= 1) {
    const LevelBlock candidate = level | static_cast<std::uint8_t>(bit);
    const auto flipped_candidate = reinterpret_cast<SignedBlock>(candidate ^ kSignFlip);
    LevelBlock below = {};  // counts up to 225: unsigned bytes
    for (long i = 0; i < kSide; ++i) {
      const std::uint8_t* row = window[i] + at;
      SignedBlock row_below = {};  // minus the count of one row, at most kSide
      for (long c = 0; c < kSide; ++c) {
        SignedBlock samples;
        std::memcpy(&samples, row + c * step, sizeof samples);
        row_below += samples < flipped_candidate;  // true is all ones: -1
      }
      below -= reinterpret_cast<LevelBlock>(row_below);
    }
    level = below <= rank ? candidate : level;
  }
  std::memcpy(median, &level, sizeof level);
}

using SelectMedianBlock = void (*)(const std::uint8_t* const*, std::ptrdiff_t, std::ptrdiff_t, std::uint8_t*);

// The block selection unrolled for a window side the fused median takes.
SelectMedianBlock median_block_selector(long ksize) {
  switch (ksize) {
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
template <class T>
void selection_median_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                           std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t framed_size = (cols + 2 * radius) * channels + kSelectionBlock;
  const SelectMedianBlock select_block = median_block_selector(ksize);
  std::vector<std::uint8_t> ring(static_cast<std::size_t>(ksize * framed_size));
  std::vector<const std::uint8_t*> window(static_cast<std::size_t>(ksize));
  const auto slot = [&](std::ptrdiff_t s) { return ring.data() + (((s % ksize) + ksize) % ksize) * framed_size; };
  const auto load = [&](std::ptrdiff_t s) {
    frame_flipped_levels(src + clamp_index(s, rows) * stride, slot(s), cols, channels, radius);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) load(s);
  std::uint8_t median[kSelectionBlock];
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    load(r + radius);
    for (long i = 0; i < ksize; ++i) window[static_cast<std::size_t>(i)] = slot(r - radius + i);
    std::uint16_t* row_out = out + r * stride;
    for (std::ptrdiff_t at = 0; at < stride; at += kSelectionBlock) {
      select_block(window.data(), channels, at, median);
      const std::ptrdiff_t count = std::min(kSelectionBlock, stride - at);
      for (std::ptrdiff_t l = 0; l < count; ++l) row_out[at + l] = static_cast<std::uint16_t>(median[l] * kLevelsPer8BitStep);
    }
  }
}

}  // namespace

bool fused_median_takes(long ksize) {
  return ksize == 3 || (ksize % 2 == 1 && ksize >= kNarrowestSelectionMedian && ksize <= kWidestMedian);
}

template <class T>
void median_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  if (ksize == 3) return median3_rows(src, out, rows, cols, channels, begin, end);
  selection_median_rows(src, out, rows, cols, channels, ksize, begin, end);
}

template void median_restored_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);
template void median_restored_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                   std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);

}  // namespace pictor::kernels
