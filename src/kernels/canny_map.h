// The framed map of Canny's cell states and its hysteresis: the tracing that
// the whole-image detector and the row stripes' steps share.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kernels/parallel.h"

namespace pictor::kernels {

namespace detail {

// Weak cells of `here` next to an edge of the row above become edges.
void promote_under_edges(const std::uint8_t* __restrict above, std::uint8_t* __restrict here, std::ptrdiff_t cols);
// Marks (1) the weak cells of `above` next to an edge of the row below;
// returns whether there are any.
bool mark_weak_over_edges(const std::uint8_t* __restrict above, const std::uint8_t* __restrict here,
                          std::ptrdiff_t cols, std::uint8_t* __restrict marks);
// 65535 for the edge cells of a row, else 0.
void edge_samples(const std::uint8_t* cells, std::ptrdiff_t cols, std::uint16_t* out);

}  // namespace detail

namespace canny_map {

using Index = std::uint32_t;  // position in the framed edge map

// States of a map cell. A weak cell becomes an edge when the hysteresis
// reaches it. Bit 0 alone marks a weak cell and bit 1 an edge, which the
// word-wide tests below rely on; kWeak + 1 == kEdge promotes without a branch.
enum : std::uint8_t { kNotEdge = 0, kWeak = 1, kEdge = 2 };
// Rows of cells are read and written eight at a time; each row is padded to
// a whole number of such words plus a frame.
constexpr std::ptrdiff_t kCellsPerWord = 8;

inline std::ptrdiff_t map_stride(std::ptrdiff_t cols) {
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
// Cell states of three neighbouring cells, one byte each (cells hold 0, 1 or 2).
inline std::uint32_t three_cells(const std::uint8_t* cells) {
  return static_cast<std::uint32_t>(cells[0]) | static_cast<std::uint32_t>(cells[1]) << 8 |
         static_cast<std::uint32_t>(cells[2]) << 16;
}

// Promotes the weak cells among cells[first], cells[first + 1], cells[first + 2].
// Most traced cells have no weak neighbour left: one test settles three cells.
inline void promote_weak(std::uint8_t* cells, Index first, TraceStack& stack) {
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
inline void trace(EdgeMap& map, Band band, TraceStack& stack) {
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
inline std::uint64_t load_word(const std::uint8_t* cells) {
  std::uint64_t word;
  std::memcpy(&word, cells, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

inline void store_word(std::uint8_t* cells, std::uint64_t word) {
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
inline std::uint64_t fill_forward(std::uint64_t word, bool edge_before, bool& edge_last) {
  const std::uint64_t edges = ((word >> 1) & kLowBitOfEachCell) * 0xFF;
  const std::uint64_t occupied = ((word | (word >> 1)) & kLowBitOfEachCell) * 0xFF;
  const std::uint64_t seeds = edges | (occupied & (edge_before ? 0xFF : 0));
  const std::uint64_t reached = (occupied & ((occupied + seeds) ^ occupied ^ seeds)) | seeds;
  edge_last = (reached >> 56) != 0;
  return ((reached & kLowBitOfEachCell) << 1) | (occupied & ~reached & kLowBitOfEachCell);
}

// Every run of weak cells in row r that touches an edge of the row becomes edges.
inline void promote_along_row(std::uint8_t* cells, std::ptrdiff_t cols) {
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

inline void stack_edges_of_row(EdgeMap& map, std::ptrdiff_t r, std::ptrdiff_t cols, TraceStack& stack) {
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
inline void write_edges(EdgeMap& map, Band band, std::ptrdiff_t cols, std::uint16_t* out) {
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

}  // namespace canny_map

}  // namespace pictor::kernels
