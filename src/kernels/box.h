// The normalised box filter of the 8-bit working copy, as cv2.blur gives it
// for 8-bit images, fused with the working copy (w = x for 8-bit samples,
// x / 257 for 16-bit ones) and the 16-bit restore (257 * w): one pass reads
// the source and writes the result.
//
// The window sum of 8-bit levels is an exact integer, and OpenCV rounds the
// mean to the nearest integer (an odd window area has no ties); borders are
// reflected without repeating the edge sample, folding back as often as a
// window wider than the image needs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace pictor::kernels {

// The widest window the fused filter takes. OpenCV may scale large windows'
// sums in float32 (relative error up to 2**-23, so up to 3.1e-5 on a mean of
// at most 255); a mean is never closer than 1 / (2 * area) to a rounding
// boundary, which stays beyond that error up to an area of 16448: 127 x 127.
constexpr long kWidestBox = 127;

// Rows [begin, end) of the restored box mean of a rows x cols image of
// `channels` interleaved samples (C order, rows, cols >= 1), for an odd
// ksize in [1, kWidestBox]. Throws std::bad_alloc when its row buffers
// cannot be had.
template <class T>
void box_mean_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end);

// The exact window sums of the working levels for rows [begin, end) of the
// same images, each row's handed to finish(row, sums) as soon as it is formed.
using BoxSumRowSink = std::function<void(std::ptrdiff_t row, const std::uint32_t* sums)>;

template <class T>
void box_sum_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels, long ksize,
                  std::ptrdiff_t begin, std::ptrdiff_t end, const BoxSumRowSink& finish);

}  // namespace pictor::kernels
