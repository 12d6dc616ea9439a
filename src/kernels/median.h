// The median filter, as cv2.medianBlur gives it, at two depths: of the 8-bit
// working copy, fused with the working copy (w = x for 8-bit samples, x / 257
// for 16-bit ones) and the 16-bit restore (257 * w); and of an image's own
// 16-bit levels, for any odd side. A median of integers has one answer,
// whatever the method; borders repeat the edge sample, as OpenCV's median does.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// The window sides the fused median takes: 3 and 5 (through selection
// networks), from kNarrowestSelectionMedian up to kNarrowestHistogramMedian
// (bit by bit, a block of outputs per vector, at a cost that grows with the
// window's area) and from there to kWidestMedian (column histograms, a cost
// that grows with the side). Wider windows stay with OpenCV.
constexpr long kNarrowestSelectionMedian = 7;
// From this side on, the fused median counts levels in column histograms.
constexpr long kNarrowestHistogramMedian = 15;
constexpr long kWidestMedian = 15;

bool fused_median_takes(long ksize);

// Rows [begin, end) of the restored median of a rows x cols image of
// `channels` interleaved samples (C order, rows, cols >= 1), for a ksize that
// fused_median_takes. Throws std::bad_alloc when its row buffers cannot be had.
template <class T>
void median_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end);

// Up to this side the 16-bit median is selected bit by bit for a block of
// outputs at once (cost grows with the window's area); wider windows slide a
// two-level histogram along each row (cost grows with the side).
constexpr long kWidestSelectedLevelMedian = 15;

// Rows [begin, end) of the median of the 16-bit levels of a rows x cols image
// of `channels` interleaved samples (C order, rows, cols >= 1), for an odd
// ksize >= 3. Throws std::bad_alloc when its buffers cannot be had.
void median_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                       std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end);

}  // namespace pictor::kernels
