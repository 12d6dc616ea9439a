// Canny edge detection of the 8-bit working copy of a grey or three-channel
// image: the edge map of cv2.Canny(working, low, high) with its defaults (3x3
// Sobel, L1 magnitude), written straight out as 16-bit samples (0 or 65535).
//
// The working copy is formed row by row from the input (w = x for 8-bit
// input, x / 257 for 16-bit input), so it never exists as a whole image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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

// Row stripes. Hysteresis is global: a weak cell is kept when it is
// 8-connected through weak cells to a strong one anywhere in the image. A
// stripe's cells are classified with a halo of rows, its boundary components
// joined across the seams by the caller, and the stripe traced from its own
// strong cells plus the boundary cells the join found kept.

// The cell states (0 none, 1 weak, 2 strong) the detector assigns before
// tracing, of every row of a window of rows x cols pixels (as for
// canny_edges; rows beyond the window repeat its end rows, so rows within 2 of
// a cut differ from the whole image's). canny_cells takes the 8-bit working
// copy, canny_cells_of_levels the 16-bit levels.
template <class T>
bool canny_cells(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint8_t* cells, int threads) noexcept;
bool canny_cells_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint8_t* cells, int threads) noexcept;

// What the rest of the image needs of a stripe's hysteresis: the label of each
// cell of its first and last rows (0 for none) and strong[k], whether component
// k holds a strong cell (strong[0] false; at most cols + 3 entries). After the
// stripe's own hysteresis, its edge cells on those rows are kept whatever
// they join and share label 1 (strong); each 8-connected component of weak
// cells left that touches them has a label of its own from 2, numbered as met
// along the first row, then the last. Cells above 2 count as strong. Runs
// over `threads` threads; returns false when memory runs out.
bool canny_stripe_summary(const std::uint8_t* cells, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::int32_t* top_labels, std::int32_t* bottom_labels, std::vector<std::uint8_t>& strong,
                          int threads) noexcept;

// The stripe's edge map (0 or 65535): hysteresis from its strong cells and
// from the nonzero cells of its first row where top_seeds is nonzero and of
// its last row where bottom_seeds is. Cells above 2 count as strong.
bool canny_stripe_edges(const std::uint8_t* cells, std::ptrdiff_t rows, std::ptrdiff_t cols,
                        const std::uint8_t* top_seeds, const std::uint8_t* bottom_seeds, std::uint16_t* out,
                        int threads) noexcept;

}  // namespace pictor::kernels
