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

namespace pictor::kernels {

namespace {

using Index = std::uint32_t;  // position in the framed edge map

// States of a map cell. A weak cell becomes an edge when the hysteresis
// reaches it. Bit 0 alone marks a weak cell and bit 1 an edge, which the
// word-wide tests below rely on; kWeak + 1 == kEdge promotes without a branch.
enum : std::uint8_t { kNotEdge = 0, kWeak = 1, kEdge = 2 };

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

// Rows of cells are read and written eight at a time; each row is padded to
// a whole number of such words plus a frame.
constexpr std::ptrdiff_t kCellsPerWord = 8;

std::ptrdiff_t map_stride(std::ptrdiff_t cols) {
  return (cols + kCellsPerWord - 1) / kCellsPerWord * kCellsPerWord + kCellsPerWord;
}

// The cell states of the whole image inside a frame of kNotEdge cells, so
// that every pixel has eight neighbours to look at.
class EdgeMap {
 public:
  EdgeMap(std::ptrdiff_t rows, std::ptrdiff_t cols)
      : stride_(map_stride(cols)), cells_(new std::uint8_t[static_cast<std::size_t>((rows + 2) * stride_)]) {
    std::memset(cells_.get(), kNotEdge, static_cast<std::size_t>(stride_));
    std::memset(row(rows) - 1, kNotEdge, static_cast<std::size_t>(stride_));
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
      row(r)[-1] = kNotEdge;
      std::memset(row(r) + cols, kNotEdge, static_cast<std::size_t>(stride_ - 1 - cols));
    }
  }
  // Cells of image row r (r = -1 and r = rows are the frame).
  std::uint8_t* row(std::ptrdiff_t r) { return cells_.get() + (r + 1) * stride_ + 1; }
  Index index(std::ptrdiff_t r, std::ptrdiff_t c) const { return static_cast<Index>((r + 1) * stride_ + 1 + c); }
  std::uint8_t* cells() { return cells_.get(); }
  std::ptrdiff_t stride() const { return stride_; }

 private:
  std::ptrdiff_t stride_;
  std::unique_ptr<std::uint8_t[]> cells_;
};

// Edge cells whose neighbours are still to be traced.
class TraceStack {
 public:
  void make_room(std::size_t count) {
    if (top_ + count > cells_.size()) cells_.resize(std::max(cells_.size() * 2, top_ + count));
  }
  // Room must have been made.
  void push(Index index) { cells_[top_++] = index; }
  bool empty() const { return top_ == 0; }
  Index pop() { return cells_[--top_]; }

 private:
  std::vector<Index> cells_;
  std::size_t top_ = 0;
};

// Rows [begin, end) of the image, traced by one thread.
struct Band {
  std::ptrdiff_t begin;
  std::ptrdiff_t end;
};

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

// Cell states of three neighbouring cells, one byte each (cells hold 0, 1 or 2).
std::uint32_t three_cells(const std::uint8_t* cells) {
  return static_cast<std::uint32_t>(cells[0]) | static_cast<std::uint32_t>(cells[1]) << 8 |
         static_cast<std::uint32_t>(cells[2]) << 16;
}

// Promotes the weak cells among cells[first], cells[first + 1], cells[first + 2].
// Most traced cells have no weak neighbour left: one test settles three cells.
void promote_weak(std::uint8_t* cells, Index first, TraceStack& stack) {
  const std::uint32_t states = three_cells(cells + first);
  for (std::uint32_t weak = states & ~(states >> 1) & 0x010101u; weak != 0; weak &= weak - 1) {
    const Index at = first + static_cast<Index>(std::countr_zero(weak) >> 3);
    cells[at] = kEdge;
    stack.push(at);
  }
}

// Promotes the weak neighbours of every stacked edge cell, and theirs in
// turn, within the rows [band.begin, band.end) classified so far. Cells of
// the band's last row do not look down: the row below is not ready yet.
void trace(EdgeMap& map, Band band, TraceStack& stack) {
  std::uint8_t* cells = map.cells();
  const Index stride = static_cast<Index>(map.stride());
  const Index below_first_row = map.index(band.begin, map.stride() - 2);
  const Index above_last_row = map.index(band.end - 1, -1);
  while (!stack.empty()) {
    stack.make_room(8);
    const Index at = stack.pop();
    promote_weak(cells, at - 1, stack);
    if (at > below_first_row) promote_weak(cells, at - stride - 1, stack);
    if (at < above_last_row) promote_weak(cells, at + stride - 1, stack);
  }
}

// Eight cells as one word, the first cell in the lowest byte.
std::uint64_t load_word(const std::uint8_t* cells) {
  std::uint64_t word;
  std::memcpy(&word, cells, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

void store_word(std::uint8_t* cells, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::memcpy(cells, &word, sizeof word);
}

constexpr std::uint64_t kLowBitOfEachCell = 0x0101010101010101u;

// Weak cells of a word reached from its edges (and from an edge just before
// its first cell when `edge_before`) through runs of weak cells towards its
// last cell. Cells are widened to whole bytes of ones, so that the carry of
// an addition runs from each edge through the weak cells above it:
// A + S = (A ^ S) + 2S for S within A, and the bits the carries change are
// the cells each run reaches.
std::uint64_t fill_forward(std::uint64_t word, bool edge_before, bool& edge_last) {
  const std::uint64_t edges = ((word >> 1) & kLowBitOfEachCell) * 0xFF;
  const std::uint64_t occupied = ((word | (word >> 1)) & kLowBitOfEachCell) * 0xFF;
  const std::uint64_t seeds = edges | (occupied & (edge_before ? 0xFF : 0));
  const std::uint64_t reached = (occupied & ((occupied + seeds) ^ occupied ^ seeds)) | seeds;
  edge_last = (reached >> 56) != 0;
  return ((reached & kLowBitOfEachCell) << 1) | (occupied & ~reached & kLowBitOfEachCell);
}

// Every run of weak cells in row r that touches an edge of the row becomes edges.
void promote_along_row(std::uint8_t* cells, std::ptrdiff_t cols) {
  const std::ptrdiff_t words = (cols + kCellsPerWord - 1) / kCellsPerWord;
  bool edge_before = false;
  for (std::ptrdiff_t w = 0; w < words; ++w) {
    std::uint8_t* at = cells + w * kCellsPerWord;
    store_word(at, fill_forward(load_word(at), edge_before, edge_before));
  }
  // Backwards: the same fill on byte-reversed words.
  edge_before = false;
  for (std::ptrdiff_t w = words - 1; w >= 0; --w) {
    std::uint8_t* at = cells + w * kCellsPerWord;
    store_word(at, __builtin_bswap64(fill_forward(__builtin_bswap64(load_word(at)), edge_before, edge_before)));
  }
}

// Calls visit(column) for every nonzero byte of bytes[0, count).
template <class Visit>
void for_each_set(const std::uint8_t* bytes, std::ptrdiff_t count, Visit&& visit) {
  std::ptrdiff_t j = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; j + 8 <= count; j += 8) {
      for (std::uint64_t set = load_word(bytes + j); set != 0;) {
        const std::ptrdiff_t byte = std::countr_zero(set) >> 3;
        visit(j + byte);
        set &= ~(std::uint64_t{0xFF} << (8 * byte));
      }
    }
  }
  for (; j < count; ++j) {
    if (bytes[j] != 0) visit(j);
  }
}

void stack_edges_of_row(EdgeMap& map, std::ptrdiff_t r, std::ptrdiff_t cols, TraceStack& stack) {
  stack.make_room(static_cast<std::size_t>(cols));
  const Index start = map.index(r, 0);
  const std::uint8_t* cells = map.row(r);
  for_each_set(cells, cols, [&](std::ptrdiff_t j) {
    if (cells[j] == kEdge) stack.push(start + static_cast<Index>(j));
  });
}

// Hysteresis of a band, one row at a time while the rows are in cache. Before
// row r, rows [band.begin, r) are closed: no weak cell there touches an edge.
// Row r takes the edges from above and along itself in bulk; the rarer weak
// cells above that now touch an edge of row r are traced cell by cell.
class BandTracer {
 public:
  BandTracer(EdgeMap& map, Band band, std::ptrdiff_t cols)
      : map_(map), band_(band), cols_(cols), marks_(static_cast<std::size_t>(cols)) {}

  void close_row(std::ptrdiff_t r) {
    std::uint8_t* here = map_.row(r);
    if (r > band_.begin) detail::promote_under_edges(map_.row(r - 1), here, cols_);
    promote_along_row(here, cols_);
    if (r > band_.begin && detail::mark_weak_over_edges(map_.row(r - 1), here, cols_, marks_.data())) {
      trace_marked_above(r);
    }
  }

 private:
  void trace_marked_above(std::ptrdiff_t r) {
    std::uint8_t* cells = map_.cells();
    const Index start = map_.index(r - 1, 0);
    stack_.make_room(static_cast<std::size_t>(cols_));
    for_each_set(marks_.data(), cols_, [&](std::ptrdiff_t j) {
      const Index at = start + static_cast<Index>(j);
      if (cells[at] != kWeak) return;  // reached meanwhile by an earlier trace
      cells[at] = kEdge;
      stack_.push(at);
    });
    trace(map_, Band{band_.begin, r + 1}, stack_);
  }

  EdgeMap& map_;
  Band band_;
  std::ptrdiff_t cols_;
  std::vector<std::uint8_t> marks_;
  TraceStack stack_;
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

void write_edges(EdgeMap& map, Band band, std::ptrdiff_t cols, std::uint16_t* out) {
  for (std::ptrdiff_t r = band.begin; r < band.end; ++r) detail::edge_samples(map.row(r), cols, out + r * cols);
}

// Calls `work` and reports whether it finished without running out of memory.
template <class Work>
bool completed(Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (...) {
    return false;
  }
}

// Hysteresis of the whole map, written to `out` when given: trace_band(band) fills the
// band's rows and traces them (a BandTracer closing each row as it comes).
// Bands are traced apart; an edge reaching across a seam continues from the
// seam's two rows over the whole image, which completes the connected
// components exactly.
template <class TraceBand>
void trace_image(EdgeMap& map, std::ptrdiff_t rows, std::ptrdiff_t cols, int threads, TraceBand&& trace_band,
                 std::uint16_t* out) {
  const Band image{0, rows};
  const int parts = rows < 2 ? 1 : part_count(rows, cols, threads);
  if (parts == 1) {
    trace_band(image);
    if (out != nullptr) write_edges(map, image, cols, out);
    return;
  }
  split_rows(rows, cols, threads,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) { trace_band(Band{begin, end}); });
  TraceStack seams;
  for (int part = 1; part < parts; ++part) {
    const std::ptrdiff_t seam = part_start(rows, part, parts);
    stack_edges_of_row(map, seam - 1, cols, seams);
    stack_edges_of_row(map, seam, cols, seams);
  }
  trace(map, image, seams);
  if (out == nullptr) return;
  split_rows(rows, cols, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    write_edges(map, Band{begin, end}, cols, out);
  });
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

// A stripe's row of given cells in the map; states above kEdge count as edges.
void copy_cells(const std::uint8_t* __restrict given, std::ptrdiff_t cols, std::uint8_t* __restrict cells) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) cells[j] = std::min<std::uint8_t>(given[j], kEdge);
}

// Weak cells where `seeds` is nonzero become edges.
void promote_seeded(const std::uint8_t* __restrict seeds, std::ptrdiff_t cols, std::uint8_t* __restrict cells) {
  for (std::ptrdiff_t j = 0; j < cols; ++j) {
    cells[j] = static_cast<std::uint8_t>(cells[j] + ((cells[j] == kWeak) & (seeds[j] != 0)));
  }
}

// The components of a stripe's cells that touch its first or last row, on
// the map of the stripe's own hysteresis. Every edge cell of those rows is
// kept whatever else it joins, so they all share label 1, which holds a
// strong cell; the weak cells left are 8-connected components without one
// (no weak cell borders an edge once traced), numbered from 2 as met along
// the first row, then the last.
class BoundaryLabeller {
 public:
  static constexpr std::int32_t kEdgeLabel = 1;

  BoundaryLabeller(EdgeMap& map, std::ptrdiff_t rows, std::ptrdiff_t cols)
      : map_(map), rows_(rows), cols_(cols), strong_{0, 1} {}

  void label(std::int32_t* top_labels, std::int32_t* bottom_labels) {
    std::fill(top_labels, top_labels + cols_, 0);
    std::fill(bottom_labels, bottom_labels + cols_, 0);
    for (const std::ptrdiff_t r : {std::ptrdiff_t{0}, rows_ - 1}) {
      for (std::ptrdiff_t j = 0; j < cols_; ++j) {
        const std::uint8_t cell = map_.row(r)[j];
        if (cell == kEdge) {
          if (r == 0) top_labels[j] = kEdgeLabel;
          if (r == rows_ - 1) bottom_labels[j] = kEdgeLabel;
        } else if (cell == kWeak) {
          label_component(map_.index(r, j), top_labels, bottom_labels);
        }
      }
    }
  }
  std::vector<std::uint8_t>& strong() { return strong_; }

 private:
  // Visits the weak component from `seed`, clearing its cells so each is visited once.
  void label_component(Index seed, std::int32_t* top_labels, std::int32_t* bottom_labels) {
    const auto label = static_cast<std::int32_t>(strong_.size());
    std::uint8_t* cells = map_.cells();
    const auto stride = static_cast<Index>(map_.stride());
    const Index first_row = map_.index(0, 0);
    const Index last_row = map_.index(rows_ - 1, 0);
    const Index neighbours[] = {1, stride - 1, stride, stride + 1};  // and their negatives
    cells[seed] = kNotEdge;
    stack_.push_back(seed);
    while (!stack_.empty()) {
      const Index at = stack_.back();
      stack_.pop_back();
      if (at - first_row < static_cast<Index>(cols_)) top_labels[at - first_row] = label;
      if (at - last_row < static_cast<Index>(cols_)) bottom_labels[at - last_row] = label;
      for (const Index step : neighbours) {
        for (const Index next : {at + step, at - step}) {
          if (cells[next] != kWeak) continue;
          cells[next] = kNotEdge;
          stack_.push_back(next);
        }
      }
    }
    strong_.push_back(0);
  }

  EdgeMap& map_;
  std::ptrdiff_t rows_;
  std::ptrdiff_t cols_;
  std::vector<std::uint8_t> strong_;
  std::vector<Index> stack_;
};

}  // namespace

bool canny_fits(std::ptrdiff_t rows, std::ptrdiff_t cols) {
  constexpr std::ptrdiff_t kMaxCells = std::numeric_limits<Index>::max();
  return rows >= 1 && cols >= 1 && rows <= kMaxCells && cols <= kMaxCells - 2 * kCellsPerWord &&
         (rows + 2) <= kMaxCells / map_stride(cols);
}

template <class T>
bool canny_edges(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint16_t* out, int threads) noexcept {
  return channels == 3 ? detect_edges<3, std::uint8_t>(src, rows, cols, thresholds, out, threads)
                       : detect_edges<1, std::uint8_t>(src, rows, cols, thresholds, out, threads);
}

bool canny_edges_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint16_t* out, int threads) noexcept {
  return channels == 3 ? detect_edges<3, std::uint16_t>(src, rows, cols, thresholds, out, threads)
                       : detect_edges<1, std::uint16_t>(src, rows, cols, thresholds, out, threads);
}

template <class T>
bool canny_cells(const T* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels, CannyThresholds thresholds,
                 std::uint8_t* cells, int threads) noexcept {
  return channels == 3 ? classify_cells<3, std::uint8_t>(src, rows, cols, thresholds, cells, threads)
                       : classify_cells<1, std::uint8_t>(src, rows, cols, thresholds, cells, threads);
}

bool canny_cells_of_levels(const std::uint16_t* src, std::ptrdiff_t rows, std::ptrdiff_t cols, int channels,
                           CannyThresholds thresholds, std::uint8_t* cells, int threads) noexcept {
  return channels == 3 ? classify_cells<3, std::uint16_t>(src, rows, cols, thresholds, cells, threads)
                       : classify_cells<1, std::uint16_t>(src, rows, cols, thresholds, cells, threads);
}

// The stripe's map, traced from its strong cells and the seeded cells of its end rows.
void trace_stripe(EdgeMap& map, const std::uint8_t* cells, std::ptrdiff_t rows, std::ptrdiff_t cols,
                  const std::uint8_t* top_seeds, const std::uint8_t* bottom_seeds, std::uint16_t* out, int threads) {
  const auto copy_and_trace = [&](Band band) {
    BandTracer tracer(map, band, cols);
    for (std::ptrdiff_t r = band.begin; r < band.end; ++r) {
      copy_cells(cells + r * cols, cols, map.row(r));
      if (r == 0 && top_seeds != nullptr) promote_seeded(top_seeds, cols, map.row(r));
      if (r == rows - 1 && bottom_seeds != nullptr) promote_seeded(bottom_seeds, cols, map.row(r));
      tracer.close_row(r);
    }
  };
  trace_image(map, rows, cols, threads, copy_and_trace, out);
}

bool canny_stripe_summary(const std::uint8_t* cells, std::ptrdiff_t rows, std::ptrdiff_t cols,
                          std::int32_t* top_labels, std::int32_t* bottom_labels, std::vector<std::uint8_t>& strong,
                          int threads) noexcept {
  return completed([&] {
    EdgeMap map(rows, cols);
    trace_stripe(map, cells, rows, cols, nullptr, nullptr, nullptr, threads);
    BoundaryLabeller labeller(map, rows, cols);
    labeller.label(top_labels, bottom_labels);
    strong = std::move(labeller.strong());
  });
}

bool canny_stripe_edges(const std::uint8_t* cells, std::ptrdiff_t rows, std::ptrdiff_t cols,
                        const std::uint8_t* top_seeds, const std::uint8_t* bottom_seeds, std::uint16_t* out,
                        int threads) noexcept {
  return completed([&] {
    EdgeMap map(rows, cols);
    trace_stripe(map, cells, rows, cols, top_seeds, bottom_seeds, out, threads);
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
