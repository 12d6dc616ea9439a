// Canny's hysteresis on row stripes: what the rest of the image needs of a
// stripe (its end rows' components), and its edges seeded at its end rows.
#include "kernels/canny.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/canny_map.h"

namespace pictor::kernels {

using namespace canny_map;

namespace {

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

}  // namespace

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

}  // namespace pictor::kernels
