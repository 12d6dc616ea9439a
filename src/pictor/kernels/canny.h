// Canny edge detection of the 8-bit working copy, the same edge map as
// cv2.Canny(working, low, high) with its defaults (3x3 Sobel, L1 magnitude),
// written straight out as 16-bit samples (0 or 65535).
//
// The working copy is formed row by row from the input (w = x for 8-bit
// input, x / 257 for 16-bit input), so it never exists as a whole image.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// Hysteresis thresholds of the L1 gradient magnitude, as OpenCV applies them:
// ordered (low <= high) and floored to integers.
struct CannyThresholds {
  int low;
  int high;
};

// Largest image the detector takes: its framed map is indexed with 32 bits.
bool canny_fits(std::ptrdiff_t rows, std::ptrdiff_t cols);

// Edge map of a grey image of rows x cols samples (C order, rows, cols >= 1
// and canny_fits). Runs without touching Python; returns false, with `out`
// unspecified, when memory runs out.
bool canny_edges(const std::uint8_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds,
                 std::uint16_t* out) noexcept;
bool canny_edges(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds,
                 std::uint16_t* out) noexcept;

}  // namespace pictor::kernels
