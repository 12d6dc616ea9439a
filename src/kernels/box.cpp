#include "kernels/box.h"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <vector>

#include "kernels/depth.h"
#include "kernels/lanes.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

using lanes::kLanes;
using lanes::Lanes;
using lanes::lanes_at;
using lanes::store_levels;
using lanes::whole_blocks;

// column_sums[j] += sign * level(row[j])
template <class T, int sign>
PICTOR_ALSO_FOR_AVX2
void add_row(const T* __restrict row, std::uint32_t* __restrict column_sums, std::ptrdiff_t size) {
  for (std::ptrdiff_t j = 0; j < size; ++j) column_sums[j] += static_cast<std::uint32_t>(sign) * working_level(row[j]);
}

// The rounded mean restored to 16 bits: round(sum / area) with no ties for an
// odd area is floor(t / area) with t = sum + (area - 1) / 2. The float
// quotient of t (below 2**24, exact) is within one of the integer one; one
// step on the exact remainder corrects it.
PICTOR_ALSO_FOR_AVX2
void write_means(const std::uint32_t* __restrict sums, std::uint16_t* __restrict out, std::ptrdiff_t size,
                 std::uint32_t area) {
  const auto half = static_cast<std::int32_t>((area - 1) / 2);
  const auto divisor = static_cast<std::int32_t>(area);
  const float reciprocal = 1.0f / static_cast<float>(area);
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const std::int32_t t = static_cast<std::int32_t>(sums[j]) + half;
    std::int32_t level = static_cast<std::int32_t>(static_cast<float>(t) * reciprocal);
    const std::int32_t remainder = t - level * divisor;
    level += (remainder >= divisor) - (remainder < 0);
    out[j] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
  }
}

// Wider windows: a running sum along the row.
void sum_windows_running(const std::uint32_t* framed, std::uint32_t* sums, std::ptrdiff_t cols,
                         std::ptrdiff_t channels, long width) {
  for (std::ptrdiff_t k = 0; k < channels; ++k) {
    std::uint32_t sum = 0;
    for (long c = 0; c < width; ++c) sum += framed[c * channels + k];
    sums[k] = sum;
    for (std::ptrdiff_t c = 1; c < cols; ++c) {
      sum += framed[(c + width - 1) * channels + k] - framed[(c - 1) * channels + k];
      sums[c * channels + k] = sum;
    }
  }
}

// Windows up to this side sum to at most 15 * 15 * 255 plus the rounding
// half, below 2**16: their sums stay in 16-bit lanes.
constexpr long kWidestSixteenBitBox = 15;

// round(sum / area) for an odd area (no ties) is floor(t / area) with
// t = sum + (area - 1) / 2, and that is (t * multiplier) >> shift when
// multiplier = ceil(2**shift / area) = (2**shift + excess) / area with
// excess * t < 2**shift: t * multiplier / 2**shift exceeds t / area by less
// than 1 / area, while t / area lies at least 1 / area below the next integer.
struct Divisor {
  std::uint32_t half;
  std::uint32_t multiplier;
  int shift;
};

constexpr int kWidestDivisorShift = 31;

// The divisor for every t up to 255 * area + half in 32-bit lanes
// (t * multiplier below 2**32), or none.
std::optional<Divisor> rounding_divisor(std::uint32_t area) {
  const std::uint32_t half = (area - 1) / 2;
  const std::uint64_t largest = 255ull * area + half;
  for (int shift = kWidestDivisorShift; shift >= 0; --shift) {
    const std::uint64_t power = 1ull << shift;
    const std::uint64_t multiplier = (power + area - 1) / area;
    const std::uint64_t excess = multiplier * area - power;
    if (multiplier * largest < (1ull << 32) && excess * largest < power) {
      return Divisor{half, static_cast<std::uint32_t>(multiplier), shift};
    }
  }
  return std::nullopt;
}

using Words = std::uint32_t __attribute__((vector_size(kLanes * sizeof(std::uint32_t))));

// The working levels of 16 samples of a row (a whole block), as lanes.
__attribute__((always_inline)) inline void load_levels(const std::uint8_t* row, Lanes& levels) {
  using UnalignedBytes = std::uint8_t __attribute__((vector_size(kLanes), aligned(1), may_alias));
  levels = __builtin_convertvector(*reinterpret_cast<const UnalignedBytes*>(row), Lanes);
}

__attribute__((always_inline)) inline void load_levels(const std::uint16_t* row, Lanes& levels) {
  levels = lanes_at(row) / static_cast<std::uint16_t>(kLevelsPer8BitStep);
}

// column_sums[j] += level(entering[j]) - level(leaving[j]); 16-bit sums wrap
// alike in any order and the window's total is exact.
template <class T>
PICTOR_ALSO_FOR_AVX2
void slide_column_sums(const T* __restrict entering, const T* __restrict leaving, std::uint16_t* __restrict sums,
                       std::ptrdiff_t size) {
  std::ptrdiff_t j = 0;
  for (; j + kLanes <= size; j += kLanes) {
    Lanes entering_levels, leaving_levels;
    load_levels(entering + j, entering_levels);
    load_levels(leaving + j, leaving_levels);
    lanes_at(sums + j) += entering_levels - leaving_levels;
  }
  for (; j < size; ++j) sums[j] = static_cast<std::uint16_t>(sums[j] + working_level(entering[j]) - working_level(leaving[j]));
}

template <class T>
PICTOR_ALSO_FOR_AVX2
void add_column_levels(const T* __restrict row, std::uint16_t* __restrict sums, std::ptrdiff_t size) {
  std::ptrdiff_t j = 0;
  for (; j + kLanes <= size; j += kLanes) {
    Lanes levels;
    load_levels(row + j, levels);
    lanes_at(sums + j) += levels;
  }
  for (; j < size; ++j) sums[j] = static_cast<std::uint16_t>(sums[j] + working_level(row[j]));
}

// The window sums of one row of framed column sums, block by block (16-bit
// lanes wrap alike in any order and the window's total is exact).
template <class Side>
__attribute__((always_inline)) inline void window_sum_at(const std::uint16_t* framed, std::ptrdiff_t step, Side side,
                                                         Lanes& sum) {
  const long ksize = side;
  sum = lanes_at(framed);
  for (long d = 1; d < ksize; ++d) sum += lanes_at(framed + d * step);
}

// One output row of rounded means restored to 16 bits, in one pass over
// blocks of lanes: window sum, division, restore.
template <class Side>
PICTOR_ALSO_FOR_AVX2
void write_window_means(const std::uint16_t* __restrict framed, std::uint16_t* __restrict out, std::ptrdiff_t size,
                        std::ptrdiff_t step, Divisor divisor, Side side) {
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Lanes sum;
    window_sum_at(framed + j, step, side, sum);
    const Words quotient = (__builtin_convertvector(sum + static_cast<std::uint16_t>(divisor.half), Words) * divisor.multiplier) >> divisor.shift;
    store_levels(__builtin_convertvector(quotient, Lanes), out + j, std::min(kLanes, size - j));
  }
}

// One row of window sums widened to 32 bits (whole blocks: `sums` has room).
template <class Side>
PICTOR_ALSO_FOR_AVX2
void write_window_sums(const std::uint16_t* __restrict framed, std::uint32_t* __restrict sums, std::ptrdiff_t size,
                       std::ptrdiff_t step, Side side) {
  using UnalignedWords = std::uint32_t __attribute__((vector_size(sizeof(Words)), aligned(4), may_alias));
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Lanes sum;
    window_sum_at(framed + j, step, side, sum);
    *reinterpret_cast<UnalignedWords*>(sums + j) = __builtin_convertvector(sum, Words);
  }
}

// Rows [begin, end) of window sums in 16-bit lanes: the column sums of the
// window's rows slide down one row at a time, framed by the reflected
// columns; each row's framed sums are handed to finish(row, framed).
template <class T, class Side, class Finish>
void box_rows_in_lanes(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                       std::ptrdiff_t begin, std::ptrdiff_t end, Side side, Finish finish) {
  const long ksize = side;
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  // Room for the last block's lanes beyond the frame.
  std::vector<std::uint16_t> framed(static_cast<std::size_t>(whole_blocks(stride) + 2 * radius * channels), 0);
  std::uint16_t* column_sums = framed.data() + radius * channels;
  const auto row_at = [&](std::ptrdiff_t r) { return src + reflect_101(r, rows) * stride; };
  for (std::ptrdiff_t r = begin - radius; r <= begin + radius; ++r) add_column_levels(row_at(r), column_sums, stride);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    if (r > begin) slide_column_sums(row_at(r + radius), row_at(r - radius - 1), column_sums, stride);
    reflect_into_frame(framed.data(), cols, channels, radius);
    finish(r, framed.data());
  }
}

// run(side) for the side given, with the narrow sides unrolled.
template <class Run>
void with_box_side(long ksize, Run&& run) {
  switch (ksize) {
    case 3: return run(std::integral_constant<long, 3>{});
    case 5: return run(std::integral_constant<long, 5>{});
    default: return run(ksize);
  }
}

}  // namespace

template <class T>
void box_sum_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels, long ksize,
                  std::ptrdiff_t begin, std::ptrdiff_t end, const BoxSumRowSink& finish) {
  const std::ptrdiff_t stride = cols * channels;
  if (ksize <= kWidestSixteenBitBox) {
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(whole_blocks(stride)));
    with_box_side(ksize, [&](auto side) {
      box_rows_in_lanes(src, rows, cols, channels, begin, end, side, [&](std::ptrdiff_t r, const std::uint16_t* framed) {
        write_window_sums(framed, sums.data(), stride, channels, side);
        finish(r, sums.data());
      });
    });
    return;
  }
  const std::ptrdiff_t radius = ksize / 2;
  // The vertical sums of the window's rows for each sample of a row, framed
  // by the reflected columns on either side.
  std::vector<std::uint32_t> framed(static_cast<std::size_t>((cols + 2 * radius) * channels), 0);
  std::uint32_t* column_sums = framed.data() + radius * channels;
  std::vector<std::uint32_t> window_sums(static_cast<std::size_t>(stride));
  const auto row_at = [&](std::ptrdiff_t r) { return src + reflect_101(r, rows) * stride; };
  for (std::ptrdiff_t r = begin - radius; r <= begin + radius; ++r) add_row<T, 1>(row_at(r), column_sums, stride);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    if (r > begin) {
      add_row<T, 1>(row_at(r + radius), column_sums, stride);
      add_row<T, -1>(row_at(r - radius - 1), column_sums, stride);
    }
    reflect_into_frame(framed.data(), cols, channels, radius);
    sum_windows_running(framed.data(), window_sums.data(), cols, channels, ksize);
    finish(r, window_sums.data());
  }
}

template <class T>
void box_mean_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const auto area = static_cast<std::uint32_t>(ksize * ksize);
  if (ksize <= kWidestSixteenBitBox) {
    if (const std::optional<Divisor> divisor = rounding_divisor(area)) {
      with_box_side(ksize, [&](auto side) {
        box_rows_in_lanes(src, rows, cols, channels, begin, end, side, [&](std::ptrdiff_t r, const std::uint16_t* framed) {
          write_window_means(framed, out + r * stride, stride, channels, *divisor, side);
        });
      });
      return;
    }
  }
  box_sum_rows(src, rows, cols, channels, ksize, begin, end, [&](std::ptrdiff_t r, const std::uint32_t* sums) {
    write_means(sums, out + r * stride, stride, area);
  });
}

template void box_sum_rows(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, long, std::ptrdiff_t,
                           std::ptrdiff_t, const BoxSumRowSink&);
template void box_sum_rows(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, long, std::ptrdiff_t,
                           std::ptrdiff_t, const BoxSumRowSink&);
template void box_mean_restored_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);
template void box_mean_restored_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);

}  // namespace pictor::kernels
