// The median filter of an image's own 16-bit levels over OpenCV's replicated
// border (what cv2.medianBlur gives for the sides it takes at 16 bits), for
// any odd side. A median of integers has one answer, whatever the method.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// Up to this side the median is selected bit by bit for a block of outputs
// at once (cost grows with the window's area); wider windows slide a
// two-level histogram along each row (cost grows with the side).
constexpr long kWidestSelectedLevelMedian = 15;

// Rows [begin, end) of the median of a rows x cols image of `channels`
// interleaved samples (C order, rows, cols >= 1), for an odd ksize >= 3.
// Throws std::bad_alloc when its buffers cannot be had.
void median_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                       std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end);

}  // namespace pictor::kernels
