#include "kernels/volume_filters.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/numeric.h"
#include "kernels/parallel.h"

namespace pictor::kernels {

std::ptrdiff_t extended_index(std::ptrdiff_t position, std::ptrdiff_t length, Extension mode) {
  const auto modulo = [](std::ptrdiff_t value, std::ptrdiff_t period) {
    const std::ptrdiff_t rest = value % period;
    return rest < 0 ? rest + period : rest;
  };
  switch (mode) {
    case Extension::Nearest:
      return std::clamp<std::ptrdiff_t>(position, 0, length - 1);
    case Extension::Wrap:
      return modulo(position, length);
    case Extension::Reflect: {
      const std::ptrdiff_t at = modulo(position, 2 * length);
      return at < length ? at : 2 * length - 1 - at;
    }
    case Extension::Mirror: {
      if (length == 1) return 0;
      const std::ptrdiff_t at = modulo(position, 2 * length - 2);
      return at < length ? at : 2 * length - 2 - at;
    }
  }
  return 0;
}

namespace {

// Lines along an axis other than the last go through in blocks of
// neighbouring lines (contiguous samples of one step), narrow enough that the
// float64 rows one output row reads stay in the first-level cache.
constexpr std::ptrdiff_t kBlockBytes = 48 * 1024;
constexpr std::ptrdiff_t kWidestBlock = 512;
constexpr std::ptrdiff_t kNarrowestBlock = 64;

// Outputs of one row summed side by side over every tap before they are
// stored, so that their sums stay in registers.
constexpr std::ptrdiff_t kTile = 32;

// The separable kernels are also built for AVX-512, which this kind of
// processor often has: the same IEEE operations (no FMA), so the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PICTOR_VOLUME_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define PICTOR_VOLUME_CLONES
#endif

// A float64 value stored as scipy stores it in an array of T: integers
// truncated towards zero (through a 32-bit integer, as x86 converts), floats
// rounded to nearest.
template <class T>
inline T stored(double value) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(static_cast<std::int32_t>(value));
  } else {
    return static_cast<T>(value);
  }
}

// The source index of every position from -before to length + after - 1.
std::vector<std::ptrdiff_t> extension_map(std::ptrdiff_t length, std::ptrdiff_t before, std::ptrdiff_t after,
                                          Extension mode) {
  std::vector<std::ptrdiff_t> map(static_cast<std::size_t>(length + before + after));
  for (std::ptrdiff_t position = -before; position < length + after; ++position) {
    map[static_cast<std::size_t>(position + before)] = extended_index(position, length, mode);
  }
  return map;
}

template <class T>
inline void convert_row(double* __restrict row, const T* __restrict samples, std::ptrdiff_t width) {
  for (std::ptrdiff_t k = 0; k < width; ++k) row[k] = static_cast<double>(samples[k]);
}

// A contiguous line read as float64 with its extension: extended[p] is
// position p - before; the positions inside the line are converted as one run.
template <class T>
PICTOR_VOLUME_CLONES void extended_line(const T* line, const std::ptrdiff_t* map, std::ptrdiff_t length,
                                        std::ptrdiff_t before, std::ptrdiff_t after, double* extended) {
  for (std::ptrdiff_t p = 0; p < before; ++p) extended[p] = static_cast<double>(line[map[p]]);
  convert_row(extended + before, line, length);
  for (std::ptrdiff_t p = before + length; p < before + length + after; ++p) {
    extended[p] = static_cast<double>(line[map[p]]);
  }
}

// The samples of an axis's lines that one block holds.
std::ptrdiff_t block_width(const AxisLayout& layout, std::ptrdiff_t rows_held) {
  if (layout.inner == 1) return 1;
  const std::ptrdiff_t fitting = kBlockBytes / (rows_held * std::ptrdiff_t{sizeof(double)}) / kNarrowestBlock;
  return std::min(layout.inner, std::clamp(fitting * kNarrowestBlock, kNarrowestBlock, kWidestBlock));
}

// The blocks of an axis's lines: `per_run` blocks of `width` samples in each
// of the `outer` runs (one line each along the last axis).
struct AxisBlocks {
  std::ptrdiff_t width, per_run, count;
  AxisBlocks(const AxisLayout& layout, std::ptrdiff_t rows_held)
      : width(block_width(layout, rows_held)),
        per_run((layout.inner + width - 1) / width),
        count(layout.outer * per_run) {}
};

// kTile float64 sums as whole vectors (GCC's vector extension, so that
// every clone keeps them in registers rather than vectorising across taps).
constexpr std::size_t kSumBytes = 64;
constexpr std::ptrdiff_t kSumLanes = kSumBytes / sizeof(double);
constexpr std::ptrdiff_t kTileVectors = kTile / kSumLanes;
typedef double Sums __attribute__((vector_size(kSumBytes)));

// The kSumLanes doubles at `at` (passed by reference: a vector return value
// would differ between the clones' calling conventions).
inline void load_sums(Sums& lanes, const double* at) { std::memcpy(&lanes, at, kSumBytes); }

// out[k] = rows[radius][k] * weights[radius] + the pairs
// (rows[radius - j][k] + rows[radius + j][k]) * weights[radius - j] from j =
// radius down to 1, for k < count: scipy's order of each output's sum.
template <class T>
PICTOR_VOLUME_CLONES void correlate_rows(const double* const* rows, const double* weights, std::ptrdiff_t radius,
                                         std::ptrdiff_t count, T* __restrict out) {
  const double centre_weight = weights[radius];
  std::ptrdiff_t k = 0;
  for (; k + kTile <= count; k += kTile) {
    Sums sums[kTileVectors];
    for (std::ptrdiff_t v = 0; v < kTileVectors; ++v) {
      load_sums(sums[v], rows[radius] + k + v * kSumLanes);
      sums[v] *= centre_weight;
    }
    for (std::ptrdiff_t j = radius; j >= 1; --j) {
      const double* left = rows[radius - j] + k;
      const double* right = rows[radius + j] + k;
      const double weight = weights[radius - j];
      for (std::ptrdiff_t v = 0; v < kTileVectors; ++v) {
        Sums pair, far_side;
        load_sums(pair, left + v * kSumLanes);
        load_sums(far_side, right + v * kSumLanes);
        sums[v] += (pair + far_side) * weight;
      }
    }
    double finished[kTile];
    std::memcpy(finished, sums, sizeof(finished));
    for (std::ptrdiff_t t = 0; t < kTile; ++t) out[k + t] = stored<T>(finished[t]);
  }
  for (; k < count; ++k) {
    double sum = rows[radius][k] * centre_weight;
    for (std::ptrdiff_t j = radius; j >= 1; --j) sum += (rows[radius - j][k] + rows[radius + j][k]) * weights[radius - j];
    out[k] = stored<T>(sum);
  }
}

// The samples from one ring row to the next: a block's width and a cache line
// more, so that rows of a power-of-two width do not fall on the same
// first-level cache sets.
constexpr std::ptrdiff_t ring_row(std::ptrdiff_t width) { return width + kSumLanes; }

// The block's extended rows are read as float64 once each, into a ring of
// the 2 * radius + 1 rows that one output row reads.
template <class T>
void correlate_block(const T* src, T* dst, std::ptrdiff_t length, std::ptrdiff_t inner, std::ptrdiff_t width,
                     const double* weights, std::ptrdiff_t radius, const std::ptrdiff_t* map, double* ring,
                     const double** rows) {
  const std::ptrdiff_t taps = 2 * radius + 1;
  const auto slot = [&](std::ptrdiff_t position) { return ring + (position % taps) * ring_row(width); };
  for (std::ptrdiff_t p = 0; p < 2 * radius; ++p) convert_row(slot(p), src + map[p] * inner, width);
  for (std::ptrdiff_t l = 0; l < length; ++l) {
    convert_row(slot(l + 2 * radius), src + map[l + 2 * radius] * inner, width);
    for (std::ptrdiff_t i = 0; i < taps; ++i) rows[i] = slot(l + i);
    correlate_rows(rows, weights, radius, width, dst + l * inner);
  }
}

template <class T>
inline void add_samples(double* __restrict sums, const T* __restrict row, std::ptrdiff_t width) {
  for (std::ptrdiff_t k = 0; k < width; ++k) sums[k] += static_cast<double>(row[k]);
}

template <class T>
inline void store_means(T* __restrict out, const double* __restrict sums, double divisor, std::ptrdiff_t width) {
  for (std::ptrdiff_t k = 0; k < width; ++k) out[k] = stored<T>(sums[k] / divisor);
}

template <class T>
inline void slide_sums(double* __restrict sums, const T* __restrict entering, const T* __restrict leaving,
                       std::ptrdiff_t width) {
  for (std::ptrdiff_t k = 0; k < width; ++k) {
    sums[k] += static_cast<double>(entering[k]) - static_cast<double>(leaving[k]);
  }
}

template <class T>
PICTOR_VOLUME_CLONES void uniform_block(const T* src, T* dst, std::ptrdiff_t length, std::ptrdiff_t inner,
                                        std::ptrdiff_t width, std::ptrdiff_t size, const std::ptrdiff_t* map,
                                        double* sums) {
  const double divisor = static_cast<double>(size);
  std::fill(sums, sums + width, 0.0);
  for (std::ptrdiff_t p = 0; p < size; ++p) add_samples(sums, src + map[p] * inner, width);
  store_means(dst, sums, divisor, width);
  for (std::ptrdiff_t l = 1; l < length; ++l) {
    slide_sums(sums, src + map[l - 1 + size] * inner, src + map[l - 1] * inner, width);
    store_means(dst + l * inner, sums, divisor, width);
  }
}

template <class T>
void uniform_line(const double* extended, T* out, std::ptrdiff_t length, std::ptrdiff_t size) {
  const double divisor = static_cast<double>(size);
  double sum = 0.0;
  for (std::ptrdiff_t p = 0; p < size; ++p) sum += extended[p];
  out[0] = stored<T>(sum / divisor);
  for (std::ptrdiff_t l = 1; l < length; ++l) {
    sum += extended[l - 1 + size] - extended[l - 1];
    out[l] = stored<T>(sum / divisor);
  }
}

// Runs the axis's blocks on the threads: each part makes its scratch once
// with start(width), then calls block(scratch, src_run, dst_run, width) for
// each of its blocks (src_run and dst_run at the block's first sample).
template <class T, class Start, class Block>
void over_blocks(const T* src, T* dst, const AxisLayout& layout, std::ptrdiff_t rows_held,
                 std::ptrdiff_t work_per_sample, int threads, Start&& start, Block&& block) {
  const AxisBlocks blocks(layout, rows_held);
  const std::ptrdiff_t run_samples = layout.length * layout.inner;
  split_rows(blocks.count, blocks.width * layout.length * work_per_sample, threads,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
               auto scratch = start(blocks.width);
               for (std::ptrdiff_t b = begin; b < end; ++b) {
                 const std::ptrdiff_t run = b / blocks.per_run;
                 const std::ptrdiff_t first = (b % blocks.per_run) * blocks.width;
                 const std::ptrdiff_t width = std::min(blocks.width, layout.inner - first);
                 block(scratch, src + run * run_samples + first, dst + run * run_samples + first, width);
               }
             });
}

}  // namespace

template <class T>
void correlate_symmetric_axis(const T* src, T* dst, AxisLayout layout, const double* weights, std::ptrdiff_t radius,
                              Extension mode, int threads) {
  if (layout.outer * layout.length * layout.inner == 0) return;
  const std::vector<std::ptrdiff_t> map = extension_map(layout.length, radius, radius, mode);
  const std::ptrdiff_t taps = 2 * radius + 1;
  const auto start = [&](std::ptrdiff_t width) {
    const std::ptrdiff_t held = layout.inner == 1 ? layout.length + 2 * radius : taps * ring_row(width);
    return std::make_pair(std::vector<double>(static_cast<std::size_t>(held)),
                          std::vector<const double*>(static_cast<std::size_t>(taps)));
  };
  over_blocks(src, dst, layout, taps, radius + 1, threads, start, [&](auto& scratch, const T* in, T* out,
                                                                        std::ptrdiff_t width) {
    auto& [held, rows] = scratch;
    if (layout.inner == 1) {
      extended_line(in, map.data(), layout.length, radius, radius, held.data());
      for (std::ptrdiff_t i = 0; i < taps; ++i) rows[static_cast<std::size_t>(i)] = held.data() + i;
      correlate_rows(rows.data(), weights, radius, layout.length, out);
    } else {
      correlate_block(in, out, layout.length, layout.inner, width, weights, radius, map.data(), held.data(),
                      rows.data());
    }
  });
}

template <class T>
void uniform_axis(const T* src, T* dst, AxisLayout layout, std::ptrdiff_t size, Extension mode, int threads) {
  if (layout.outer * layout.length * layout.inner == 0) return;
  const std::ptrdiff_t before = size / 2;
  const std::ptrdiff_t after = size - before - 1;
  const std::vector<std::ptrdiff_t> map = extension_map(layout.length, before, after, mode);
  const auto start = [&](std::ptrdiff_t width) {
    return std::vector<double>(static_cast<std::size_t>(layout.inner == 1 ? layout.length + size - 1 : width));
  };
  over_blocks(src, dst, layout, 1, 2, threads, start, [&](std::vector<double>& held, const T* in, T* out,
                                                          std::ptrdiff_t width) {
    if (layout.inner == 1) {
      extended_line(in, map.data(), layout.length, before, after, held.data());
      uniform_line(held.data(), out, layout.length, size);
    } else {
      uniform_block(in, out, layout.length, layout.inner, width, size, map.data(), held.data());
    }
  });
}

// ------------------------------------------------------------------ median

std::vector<NetworkStep> selection_network(int inputs, int rank) {
  // Batcher's odd-even merge sort over the next power of two, without the
  // comparators that touch wires beyond the inputs (as if those held +inf).
  int wires = 1;
  while (wires < inputs) wires <<= 1;
  std::vector<std::pair<int, int>> comparators;
  for (int p = 1; p < wires; p <<= 1) {
    for (int k = p; k >= 1; k >>= 1) {
      for (int j = k % p; j <= wires - 1 - k; j += 2 * k) {
        for (int i = 0; i <= std::min(k - 1, wires - j - k - 1); ++i) {
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < inputs) {
            comparators.emplace_back(i + j, i + j + k);
          }
        }
      }
    }
  }
  // Backwards from the wanted wire: keep what reaches it, and only the side it needs.
  std::vector<bool> needed(static_cast<std::size_t>(inputs), false);
  needed[static_cast<std::size_t>(rank)] = true;
  std::vector<NetworkStep> steps;
  for (auto it = comparators.rbegin(); it != comparators.rend(); ++it) {
    const auto [low, high] = *it;
    const bool low_needed = needed[static_cast<std::size_t>(low)];
    const bool high_needed = needed[static_cast<std::size_t>(high)];
    if (!low_needed && !high_needed) continue;
    const std::uint8_t kind = low_needed && high_needed ? 0 : low_needed ? 1 : 2;
    steps.push_back({static_cast<std::uint16_t>(low), static_cast<std::uint16_t>(high), kind});
    needed[static_cast<std::size_t>(low)] = needed[static_cast<std::size_t>(high)] = true;
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

namespace {

// Outputs computed side by side by one pass of the network.
constexpr std::ptrdiff_t kLanes = 64;
// Windows of more samples take a selection per output instead of the network.
constexpr int kLargestNetwork = 512;

// kLanes samples of a wire as whole vectors (GCC's vector extension, so that
// every clone keeps the comparisons in registers), compared as std::min and
// std::max compare.
constexpr std::size_t kVectorBytes = 32;
template <class T>
struct VectorOf {
  typedef T type __attribute__((vector_size(kVectorBytes)));
};

template <class T>
PICTOR_ALSO_FOR_AVX2 void run_network(T* values, const NetworkStep* steps, std::size_t count) {
  constexpr std::ptrdiff_t vector_lanes = kVectorBytes / sizeof(T);
  for (std::size_t s = 0; s < count; ++s) {
    T* low = values + steps[s].low * kLanes;
    T* high = values + steps[s].high * kLanes;
    const std::uint8_t kind = steps[s].kind;
    for (std::ptrdiff_t l = 0; l < kLanes; l += vector_lanes) {
      using Lanes = typename VectorOf<T>::type;
      static_assert(sizeof(Lanes) == kVectorBytes);
      Lanes a, b;
      std::memcpy(&a, low + l, kVectorBytes);
      std::memcpy(&b, high + l, kVectorBytes);
      const Lanes smaller = b < a ? b : a;
      const Lanes larger = a < b ? b : a;
      if (kind != 2) std::memcpy(low + l, &smaller, kVectorBytes);
      if (kind != 1) std::memcpy(high + l, &larger, kVectorBytes);
    }
  }
}

struct MedianWindow {
  std::ptrdiff_t shape[3], sizes[3], samples, rank;
  std::vector<std::ptrdiff_t> maps[3];  // maps[a][p]: source index of position p - sizes[a] / 2
  std::vector<NetworkStep> network;
};

// Each window row (z, y) of output row (z, y) with its x extension, kLanes
// spare samples at the end.
template <class T>
void extended_rows(const T* volume, const MedianWindow& window, std::ptrdiff_t z, std::ptrdiff_t y, T* rows,
                   std::ptrdiff_t row_length) {
  const std::ptrdiff_t cols = window.shape[2];
  const std::ptrdiff_t before = window.sizes[2] / 2;
  const std::ptrdiff_t* x_map = window.maps[2].data();
  for (std::ptrdiff_t dz = 0; dz < window.sizes[0]; ++dz) {
    for (std::ptrdiff_t dy = 0; dy < window.sizes[1]; ++dy) {
      const T* row = volume + (window.maps[0][z + dz] * window.shape[1] + window.maps[1][y + dy]) * cols;
      T* extended = rows + (dz * window.sizes[1] + dy) * row_length;
      for (std::ptrdiff_t p = 0; p < before; ++p) extended[p] = row[x_map[p]];
      std::memcpy(extended + before, row, static_cast<std::size_t>(cols) * sizeof(T));
      for (std::ptrdiff_t p = before + cols; p < cols + window.sizes[2] - 1; ++p) extended[p] = row[x_map[p]];
      std::fill(extended + cols + window.sizes[2] - 1, extended + row_length, T{});
    }
  }
}

template <class T>
void median_row_by_network(const T* rows, std::ptrdiff_t row_length, const MedianWindow& window, T* values,
                           T* out) {
  const std::ptrdiff_t cols = window.shape[2];
  const std::ptrdiff_t window_rows = window.sizes[0] * window.sizes[1];
  for (std::ptrdiff_t x0 = 0; x0 < cols; x0 += kLanes) {
    T* wire = values;
    for (std::ptrdiff_t r = 0; r < window_rows; ++r) {
      for (std::ptrdiff_t dx = 0; dx < window.sizes[2]; ++dx, wire += kLanes) {
        std::memcpy(wire, rows + r * row_length + x0 + dx, kLanes * sizeof(T));
      }
    }
    run_network(values, window.network.data(), window.network.size());
    const std::ptrdiff_t count = std::min(kLanes, cols - x0);
    std::memcpy(out + x0, values + window.rank * kLanes, static_cast<std::size_t>(count) * sizeof(T));
  }
}

template <class T>
void median_row_by_selection(const T* rows, std::ptrdiff_t row_length, const MedianWindow& window, T* values,
                             T* out) {
  const std::ptrdiff_t window_rows = window.sizes[0] * window.sizes[1];
  for (std::ptrdiff_t x = 0; x < window.shape[2]; ++x) {
    T* value = values;
    for (std::ptrdiff_t r = 0; r < window_rows; ++r) {
      value = std::copy(rows + r * row_length + x, rows + r * row_length + x + window.sizes[2], value);
    }
    std::nth_element(values, values + window.rank, values + window.samples);
    out[x] = values[window.rank];
  }
}

}  // namespace

template <class T>
void median_volumes(const T* src, T* dst, std::ptrdiff_t batch, const std::ptrdiff_t shape[3],
                    const std::ptrdiff_t sizes[3], const Extension modes[3], int threads) {
  MedianWindow window;
  window.samples = 1;
  for (int a = 0; a < 3; ++a) {
    window.shape[a] = shape[a];
    window.sizes[a] = sizes[a];
    window.samples *= sizes[a];
  }
  const std::ptrdiff_t plane_rows = shape[0] * shape[1];
  if (batch * plane_rows * shape[2] == 0) return;
  for (int a = 0; a < 3; ++a) {
    window.maps[a] = extension_map(shape[a], sizes[a] / 2, sizes[a] - sizes[a] / 2 - 1, modes[a]);
  }
  window.rank = window.samples / 2;
  const bool by_network = window.samples <= kLargestNetwork;
  if (by_network) window.network = selection_network(static_cast<int>(window.samples), static_cast<int>(window.rank));
  const std::ptrdiff_t row_length = shape[2] + sizes[2] - 1 + kLanes;
  split_rows(batch * plane_rows, shape[2] * window.samples, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    std::vector<T> rows(static_cast<std::size_t>(sizes[0] * sizes[1] * row_length));
    std::vector<T> values(static_cast<std::size_t>(window.samples * (by_network ? kLanes : 1)));
    for (std::ptrdiff_t row = begin; row < end; ++row) {
      const std::ptrdiff_t volume = row / plane_rows;
      const std::ptrdiff_t z = row % plane_rows / shape[1];
      const std::ptrdiff_t y = row % shape[1];
      extended_rows(src + volume * plane_rows * shape[2], window, z, y, rows.data(), row_length);
      T* out = dst + row * shape[2];
      if (by_network) {
        median_row_by_network(rows.data(), row_length, window, values.data(), out);
      } else {
        median_row_by_selection(rows.data(), row_length, window, values.data(), out);
      }
    }
  });
}

#define PICTOR_VOLUME_FILTERS(T)                                                                                   \
  template void correlate_symmetric_axis<T>(const T*, T*, AxisLayout, const double*, std::ptrdiff_t, Extension,   \
                                            int);                                                                  \
  template void uniform_axis<T>(const T*, T*, AxisLayout, std::ptrdiff_t, Extension, int);                         \
  template void median_volumes<T>(const T*, T*, std::ptrdiff_t, const std::ptrdiff_t[3], const std::ptrdiff_t[3], \
                                  const Extension[3], int);
PICTOR_VOLUME_FILTERS(std::uint8_t)
PICTOR_VOLUME_FILTERS(std::uint16_t)
PICTOR_VOLUME_FILTERS(float)
#undef PICTOR_VOLUME_FILTERS

}  // namespace pictor::kernels
