// Non-local means of 16-bit levels, as OpenCV's 8-bit method computes it
// (L2 patch distance, tabulated fixed-point weights, integer weighted mean),
// with the patch distances of 16-bit levels binned 2^16 times as coarsely.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

struct NlmWindows {
  long template_half;  // the patch is 2 * template_half + 1 pixels square
  long search_half;    // the search window 2 * search_half + 1
};

// The patch distance bins and their weights: the weight of a distance d (the
// sum of squared sample differences over a patch and the channels) is
// weights[d >> shift]; the table covers every distance of 16-bit levels.
struct NlmWeights {
  const std::int32_t* weights;
  std::ptrdiff_t bins;
  int shift;
};

// Rows [begin, end) of the denoised image of rows x cols pixels of
// `channels` interleaved samples (C order, rows, cols >= 1), the border
// reflected without repeating the edge sample (OpenCV's default). Throws
// std::bad_alloc when its buffers cannot be had.
void nlm_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                    std::ptrdiff_t channels, NlmWindows windows, NlmWeights weights, std::ptrdiff_t begin,
                    std::ptrdiff_t end);

}  // namespace pictor::kernels
