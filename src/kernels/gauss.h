// OpenCV's bit-exact Gaussian blur of 8-bit images, fused with the working
// copy (w = x for 8-bit samples, x / 257 for 16-bit ones) and, if wanted, the
// 16-bit restore (257 * w): one pass reads the source and writes the result.
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
#include <functional>

namespace pictor::kernels {

// The widest kernel the fused filter of ImageSmoother takes.
constexpr long kWidestGaussian = 15;

// The widest kernel blurring 8-bit levels natively (glow's halo): its cost
// grows with the side, OpenCV's too.
constexpr long kWidestLevelGaussian = 255;

// Rows [begin, end) of the blur of a rows x cols image of `channels`
// interleaved samples (C order, rows, cols >= 1), with the `ksize` (odd, >= 3)
// symmetric weights given for both directions: 8-bit levels, or levels
// restored to 16 bits (257 * w). Throws std::bad_alloc when its row buffers
// cannot be had.
template <class T, class Out>
void gaussian_rows(const T* src, Out* out, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                   const std::uint32_t* weights, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end);

// The blur's rows [begin, end) as 8-bit levels, each handed to
// finish(row, levels) as soon as it is formed instead of being stored: for
// results that combine the blur with the source in the same pass.
using LevelRowSink = std::function<void(std::ptrdiff_t row, const std::uint8_t* levels)>;

template <class T>
void gaussian_level_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
                         const std::uint32_t* weights, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end,
                         const LevelRowSink& finish);

}  // namespace pictor::kernels
