// Gaussian, uniform (mean) and median filters over N-D arrays, each value
// equal to scipy.ndimage's for the same arguments.
//
// The separable filters run one axis at a time, as scipy.ndimage does: every
// pass reads its input as float64, accumulates in float64 in scipy's order and
// casts to the array's own element type (truncating towards zero for
// integers) before the next pass reads it. A pass along an axis other than the
// last works on a block of neighbouring lines at once, so the loops over the
// contiguous samples vectorise; each line's arithmetic is that of one line.
//
// Beyond an array's end, an axis is extended as scipy's modes extend it:
//   reflect  d c b a | a b c d | d c b a   (period 2n)
//   mirror     d c b | a b c d | c b a     (period 2n - 2)
//   nearest  a a a a | a b c d | d d d d
//   wrap     a b c d | a b c d | a b c d
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pictor::kernels {

enum class Extension { Reflect, Mirror, Nearest, Wrap };

// The index in [0, length) that position `position` (any integer) reads.
std::ptrdiff_t extended_index(std::ptrdiff_t position, std::ptrdiff_t length, Extension mode);

// An axis of a C-contiguous array seen as `outer` runs of `length` steps of
// `inner` contiguous samples.
struct AxisLayout {
  std::ptrdiff_t outer, length, inner;
};

// dst = src correlated along the axis with the odd-length symmetric weights
// (weights[radius] the centre), accumulated as centre * w[0] then the pairs
// (left + right) * w[j] from the outermost pair inwards. src and dst may not overlap.
template <class T>
void correlate_symmetric_axis(const T* src, T* dst, AxisLayout layout, const double* weights, std::ptrdiff_t radius,
                              Extension mode, int threads);

// dst = the mean of `size` samples along the axis (window [i - size/2,
// i + size - size/2 - 1]) as scipy's running sum gives it: the first window
// summed in order, then (entering - leaving) added per step; each output is
// the running sum divided by size.
template <class T>
void uniform_axis(const T* src, T* dst, AxisLayout layout, std::ptrdiff_t size, Extension mode, int threads);

// A selection network: the comparators of a sorting network over `inputs`
// wires kept only where they reach wire `rank` (the rank-th smallest).
struct NetworkStep {
  std::uint16_t low, high;  // wires; low receives the minimum, high the maximum
  std::uint8_t kind;        // 0: both, 1: the minimum only, 2: the maximum only
};
std::vector<NetworkStep> selection_network(int inputs, int rank);

// dst = the median (the (n / 2)-th smallest of the n samples of the window,
// counted from 0) of every sample of `batch` volumes of depth x rows x cols,
// over a window of sizes[0] x sizes[1] x sizes[2] (window [i - s/2, i + s - s/2 - 1]
// along each axis), the axes extended by modes[0..2].
template <class T>
void median_volumes(const T* src, T* dst, std::ptrdiff_t batch, const std::ptrdiff_t shape[3],
                    const std::ptrdiff_t sizes[3], const Extension modes[3], int threads);

}  // namespace pictor::kernels
