// pictor._chunked's steps of Canny on row stripes. Unlike the other chunk
// steps, a stripe is worth splitting over the call's threads: the pipeline
// engine hands over one stripe at a time, and the thread budget is shared,
// so Dask's workers do not oversubscribe the cores.
#include "tools/canny_steps.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "frame/ndarray.h"
#include "frame/split_work.h"
#include "full_depth/families.h"
#include "tools/feature_detection.h"
#include "kernels/canny.h"
#include "kernels/histogram16.h"
#include "tool/keywords.h"
#include "tool/python.h"

namespace pictor::canny_steps {

const char kCellsDoc[] =
    "canny_cells(window, low_thr, high_thr, full_depth) -> uint8 array (rows, cols)\n\n"
    "The cell states canny_edge assigns before its hysteresis (0 none, 1 weak candidate, 2 strong), of a\n"
    "window of rows of a grey or 3-channel uint8 or uint16 image: on the tool's 8-bit working copy\n"
    "(full_depth False) or at full depth (uint16 windows only) on the image's range levels, full_depth being\n"
    "the whole image's range (lowest, step, span) (pictor._full_depth.level_range of its level counts;\n"
    "True: the full range (0, 1, 65535)). low_thr and high_thr are canny_edge's keywords, read as the whole\n"
    "call reads them (ordered, floored; full depth scales them by span / 255); thresholds the tool leaves to cv2.Canny (anything but an exact int or float, beyond 2**30,\n"
    "NaN) raise ValueError. Rows 3 or more from a cut (an end of the window that is not the image's) equal\n"
    "the whole image's. Runs without the GIL, its rows split over cv2.getNumThreads() threads.";

const char kStripeSummaryDoc[] =
    "canny_stripe_summary(cells) -> (top_labels, bottom_labels, strong, count)\n\n"
    "What the rest of the image needs of a stripe's hysteresis (canny_cells' rows of it): top_labels and\n"
    "bottom_labels (int32[cols]) give the component of each cell of its first and last rows (0 for none,\n"
    "1 to count), strong (bool[count + 1], strong[0] False) whether each holds a strong cell. The edges of\n"
    "the stripe's own hysteresis on those rows share label 1 (strong): they are kept whatever they join.\n"
    "Each component of weak cells left that touches those rows has a label of its own, so count is at\n"
    "most cols + 2 however noisy the image. Cells above 2 count as strong. Runs without the GIL, its rows\n"
    "split over cv2.getNumThreads() threads.";

const char kStripeEdgesDoc[] =
    "canny_stripe_edges(cells, top_seeds, bottom_seeds) -> uint16 array (rows, cols)\n\n"
    "The stripe's hysteresis: 65535 on its cells 8-connected through nonzero cells to one of its strong\n"
    "cells or to a seed, else 0. The seeds are the nonzero cells of its first row where top_seeds\n"
    "(bool[cols]) is True and of its last row where bottom_seeds is (pictor.stream.canny.stripe_seeds).\n"
    "Cells above 2 count as strong. Runs without the GIL, its rows split over cv2.getNumThreads() threads.";

namespace {

constexpr npy_intp kColourChannels = 3;


// The thresholds canny_edge applies: the tool's (8-bit working copy) or full
// depth's (range levels spanning `range`, uint16 windows only).
kernels::CannyThresholds canny_thresholds(const Array& window, PyObject* low_thr, PyObject* high_thr,
                                          const std::optional<kernels::LevelRange>& range) {
  if (range) {
    if (window.type() != NPY_USHORT) raise(PyExc_TypeError, "canny_cells at full depth takes uint16 windows");
    return full_depth::canny_level_thresholds(low_thr, high_thr, range->span);
  }
  const std::optional<kernels::CannyThresholds> thresholds =
      canny_working_thresholds(Ref::borrow(low_thr), Ref::borrow(high_thr));
  if (!thresholds) raise(PyExc_ValueError, "canny_cells: the tool leaves these thresholds to cv2.Canny");
  return *thresholds;
}

// Grey (rows, cols) and, where `colour` allows, (rows, cols, 3) arrays that the detector's map can index.
void require_canny_layout(const Array& image, bool colour, const char* message) {
  const bool layout = image.ndim() == 2 || (colour && image.ndim() == 3 && image.shape()[2] == kColourChannels);
  if (!layout || !kernels::canny_fits(image.shape()[0], image.shape()[1])) raise(PyExc_ValueError, message);
}

void require_memory(bool done) {
  if (done) return;
  PyErr_NoMemory();
  throw PyError{Where::current()};
}

Array stripe_cells(PyObject* cells_array, const char* what) {
  Array cells = contiguous_as(cells_array, NPY_UBYTE);
  require_canny_layout(cells, false, what);
  return cells;
}

Array row_seeds(PyObject* seeds_array, npy_intp cols) {
  Array seeds = contiguous_as(seeds_array, NPY_BOOL);
  if (seeds.ndim() != 1 || seeds.size() != cols) raise(PyExc_ValueError, "canny_stripe_edges: one seed per column");
  return seeds;
}

}  // namespace

// The whole image's range that canny_cells' full_depth names, or none (the working copy).
std::optional<kernels::LevelRange> full_depth_range(PyObject* full_depth) {
  if (PyTuple_Check(full_depth)) {
    constexpr long kFullSpan = kernels::kLevels16 - 1;
    const std::array<Ref, 3> values = unpack<3>(full_depth);
    std::array<long, 3> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      const std::optional<long long> number = exact_python_int(values[i].get());
      if (!number || *number < 0 || *number > kFullSpan) {
        raise(PyExc_ValueError, "canny_cells: full_depth must be a range (lowest, step, span) of 16-bit levels");
      }
      numbers[i] = static_cast<long>(*number);
    }
    const kernels::LevelRange range{numbers[0], numbers[1], numbers[2]};
    if (range.lowest < 0 || range.step < 1 || range.span < 0 || range.level(range.span) > kFullSpan) {
      raise(PyExc_ValueError, "canny_cells: full_depth must be a range (lowest, step, span) of 16-bit levels");
    }
    return range;
  }
  const int at_full_depth = PyObject_IsTrue(full_depth);
  if (at_full_depth < 0) rethrow();
  if (at_full_depth == 0) return std::nullopt;
  return kernels::LevelRange{0, 1, kernels::kLevels16 - 1};
}

// The window's samples as range levels (the window itself on the identity range).
Array window_on_range(const Array& image, const kernels::LevelRange& range) {
  if (range.is_identity()) return image;
  Array levels = new_array_like(image, NPY_USHORT);
  const std::uint16_t* samples = image.data<std::uint16_t>();
  const auto lowest = static_cast<std::uint16_t>(range.lowest);
  const std::uint16_t top = static_cast<std::uint16_t>(range.level(range.span));
  for (npy_intp i = 0; i < image.size(); ++i) {
    if (samples[i] < lowest || samples[i] > top || (samples[i] - lowest) % range.step != 0) {
      raise(PyExc_ValueError, "canny_cells: a sample lies outside the range given as full_depth");
    }
  }
  kernels::to_range_levels16(samples, levels.data<std::uint16_t>(), image.size(), range, call_threads(image.size()));
  return levels;
}

// canny_cells(window, low_thr, high_thr, full_depth): see kCellsDoc.
Ref canny_cells(PyObject* window, PyObject* low_thr, PyObject* high_thr, PyObject* full_depth) {
  Array image = contiguous(window);
  const std::optional<kernels::LevelRange> range = full_depth_range(full_depth);
  const bool at_full_depth = range.has_value();
  if (image.type() != NPY_UBYTE && image.type() != NPY_USHORT) {
    raise(PyExc_TypeError, "canny_cells takes uint8 or uint16 samples");
  }
  require_canny_layout(image, true, "canny_cells takes a non-empty grey or 3-channel window");
  const kernels::CannyThresholds thresholds = canny_thresholds(image, low_thr, high_thr, range);
  if (range) image = window_on_range(image, *range);
  const npy_intp rows = image.shape()[0];
  const npy_intp cols = image.shape()[1];
  const int channels = image.ndim() == 3 ? static_cast<int>(kColourChannels) : 1;
  Array cells = new_array(2, image.shape(), NPY_UBYTE);
  const int threads = call_threads(image.size());
  bool done = false;
  without_gil([&] {
    std::uint8_t* out = cells.data<std::uint8_t>();
    if (at_full_depth) {
      done = kernels::canny_cells_of_levels(image.data<std::uint16_t>(), rows, cols, channels, thresholds, out,
                                            threads);
    } else if (image.type() == NPY_UBYTE) {
      done = kernels::canny_cells(image.data<std::uint8_t>(), rows, cols, channels, thresholds, out, threads);
    } else {
      done = kernels::canny_cells(image.data<std::uint16_t>(), rows, cols, channels, thresholds, out, threads);
    }
  });
  require_memory(done);
  return cells.object;
}

// canny_stripe_summary(cells): see kStripeSummaryDoc.
Ref canny_stripe_summary(PyObject* cells_array) {
  Array cells = stripe_cells(cells_array, "canny_stripe_summary takes non-empty 2-D cells");
  const npy_intp rows = cells.shape()[0];
  npy_intp cols = cells.shape()[1];
  Array top_labels = new_array(1, &cols, NPY_INT32);
  Array bottom_labels = new_array(1, &cols, NPY_INT32);
  std::vector<std::uint8_t> strong;
  const int threads = call_threads(cells.size());
  bool done = false;
  without_gil([&] {
    done = kernels::canny_stripe_summary(cells.data<std::uint8_t>(), rows, cols, top_labels.data<std::int32_t>(),
                                         bottom_labels.data<std::int32_t>(), strong, threads);
  });
  require_memory(done);
  npy_intp labels = static_cast<npy_intp>(strong.size());
  Array holds_strong = new_array(1, &labels, NPY_BOOL);
  std::copy(strong.begin(), strong.end(), holds_strong.data<npy_bool>());
  Ref count = to_py(static_cast<long long>(labels - 1));
  return checked(PyTuple_Pack(4, top_labels.object.get(), bottom_labels.object.get(), holds_strong.object.get(),
                              count.get()));
}

// canny_stripe_edges(cells, top_seeds, bottom_seeds): see kStripeEdgesDoc.
Ref canny_stripe_edges(PyObject* cells_array, PyObject* top_seeds_array, PyObject* bottom_seeds_array) {
  Array cells = stripe_cells(cells_array, "canny_stripe_edges takes non-empty 2-D cells");
  const npy_intp rows = cells.shape()[0];
  const npy_intp cols = cells.shape()[1];
  Array top_seeds = row_seeds(top_seeds_array, cols);
  Array bottom_seeds = row_seeds(bottom_seeds_array, cols);
  Array edges = new_array(2, cells.shape(), NPY_USHORT);
  const int threads = call_threads(cells.size());
  bool done = false;
  without_gil([&] {
    done = kernels::canny_stripe_edges(cells.data<std::uint8_t>(), rows, cols, top_seeds.data<std::uint8_t>(),
                                       bottom_seeds.data<std::uint8_t>(), edges.data<std::uint16_t>(), threads);
  });
  require_memory(done);
  return edges.object;
}

}  // namespace pictor::canny_steps
