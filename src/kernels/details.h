// The gradient-detail filters of 8- and 16-bit images in one pass.
//
// enhance_details: the 8-bit working
// copy, OpenCV's bit-exact 3 x 3 Gaussian of it, the 3 x 3 Sobel gradients
// of the blur, their saturated magnitudes, the mean of the two and the detail
// added to the working copy, restored to 16 bits (257 * w). The blur and the
// gradients are integer arithmetic; the two weighted sums come as tables of
// OpenCV's own results for every pair of 8-bit values. Borders are reflected
// without repeating the edge sample, for the blur and for its gradients.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// What the pass takes from OpenCV: the Gaussian's fixed-point weights (three,
// symmetric, summing to 256) and the two weighted sums, each a table indexed 256 * a + b.
struct DetailTables {
  const std::uint32_t* gaussian_weights;
  const std::uint8_t* mean_of_gradients;  // addWeighted(|d/dx|, 0.5, |d/dy|, 0.5, 0)
  const std::uint8_t* with_details;       // addWeighted(working, 1, mean gradient, 0.2, 0)
};

// Rows [begin, end) of the result for a rows x cols image of `channels`
// interleaved samples (C order, rows, cols >= 1). Throws std::bad_alloc when
// its row buffers cannot be had.
template <class T>
void enhance_details_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::ptrdiff_t channels, const DetailTables& tables, std::ptrdiff_t begin,
                          std::ptrdiff_t end);

// Rows [begin, end) of the mean gradient magnitude of the working copy
// (glow's edge map): the saturated 3 x 3 Sobel magnitudes of the levels,
// borders reflected, combined through the table addWeighted(|d/dx|, 0.5,
// |d/dy|, 0.5, 0), written as 8-bit levels.
template <class T>
void mean_gradient_rows(const T* src, std::uint8_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                        std::ptrdiff_t channels, const std::uint8_t* mean_of_gradients, std::ptrdiff_t begin,
                        std::ptrdiff_t end);

}  // namespace pictor::kernels
