#include "kernels/gauss.h"

#include <algorithm>
#include <cstring>
#include <functional>
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
using lanes::ring_slot_length;
using lanes::store_levels;
using lanes::whole_blocks;

// The row pass: every sum is at most 255 * 256, so 16 bits hold it (the
// partial sums may wrap; the total is exact). The weights are symmetric, so
// the two samples at equal distance from the centre share one product. The
// sum goes out in two halves, its high and its low byte, so that the column
// pass can stay in 16 bits too.
template <class Side>
PICTOR_ALSO_FOR_AVX2
void weigh_along_row(const std::uint16_t* __restrict framed, std::uint16_t* __restrict high,
                     std::uint16_t* __restrict low, std::ptrdiff_t size, std::ptrdiff_t step,
                     const std::uint16_t* weights, Side side) {
  const long ksize = side;
  const long radius = ksize / 2;
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Lanes sum = weights[radius] * lanes_at(framed + j + radius * step);
    for (long i = 0; i < radius; ++i) {
      sum += weights[i] * (lanes_at(framed + j + i * step) + lanes_at(framed + j + (ksize - 1 - i) * step));
    }
    lanes_at(high + j) = sum >> 8;
    lanes_at(low + j) = sum & 0xff;
  }
}

// The column pass. OpenCV's exact sum S = sum_i c_i * row_i (row_i = 256 h_i
// + l_i) is 256 A + B with A = sum_i c_i h_i and B = sum_i c_i l_i, each at
// most 255 * 256; the result round(S / 65536) = (S + 2^15) >> 16 is then
// (A + (B >> 8) + 128) >> 8, below 2^16 all the way.
//
// Wide windows take their rows one after another over a stretch of columns
// whose sums stay in L1: summing all rows per block of lanes would read from
// as many rows at once as the window is high, which the prefetchers cannot
// follow. Sixteen-bit sums wrap alike in any order.
constexpr std::ptrdiff_t kStretchBlocks = 32;
constexpr long kNarrowestStretchedSide = 11;

// Adds kPairs pairs of rows, from pair `first` on, to the sums of the
// `blocks` blocks of lanes from column `start`.
template <int kPairs>
__attribute__((always_inline)) inline void add_row_pairs(const std::uint16_t* const* high,
                                                         const std::uint16_t* const* low,
                                                         const std::uint16_t* weights, long ksize, long first,
                                                         std::ptrdiff_t start, std::ptrdiff_t blocks, Lanes* a,
                                                         Lanes* b) {
  for (std::ptrdiff_t q = 0; q < blocks; ++q) {
    const std::ptrdiff_t j = start + q * kLanes;
    Lanes sum_high = a[q];
    Lanes sum_low = b[q];
    for (int p = 0; p < kPairs; ++p) {
      const long top = first + p;
      const long bottom = ksize - 1 - top;
      sum_high += weights[top] * (lanes_at(high[top] + j) + lanes_at(high[bottom] + j));
      sum_low += weights[top] * (lanes_at(low[top] + j) + lanes_at(low[bottom] + j));
    }
    a[q] = sum_high;
    b[q] = sum_low;
  }
}

template <class Side, class Out>
PICTOR_ALSO_FOR_AVX2
void weigh_many_rows(const std::uint16_t* const* high, const std::uint16_t* const* low, const std::uint16_t* weights,
                     Out* __restrict out, std::ptrdiff_t size, Side side) {
  const long ksize = side;
  const long radius = ksize / 2;
  Lanes a[kStretchBlocks];
  Lanes b[kStretchBlocks];
  for (std::ptrdiff_t start = 0; start < size; start += kStretchBlocks * kLanes) {
    const std::ptrdiff_t blocks = std::min(kStretchBlocks, (size - start + kLanes - 1) / kLanes);
    for (std::ptrdiff_t q = 0; q < blocks; ++q) {
      a[q] = weights[radius] * lanes_at(high[radius] + start + q * kLanes);
      b[q] = weights[radius] * lanes_at(low[radius] + start + q * kLanes);
    }
    // Four pairs of rows at a time: a quarter of the passes over the sums.
    for (long i = 0; i < radius; i += 4) {
      switch (std::min(4L, radius - i)) {
        case 4: add_row_pairs<4>(high, low, weights, ksize, i, start, blocks, a, b); break;
        case 3: add_row_pairs<3>(high, low, weights, ksize, i, start, blocks, a, b); break;
        case 2: add_row_pairs<2>(high, low, weights, ksize, i, start, blocks, a, b); break;
        default: add_row_pairs<1>(high, low, weights, ksize, i, start, blocks, a, b); break;
      }
    }
    for (std::ptrdiff_t q = 0; q < blocks; ++q) {
      const std::ptrdiff_t j = start + q * kLanes;
      store_levels((a[q] + (b[q] >> 8) + 128) >> 8, out + j, std::min(kLanes, size - j));
    }
  }
}

template <class Side, class Out>
PICTOR_ALSO_FOR_AVX2
void weigh_rows(const std::uint16_t* const* high, const std::uint16_t* const* low, const std::uint16_t* weights,
                Out* __restrict out, std::ptrdiff_t size, Side side) {
  const long ksize = side;
  const long radius = ksize / 2;
  if (ksize >= kNarrowestStretchedSide) {
    weigh_many_rows(high, low, weights, out, size, side);
    return;
  }
  for (std::ptrdiff_t j = 0; j < size; j += kLanes) {
    Lanes a = weights[radius] * lanes_at(high[radius] + j);
    Lanes b = weights[radius] * lanes_at(low[radius] + j);
    for (long i = 0; i < radius; ++i) {
      a += weights[i] * (lanes_at(high[i] + j) + lanes_at(high[ksize - 1 - i] + j));
      b += weights[i] * (lanes_at(low[i] + j) + lanes_at(low[ksize - 1 - i] + j));
    }
    store_levels((a + (b >> 8) + 128) >> 8, out + j, std::min(kLanes, size - j));
  }
}

// Rows [begin, end) of the blur: row r is written to destination(r), then
// handed to finish(r, destination(r)).
template <class T, class Out, class Side, class Destination, class Finish>
void blur_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                   const std::uint16_t* weights, std::ptrdiff_t begin, std::ptrdiff_t end, Side side,
                   Destination destination, Finish finish) {
  const long ksize = side;
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  const std::ptrdiff_t padded = ring_slot_length(stride);  // room for the last block's lanes
  std::vector<std::uint16_t> framed(static_cast<std::size_t>(padded + 2 * radius * channels));
  // The two halves of the row-filtered source rows of the window, each in a
  // ring: source row s sits in slot s mod ksize.
  std::vector<std::uint16_t> high_ring(static_cast<std::size_t>(ksize * padded));
  std::vector<std::uint16_t> low_ring(static_cast<std::size_t>(ksize * padded));
  std::vector<const std::uint16_t*> high(static_cast<std::size_t>(ksize));
  std::vector<const std::uint16_t*> low(static_cast<std::size_t>(ksize));
  const auto slot = [&](std::ptrdiff_t s) { return (((s % ksize) + ksize) % ksize) * padded; };
  const auto filter_row = [&](std::ptrdiff_t s) {
    frame_reflected_levels(src + reflect_101(s, rows) * stride, framed.data(), cols, channels, radius);
    weigh_along_row(framed.data(), high_ring.data() + slot(s), low_ring.data() + slot(s), stride, channels, weights,
                    side);
  };
  for (std::ptrdiff_t s = begin - radius; s < begin + radius; ++s) filter_row(s);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    filter_row(r + radius);
    for (long i = 0; i < ksize; ++i) {
      high[i] = high_ring.data() + slot(r - radius + i);
      low[i] = low_ring.data() + slot(r - radius + i);
    }
    Out* row = destination(r);
    weigh_rows(high.data(), low.data(), weights, row, stride, side);
    finish(r, row);
  }
}

// run(side) for the side given, with the common sides unrolled.
template <class Run>
void with_side(long ksize, Run&& run) {
  switch (ksize) {
    case 3: return run(std::integral_constant<long, 3>{});
    case 5: return run(std::integral_constant<long, 5>{});
    case 7: return run(std::integral_constant<long, 7>{});
    case 9: return run(std::integral_constant<long, 9>{});
    case 11: return run(std::integral_constant<long, 11>{});
    case 13: return run(std::integral_constant<long, 13>{});
    case 15: return run(std::integral_constant<long, 15>{});
    default: return run(ksize);
  }
}

}  // namespace

template <class T, class Out>
void gaussian_rows(const T* src, Out* out, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                   const std::uint32_t* weights, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::vector<std::uint16_t> weights16(weights, weights + ksize);
  const std::ptrdiff_t stride = cols * channels;
  with_side(ksize, [&](auto side) {
    blur_rows<T, Out>(
        src, rows, cols, channels, weights16.data(), begin, end, side, [&](std::ptrdiff_t r) { return out + r * stride; },
        [](std::ptrdiff_t, const Out*) {});
  });
}

template <class T>
void gaussian_level_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                         const std::uint32_t* weights, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end,
                         const LevelRowSink& finish) {
  const std::vector<std::uint16_t> weights16(weights, weights + ksize);
  std::vector<std::uint8_t> levels(static_cast<std::size_t>(whole_blocks(cols * channels)));
  with_side(ksize, [&](auto side) {
    blur_rows<T, std::uint8_t>(
        src, rows, cols, channels, weights16.data(), begin, end, side, [&](std::ptrdiff_t) { return levels.data(); },
        finish);
  });
}

template void gaussian_rows(const std::uint8_t*, std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                            const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);
template void gaussian_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                            const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);
template void gaussian_rows(const std::uint16_t*, std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                            const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);
template void gaussian_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                            const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t);

template void gaussian_level_rows(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                                  const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t, const LevelRowSink&);
template void gaussian_level_rows(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                                  const std::uint32_t*, long, std::ptrdiff_t, std::ptrdiff_t, const LevelRowSink&);

}  // namespace pictor::kernels
