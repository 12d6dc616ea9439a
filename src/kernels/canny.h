// Canny edge detection of the 8-bit working copy of a grey or three-channel
// image: the edge map of cv2.Canny(working, low, high) with its defaults (3x3
// Sobel, L1 magnitude), written straight out as 16-bit samples (0 or 65535).
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

// Edge map of an image of rows x cols pixels of `channels` interleaved
// samples (1 or 3; C order, rows, cols >= 1 and canny_fits), for T uint8_t
// or uint16_t, over `threads` threads. Runs without touching Python;
// returns false, with `out` unspecified, when memory runs out.
template <class T>
bool canny_edges(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint16_t* out, int threads) noexcept;

// The largest L1 magnitude of 3x3 Sobel derivatives of 16-bit levels.
constexpr int kMaxLevelMagnitude = 2 * 4 * 65535;

// The same detector on the image's own 16-bit levels, with 32-bit
// derivatives and thresholds in 16-bit levels (kMaxLevelMagnitude and beyond
// act alike).
bool canny_edges_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint16_t* out, int threads) noexcept;

}  // namespace pictor::kernels
