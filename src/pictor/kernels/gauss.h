// OpenCV's bit-exact Gaussian blur of 8-bit images, fused with the working
// copy (w = x for 8-bit samples, x / 257 for 16-bit ones) and the 16-bit
// restore (257 * w): one pass reads the source and writes the result.
//
// For 8-bit images OpenCV filters in fixed point: weights with 8 fraction
// bits summing to exactly 256, the row pass sum_i c_i * w (exact in 16 bits),
// the column pass sum_j c_j * row_j (exact in 32 bits), and the result
// rounded half up from 16 fraction bits. Integer arithmetic throughout, so
// any order gives its bytes; borders are reflected without repeating the
// edge sample.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// The widest kernel the fused filter takes.
constexpr long kWidestGaussian = 15;

// Rows [begin, end) of the restored blur of a rows x cols image of `channels`
// interleaved samples (C order, rows, cols >= 1), with the `ksize` (odd, in
// [3, kWidestGaussian]) weights given for both directions. Throws
// std::bad_alloc when its row buffers cannot be had.
template <class T>
void gaussian_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, const std::uint32_t* weights, long ksize, std::ptrdiff_t begin,
                            std::ptrdiff_t end);

}  // namespace pictor::kernels
