#include "kernels/box.h"

#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/window.h"

namespace pictor::kernels {

namespace {

// column_sums[j] += sign * level(row[j])
template <class T, int sign>
PICTOR_ALSO_FOR_AVX2
void add_row(const T* __restrict row, std::uint32_t* __restrict column_sums, std::ptrdiff_t size) {
  for (std::ptrdiff_t j = 0; j < size; ++j) column_sums[j] += static_cast<std::uint32_t>(sign) * working_level(row[j]);
}

// The rounded mean restored to 16 bits: round(sum / area) with no ties for an
// odd area is floor(t / area) with t = sum + (area - 1) / 2. The float
// quotient of t (below 2**24, exact) is within one of the integer one; one
// step on the exact remainder corrects it.
PICTOR_ALSO_FOR_AVX2
void write_means(const std::uint32_t* __restrict sums, std::uint16_t* __restrict out, std::ptrdiff_t size,
                 std::uint32_t area) {
  const auto half = static_cast<std::int32_t>((area - 1) / 2);
  const auto divisor = static_cast<std::int32_t>(area);
  const float reciprocal = 1.0f / static_cast<float>(area);
  for (std::ptrdiff_t j = 0; j < size; ++j) {
    const std::int32_t t = static_cast<std::int32_t>(sums[j]) + half;
    std::int32_t level = static_cast<std::int32_t>(static_cast<float>(t) * reciprocal);
    const std::int32_t remainder = t - level * divisor;
    level += (remainder >= divisor) - (remainder < 0);
    out[j] = static_cast<std::uint16_t>(level * kLevelsPer8BitStep);
  }
}

// Windows up to this wide are summed directly, which vectorises; wider ones
// by a running sum.
constexpr long kDirectSumWidth = 9;

// sums[j] = framed[j] + framed[j + step] + ... (width terms)
PICTOR_ALSO_FOR_AVX2
void sum_windows_directly(const std::uint32_t* __restrict framed, std::uint32_t* __restrict sums, std::ptrdiff_t size,
                          std::ptrdiff_t step, long width) {
  for (std::ptrdiff_t j = 0; j < size; ++j) sums[j] = framed[j];
  for (long d = 1; d < width; ++d) {
    const std::uint32_t* shifted = framed + d * step;
    for (std::ptrdiff_t j = 0; j < size; ++j) sums[j] += shifted[j];
  }
}

void sum_windows_running(const std::uint32_t* framed, std::uint32_t* sums, std::ptrdiff_t cols,
                         std::ptrdiff_t channels, long width) {
  for (std::ptrdiff_t k = 0; k < channels; ++k) {
    std::uint32_t sum = 0;
    for (long c = 0; c < width; ++c) sum += framed[c * channels + k];
    sums[k] = sum;
    for (std::ptrdiff_t c = 1; c < cols; ++c) {
      sum += framed[(c + width - 1) * channels + k] - framed[(c - 1) * channels + k];
      sums[c * channels + k] = sum;
    }
  }
}

}  // namespace

template <class T>
void box_sum_rows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, std::ptrdiff_t channels, long ksize,
                  std::ptrdiff_t begin, std::ptrdiff_t end, const BoxSumRowSink& finish) {
  const std::ptrdiff_t radius = ksize / 2;
  const std::ptrdiff_t stride = cols * channels;
  // The vertical sums of the window's rows for each sample of a row, framed
  // by the reflected columns on either side.
  std::vector<std::uint32_t> framed(static_cast<std::size_t>((cols + 2 * radius) * channels), 0);
  std::uint32_t* column_sums = framed.data() + radius * channels;
  std::vector<std::uint32_t> window_sums(static_cast<std::size_t>(stride));
  const auto row_at = [&](std::ptrdiff_t r) { return src + reflect_101(r, rows) * stride; };
  for (std::ptrdiff_t r = begin - radius; r <= begin + radius; ++r) add_row<T, 1>(row_at(r), column_sums, stride);
  for (std::ptrdiff_t r = begin; r < end; ++r) {
    if (r > begin) {
      add_row<T, 1>(row_at(r + radius), column_sums, stride);
      add_row<T, -1>(row_at(r - radius - 1), column_sums, stride);
    }
    reflect_into_frame(framed.data(), cols, channels, radius);
    if (ksize <= kDirectSumWidth) {
      sum_windows_directly(framed.data(), window_sums.data(), stride, channels, ksize);
    } else {
      sum_windows_running(framed.data(), window_sums.data(), cols, channels, ksize);
    }
    finish(r, window_sums.data());
  }
}

template <class T>
void box_mean_restored_rows(const T* src, std::uint16_t* out, std::ptrdiff_t rows, std::ptrdiff_t cols,
                            std::ptrdiff_t channels, long ksize, std::ptrdiff_t begin, std::ptrdiff_t end) {
  const std::ptrdiff_t stride = cols * channels;
  const auto area = static_cast<std::uint32_t>(ksize * ksize);
  box_sum_rows(src, rows, cols, channels, ksize, begin, end, [&](std::ptrdiff_t r, const std::uint32_t* sums) {
    write_means(sums, out + r * stride, stride, area);
  });
}

template void box_sum_rows(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, long, std::ptrdiff_t,
                           std::ptrdiff_t, const BoxSumRowSink&);
template void box_sum_rows(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, long, std::ptrdiff_t,
                           std::ptrdiff_t, const BoxSumRowSink&);
template void box_mean_restored_rows(const std::uint8_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);
template void box_mean_restored_rows(const std::uint16_t*, std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t,
                                     std::ptrdiff_t, long, std::ptrdiff_t, std::ptrdiff_t);

}  // namespace pictor::kernels
