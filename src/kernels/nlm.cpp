#include "kernels/nlm.h"

#include <algorithm>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

// Output rows denoised together: their sums stay in cache over every offset
// of the search window.
constexpr std::ptrdiff_t kRowsPerStrip = 16;

// The squared differences of two framed rows summed over the channels, at
// `count` pixel positions; kChannels 0 takes the channel count at run time.
template <int kChannels>
PICTOR_ALSO_FOR_AVX2
void row_squares(const std::int32_t* __restrict a, const std::int32_t* __restrict b, std::ptrdiff_t count,
                 std::ptrdiff_t run_time_channels, std::uint64_t* __restrict squares) {
  const std::ptrdiff_t channels = kChannels != 0 ? kChannels : run_time_channels;
  for (std::ptrdiff_t x = 0; x < count; ++x) {
    std::uint64_t sum = 0;
    for (std::ptrdiff_t c = 0; c < channels; ++c) {
      const std::int64_t d = a[x * channels + c] - b[x * channels + c];
      sum += static_cast<std::uint64_t>(d * d);
    }
    squares[x] = sum;
  }
}

// The weights of the patch distances along a row (column sums of the patch
// rows, from the pixel's patch's first column), added with the weighted
// samples of the moved pixels to the row's totals and sums.
template <int kChannels>
PICTOR_ALSO_FOR_AVX2
void weigh_row(const std::uint64_t* __restrict columns, const std::int32_t* __restrict moved, std::ptrdiff_t cols,
               std::ptrdiff_t run_time_channels, std::ptrdiff_t patch_side, NlmWeights weights,
               std::uint64_t* __restrict totals, std::uint64_t* __restrict sums) {
  const std::ptrdiff_t channels = kChannels != 0 ? kChannels : run_time_channels;
  std::uint64_t distance = 0;
  for (std::ptrdiff_t x = 0; x < patch_side - 1; ++x) distance += columns[x];
  for (std::ptrdiff_t x = 0; x < cols; ++x) {
    distance += columns[x + patch_side - 1];
    const auto weight = static_cast<std::uint64_t>(weights.weights[distance >> weights.shift]);
    distance -= columns[x];
    totals[x] += weight;
    for (std::ptrdiff_t c = 0; c < channels; ++c) {
      sums[x * channels + c] += weight * static_cast<std::uint64_t>(moved[x * channels + c]);
    }
  }
}

PICTOR_ALSO_FOR_AVX2
void add_rows(std::uint64_t* __restrict to, const std::uint64_t* __restrict added, std::ptrdiff_t count) {
  for (std::ptrdiff_t x = 0; x < count; ++x) to[x] += added[x];
}

PICTOR_ALSO_FOR_AVX2
void subtract_rows(std::uint64_t* __restrict to, const std::uint64_t* __restrict taken, std::ptrdiff_t count) {
  for (std::ptrdiff_t x = 0; x < count; ++x) to[x] -= taken[x];
}

class Strip {
 public:
  Strip(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels,
        NlmWindows windows, NlmWeights weights)
      : src_(src),
        rows_(rows),
        cols_(cols),
        channels_(channels),
        tr_(windows.template_half),
        sr_(windows.search_half),
        border_(tr_ + sr_),
        framed_cols_(cols + 2 * border_),
        weights_(weights),
        framed_(static_cast<std::size_t>((kRowsPerStrip + 2 * border_) * framed_cols_ * channels)),
        column_sums_(static_cast<std::size_t>(cols + 2 * tr_)),
        squares_(static_cast<std::size_t>((2 * tr_ + 1) * (cols + 2 * tr_))),
        sums_(static_cast<std::size_t>(kRowsPerStrip * cols * channels)),
        totals_(static_cast<std::size_t>(kRowsPerStrip * cols)) {}

  void denoise(std::ptrdiff_t first, std::ptrdiff_t count, std::uint16_t* out) {
    frame(first, count);
    std::fill(sums_.begin(), sums_.end(), 0);
    std::fill(totals_.begin(), totals_.end(), 0);
    for (std::ptrdiff_t dy = -sr_; dy <= sr_; ++dy) {
      for (std::ptrdiff_t dx = -sr_; dx <= sr_; ++dx) accumulate_offset(count, dy, dx);
    }
    for (std::ptrdiff_t i = 0; i < count * cols_; ++i) {
      const std::uint64_t total = totals_[static_cast<std::size_t>(i)];
      for (std::ptrdiff_t c = 0; c < channels_; ++c) {
        const std::uint64_t sum = sums_[static_cast<std::size_t>(i * channels_ + c)];
        out[i * channels_ + c] = static_cast<std::uint16_t>(std::min<std::uint64_t>((sum + total / 2) / total, 65535));
      }
    }
  }

 private:
  // Framed row y of the strip: source row first + y - border, reflected.
  const std::int32_t* framed_row(std::ptrdiff_t y) const {
    return framed_.data() + y * framed_cols_ * channels_;
  }
  void frame(std::ptrdiff_t first, std::ptrdiff_t count) {
    for (std::ptrdiff_t y = 0; y < count + 2 * border_; ++y) {
      const std::uint16_t* row = src_ + reflect_101(first + y - border_, rows_) * cols_ * channels_;
      std::int32_t* to = framed_.data() + y * framed_cols_ * channels_;
      for (std::ptrdiff_t x = 0; x < framed_cols_; ++x) {
        const std::uint16_t* pixel = row + reflect_101(x - border_, cols_) * channels_;
        for (std::ptrdiff_t c = 0; c < channels_; ++c) to[x * channels_ + c] = pixel[c];
      }
    }
  }
  // The squared differences of patch row y (strip rows, from -tr), kept in
  // a ring of 2 * tr + 1 rows until the column sums drop them.
  std::uint64_t* squares_row(std::ptrdiff_t y) {
    const std::ptrdiff_t ring = 2 * tr_ + 1;
    return squares_.data() + (((y % ring) + ring) % ring) * (cols_ + 2 * tr_);
  }
  // Squared differences of patch row y with the same row moved by (dy, dx),
  // over the patch columns of every pixel, added to the column sums.
  void add_squares_of_row(std::ptrdiff_t y, std::ptrdiff_t dy, std::ptrdiff_t dx) {
    const std::int32_t* here = framed_row(y + border_) + sr_ * channels_;
    const std::int32_t* moved = framed_row(y + dy + border_) + (sr_ + dx) * channels_;
    std::uint64_t* squares = squares_row(y);
    switch (channels_) {
      case 1: row_squares<1>(here, moved, cols_ + 2 * tr_, channels_, squares); break;
      case 3: row_squares<3>(here, moved, cols_ + 2 * tr_, channels_, squares); break;
      default: row_squares<0>(here, moved, cols_ + 2 * tr_, channels_, squares);
    }
    add_rows(column_sums_.data(), squares, cols_ + 2 * tr_);
  }
  void accumulate_offset(std::ptrdiff_t count, std::ptrdiff_t dy, std::ptrdiff_t dx) {
    std::fill(column_sums_.begin(), column_sums_.end(), 0);
    for (std::ptrdiff_t y = -tr_; y < tr_; ++y) add_squares_of_row(y, dy, dx);
    for (std::ptrdiff_t y = 0; y < count; ++y) {
      add_squares_of_row(y + tr_, dy, dx);
      weigh_row(y, dy, dx);
      subtract_rows(column_sums_.data(), squares_row(y - tr_), cols_ + 2 * tr_);
    }
  }
  void weigh_row(std::ptrdiff_t y, std::ptrdiff_t dy, std::ptrdiff_t dx) {
    const std::int32_t* moved = framed_row(y + dy + border_) + (border_ + dx) * channels_;
    std::uint64_t* sums = sums_.data() + y * cols_ * channels_;
    std::uint64_t* totals = totals_.data() + y * cols_;
    const std::ptrdiff_t side = 2 * tr_ + 1;
    switch (channels_) {
      case 1: kernels::weigh_row<1>(column_sums_.data(), moved, cols_, channels_, side, weights_, totals, sums); break;
      case 3: kernels::weigh_row<3>(column_sums_.data(), moved, cols_, channels_, side, weights_, totals, sums); break;
      default: kernels::weigh_row<0>(column_sums_.data(), moved, cols_, channels_, side, weights_, totals, sums);
    }
  }

  const std::uint16_t* src_;
  std::ptrdiff_t rows_, cols_, channels_;
  std::ptrdiff_t tr_, sr_, border_, framed_cols_;
  NlmWeights weights_;
  std::vector<std::int32_t> framed_;
  std::vector<std::uint64_t> column_sums_, squares_;
  std::vector<std::uint64_t> sums_, totals_;
};

}  // namespace

void nlm_level_rows(const std::uint16_t* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                    std::ptrdiff_t channels, NlmWindows windows, NlmWeights weights, std::ptrdiff_t begin,
                    std::ptrdiff_t end) {
  Strip strip(src, rows, cols, channels, windows, weights);
  for (std::ptrdiff_t first = begin; first < end; first += kRowsPerStrip) {
    const std::ptrdiff_t count = std::min(kRowsPerStrip, end - first);
    strip.denoise(first, count, out + first * cols * channels);
  }
}

}  // namespace pictor::kernels
