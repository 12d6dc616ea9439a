#include "kernels/canny.h"
#include "kernels/parallel.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "kernels/depth.h"
#include "kernels/numeric.h"

#include "kernels/canny_map.h"

namespace pictor::kernels {

using namespace canny_map;

namespace {

// tan(22.5 degrees) in Q15, rounded: the sector boundaries of the gradient direction.
constexpr int kTan22Q15 = 13573;

// Derivatives and magnitudes of 8-bit levels fit 16 bits; of 16-bit levels, 32.
template <class L>
using Gradient = std::conditional_t<sizeof(L) == 1, std::int16_t, std::int32_t>;

// The largest L1 magnitude of 3x3 Sobel derivatives of levels of type L.
template <class L>
constexpr int kMaxMagnitude = 2 * 4 * std::numeric_limits<L>::max();

}  // namespace

namespace detail {

// 3x3 Sobel derivatives of the middle row and their L1 magnitude. Rows are
// framed by one replicated sample each side; the magnitude row is framed by
// zeros (beyond the image the magnitude counts as 0).
template <class L, class G>
PICTOR_ALSO_FOR_AVX2
void sobel_row(const L* __restrict above, const L* __restrict here, const L* __restrict below, std::ptrdiff_t cols,
               G* __restrict dx, G* __restrict dy, G* __restrict magnitude) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    const G gx = static_cast<G>((G{above[j + 2]} - G{above[j]}) + 2 * (G{here[j + 2]} - G{here[j]}) +
                                (G{below[j + 2]} - G{below[j]}));
    const G gy = static_cast<G>((G{below[j]} + 2 * G{below[j + 1]} + G{below[j + 2]}) -
                                (G{above[j]} + 2 * G{above[j + 1]} + G{above[j + 2]}));
    dx[j] = gx;
    dy[j] = gy;
    magnitude[j + 1] = static_cast<G>((gx < 0 ? -gx : gx) + (gy < 0 ? -gy : gy));
  }
}

// One channel of an interleaved row.
template <class L>
PICTOR_ALSO_FOR_AVX2
void take_channel(const L* __restrict interleaved, int channels, std::ptrdiff_t cols, L* __restrict plane) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) plane[j] = interleaved[j * channels];
}

// Where a channel's magnitude exceeds the strongest so far, its derivatives
// replace the kept ones (magnitude rows framed as in sobel_row). Selected
// through masks: as conditional stores the compiler would branch on noise.
template <class G>
PICTOR_ALSO_FOR_AVX2
void keep_stronger(const G* __restrict dx, const G* __restrict dy, const G* __restrict magnitude, std::ptrdiff_t cols,
                   G* __restrict kept_dx, G* __restrict kept_dy, G* __restrict kept_magnitude) {
  const auto select = [](G mask, G chosen, G other) { return static_cast<G>((chosen & mask) | (other & ~mask)); };
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    const auto stronger = static_cast<G>(-static_cast<G>(magnitude[j + 1] > kept_magnitude[j + 1]));
    kept_magnitude[j + 1] = select(stronger, magnitude[j + 1], kept_magnitude[j + 1]);
    kept_dx[j] = select(stronger, dx[j], kept_dx[j]);
    kept_dy[j] = select(stronger, dy[j], kept_dy[j]);
  }
}

// Non-maximum suppression and double threshold of one row, written with
// masks instead of branches (gradient directions of noisy images are
// unpredictable). A pixel survives when its magnitude exceeds `low` and is a
// maximum across the gradient: in the horizontal and vertical sectors it must
// exceed the neighbour before it and at least equal the one after it; in the
// diagonal sectors exceed both. Thresholds come clamped to [-1, kMaxMagnitude].
// The sector test scales |dy| by 2^15: 32 bits for 8-bit levels, 64 for 16-bit.
template <class G>
PICTOR_ALSO_FOR_AVX2
void classify_row(const G* __restrict above, const G* __restrict here, const G* __restrict below,
                  const G* __restrict dx, const G* __restrict dy, std::ptrdiff_t cols, G low, G high,
                  std::uint8_t* __restrict cells) {
  using Wide = std::conditional_t<sizeof(G) == 2, int, std::int64_t>;
  constexpr int kSignShift = 8 * sizeof(G) - 1;
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    const G m = here[j + 1];
    const Wide ax = dx[j] < 0 ? -Wide{dx[j]} : Wide{dx[j]};
    const Wide ay = (dy[j] < 0 ? -Wide{dy[j]} : Wide{dy[j]}) << 15;
    const Wide tan22 = ax * kTan22Q15;
    const Wide tan67 = tan22 + (ax << 16);
    const G horizontal = static_cast<G>(-static_cast<G>(ay < tan22));
    const G vertical = static_cast<G>(-static_cast<G>(ay > tan67));
    const G diagonal = static_cast<G>(~(horizontal | vertical));
    const G opposite_signs = static_cast<G>((dx[j] ^ dy[j]) >> kSignShift);
    const G diagonal_before = static_cast<G>((above[j] & ~opposite_signs) | (above[j + 2] & opposite_signs));
    const G diagonal_after = static_cast<G>((below[j + 2] & ~opposite_signs) | (below[j] & opposite_signs));
    // m >= n is m > n - 1: one strict comparison for every sector.
    const G before = static_cast<G>((here[j] & horizontal) | (above[j + 1] & vertical) | (diagonal_before & diagonal));
    const G after = static_cast<G>(((here[j + 2] - 1) & horizontal) | ((below[j + 1] - 1) & vertical) |
                                   (diagonal_after & diagonal));
    const bool candidate = (m > low) & (m > before) & (m > after);
    cells[j] = static_cast<std::uint8_t>(candidate * (kWeak + (m > high)));
  }
}

// Weak cells of `here` next to an edge of the row above become edges. Cells
// hold 0, 1 or 2, so the OR of three has bit 1 set when one is an edge.
PICTOR_ALSO_FOR_AVX2
void promote_under_edges(const std::uint8_t* __restrict above, std::uint8_t* __restrict here, std::ptrdiff_t cols) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    const int near_edge = ((above[j - 1] | above[j] | above[j + 1]) >> 1) & 1;
    here[j] = static_cast<std::uint8_t>(here[j] + ((here[j] == kWeak) & near_edge));
  }
}

// Marks (1) the weak cells of `above` next to an edge of the row below;
// returns whether there are any.
PICTOR_ALSO_FOR_AVX2
bool mark_weak_over_edges(const std::uint8_t* __restrict above, const std::uint8_t* __restrict here,
                          std::ptrdiff_t cols, std::uint8_t* __restrict marks) {
  std::uint8_t any = 0;
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    const int near_edge = ((here[j - 1] | here[j] | here[j + 1]) >> 1) & 1;
    marks[j] = static_cast<std::uint8_t>((above[j] == kWeak) & near_edge);
    any |= marks[j];
  }
  return any != 0;
}

PICTOR_ALSO_FOR_AVX2
void edge_samples(const std::uint8_t* cells, std::ptrdiff_t cols, std::uint16_t* out) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] = cells[j] == kEdge ? 0xFFFF : 0;
}

}  // namespace detail
namespace {

// Rows of levels L (the 8-bit working copy, or the 16-bit samples
// themselves), one plane per channel, each framed by its replicated end
// samples; converted on demand; rows outside the image repeat the nearest one.
template <class T, class L, int Channels>
class LevelRows {
 public:
  LevelRows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols)
      : src_(src),
        rows_(rows),
        cols_(cols),
        planes_(static_cast<std::size_t>(3 * Channels * (cols + 2))),
        interleaved_(Channels > 1 && !std::is_same_v<T, L> ? static_cast<std::size_t>(Channels * cols) : 0) {}

  const L* row(std::ptrdiff_t r, int channel) {
    r = std::clamp<std::ptrdiff_t>(r, 0, rows_ - 1);
    const std::ptrdiff_t slot = r % 3;
    if (loaded_[slot] != r) {
      load(r, slot);
      loaded_[slot] = r;
    }
    return plane(slot, channel);
  }

 private:
  L* plane(std::ptrdiff_t slot, int channel) {
    return planes_.data() + (slot * Channels + channel) * (cols_ + 2);
  }
  void load(std::ptrdiff_t r, std::ptrdiff_t slot) {
    const T* samples = src_ + r * cols_ * Channels;
    const L* levels = interleaved_.data();
    if constexpr (std::is_same_v<T, L>) {
      levels = samples;
      if constexpr (Channels == 1) std::memcpy(plane(slot, 0) + 1, samples, static_cast<std::size_t>(cols_) * sizeof(L));
    } else if constexpr (Channels == 1) {
      to_working_u8(samples, plane(slot, 0) + 1, cols_, kFullScaleOf<T>);
    } else {
      to_working_u8(samples, interleaved_.data(), cols_ * Channels, kFullScaleOf<T>);
    }
    if constexpr (Channels > 1) {
      for (int c = 0; c < Channels; ++c) detail::take_channel(levels + c, Channels, cols_, plane(slot, c) + 1);
    }
    for (int c = 0; c < Channels; ++c) {
      L* framed = plane(slot, c);
      framed[0] = framed[1];
      framed[cols_ + 1] = framed[cols_];
    }
  }
  const T* src_;
  std::ptrdiff_t rows_;
  std::ptrdiff_t cols_;
  std::vector<L> planes_;
  std::vector<L> interleaved_;
  std::ptrdiff_t loaded_[3] = {-1, -1, -1};
};

// Derivatives and magnitudes of three consecutive rows, reused as the band
// advances: row r lives in slot (r + 1) % 3. A colour pixel takes the
// derivatives of its channel of largest magnitude (the first of equals).
template <class T, class L, int Channels>
class GradientRows {
  using G = Gradient<L>;

 public:
  GradientRows(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols)
      : working_(src, rows, cols),
        rows_(rows),
        cols_(cols),
        dx_(static_cast<std::size_t>(3 * cols)),
        dy_(static_cast<std::size_t>(3 * cols)),
        magnitude_(static_cast<std::size_t>(3 * (cols + 2)), 0),
        channel_dx_(Channels > 1 ? static_cast<std::size_t>(cols) : 0),
        channel_dy_(Channels > 1 ? static_cast<std::size_t>(cols) : 0),
        channel_magnitude_(Channels > 1 ? static_cast<std::size_t>(cols + 2) : 0) {}

  void compute(std::ptrdiff_t r) {
    G* framed = magnitude(r);
    if (r < 0 || r >= rows_) {
      std::fill(framed, framed + cols_ + 2, G{0});
      return;
    }
    sobel(r, 0, dx(r), dy(r), framed);
    for (int c = 1; c < Channels; ++c) {
      sobel(r, c, channel_dx_.data(), channel_dy_.data(), channel_magnitude_.data());
      detail::keep_stronger(channel_dx_.data(), channel_dy_.data(), channel_magnitude_.data(), cols_, dx(r), dy(r),
                            framed);
    }
  }
  G* magnitude(std::ptrdiff_t r) { return magnitude_.data() + slot(r) * (cols_ + 2); }
  G* dx(std::ptrdiff_t r) { return dx_.data() + slot(r) * cols_; }
  G* dy(std::ptrdiff_t r) { return dy_.data() + slot(r) * cols_; }

 private:
  static std::ptrdiff_t slot(std::ptrdiff_t r) { return (r + 1) % 3; }
  void sobel(std::ptrdiff_t r, int channel, G* gx, G* gy, G* framed) {
    const L* above = working_.row(r - 1, channel);
    const L* here = working_.row(r, channel);
    const L* below = working_.row(r + 1, channel);
    detail::sobel_row(above, here, below, cols_, gx, gy, framed);
  }
  LevelRows<T, L, Channels> working_;
  std::ptrdiff_t rows_;
  std::ptrdiff_t cols_;
  std::vector<G> dx_, dy_, magnitude_;
  std::vector<G> channel_dx_, channel_dy_, channel_magnitude_;
};
// Cell states of the rows of `band`, one row at a time: cells_of(r) is where
// row r goes, and row_done(r) is called once it is there.
template <int Channels, class L, class T, class CellsOf, class RowDone>
void classify_band(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds, Band band,
                   CellsOf&& cells_of, RowDone&& row_done) {
  using G = Gradient<L>;
  GradientRows<T, L, Channels> gradients(src, rows, cols);
  // Magnitudes lie in [0, kMaxMagnitude]: thresholds outside it act like its ends.
  const auto magnitude_bound = [](int threshold) { return static_cast<G>(std::clamp(threshold, -1, kMaxMagnitude<L>)); };
  const G low = magnitude_bound(thresholds.low);
  const G high = magnitude_bound(thresholds.high);
  gradients.compute(band.begin - 1);
  gradients.compute(band.begin);
  for (std::ptrdiff_t r = band.begin; r < band.end; ++r) {
    gradients.compute(r + 1);
    detail::classify_row(gradients.magnitude(r - 1), gradients.magnitude(r), gradients.magnitude(r + 1),
                         gradients.dx(r), gradients.dy(r), cols, low, high, cells_of(r));
    row_done(r);
  }
}

// Classifies the rows of `band` and traces the edges found inside it.
template <int Channels, class L, class T>
void detect_band(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds, Band band,
                 EdgeMap& map) {
  BandTracer tracer(map, band, cols);
  classify_band<Channels, L>(
      src, rows, cols, thresholds, band, [&map](std::ptrdiff_t r) { return map.row(r); },
      [&tracer](std::ptrdiff_t r) { tracer.close_row(r); });
}
template <int Channels, class L, class T>
bool detect_edges(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds,
                  std::uint16_t* out, int threads) noexcept {
  return completed([&] {
    EdgeMap map(rows, cols);
    trace_image(
        map, rows, cols, threads,
        [&](Band band) { detect_band<Channels, L>(src, rows, cols, thresholds, band, map); }, out);
  });
}

template <int Channels, class L, class T>
bool classify_cells(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, CannyThresholds thresholds,
                    std::uint8_t* cells, int threads) noexcept {
  return completed([&] {
    split_rows(rows, cols, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      classify_band<Channels, L>(
          src, rows, cols, thresholds, Band{begin, end}, [&](std::ptrdiff_t r) { return cells + r * cols; },
          [](std::ptrdiff_t) {});
    });
  });
}

}  // namespace

bool canny_fits(std::ptrdiff_t rows, std::ptrdiff_t cols) {
  constexpr std::ptrdiff_t kMaxCells = std::numeric_limits<Index>::max();
  return rows >= 1 && cols >= 1 && rows <= kMaxCells && cols <= kMaxCells - 2 * kCellsPerWord &&
         (rows + 2) <= kMaxCells / map_stride(cols);
}

namespace {

// run(std::integral_constant<int, 3>{}) for colour pixels, else run(... 1 ...).
template <class Run>
bool by_channels(int channels, Run&& run) {
  return channels == 3 ? run(std::integral_constant<int, 3>{}) : run(std::integral_constant<int, 1>{});
}

}  // namespace

template <class T>
bool canny_edges(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint16_t* out, int threads) noexcept {
  return by_channels(channels, [&](auto c) {
    return detect_edges<decltype(c)::value, std::uint8_t>(src, rows, cols, thresholds, out, threads);
  });
}

bool canny_edges_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint16_t* out, int threads) noexcept {
  return by_channels(channels, [&](auto c) {
    return detect_edges<decltype(c)::value, std::uint16_t>(src, rows, cols, thresholds, out, threads);
  });
}

template <class T>
bool canny_cells(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint8_t* cells, int threads) noexcept {
  return by_channels(channels, [&](auto c) {
    return classify_cells<decltype(c)::value, std::uint8_t>(src, rows, cols, thresholds, cells, threads);
  });
}

bool canny_cells_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint8_t* cells, int threads) noexcept {
  return by_channels(channels, [&](auto c) {
    return classify_cells<decltype(c)::value, std::uint16_t>(src, rows, cols, thresholds, cells, threads);
  });
}

template bool canny_edges(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, int, CannyThresholds,
                          std::uint16_t*, int) noexcept;
template bool canny_edges(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, int, CannyThresholds,
                          std::uint16_t*, int) noexcept;
template bool canny_cells(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, int, CannyThresholds,
                          std::uint8_t*, int) noexcept;
template bool canny_cells(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, int, CannyThresholds,
                          std::uint8_t*, int) noexcept;

}  // namespace pictor::kernels
