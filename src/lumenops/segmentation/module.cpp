// pictor._segmentation: the automatic thresholds of the whole image's level
// counts and the connected components of a mask, for pictor's functions
// threshold_level, threshold and label (declared in _segmentation.pyi), and
// their steps for images in chunks: the level of counts summed over the
// chunks, and stripes labelled on their own, then joined at their seams.
#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/pycall.h"
#include "frame/split_work.h"
#include "kernels/auto_threshold.h"
#include "kernels/histogram.h"
#include "kernels/histogram16.h"
#include "kernels/labels.h"

namespace pictor::segmentation {
namespace {

constexpr std::uint16_t kForeground = 65535;

// --- thresholds -------------------------------------------------------------------------------

Array level_image(PyObject* src) {
  Array image = contiguous(src);
  if (image.type() != NPY_UBYTE && image.type() != NPY_USHORT) {
    raise(PyExc_TypeError, "the thresholds take uint8 or uint16 samples");
  }
  if (image.size() == 0) raise(PyExc_ValueError, "the thresholds need at least one sample");
  return image;
}

// Counts of every level of all samples (256 or 65,536 of them).
std::vector<std::int64_t> counts_of(const Array& image) {
  const std::ptrdiff_t size = image.size();
  const int threads = call_threads(size);
  if (image.type() == NPY_USHORT) {
    kernels::Counts16 counts;
    without_gil([&] { counts = kernels::count_levels16(image.data<std::uint16_t>(), size, 1, threads); });
    return counts;
  }
  kernels::LevelCounts counts;
  without_gil([&] { counts = kernels::count_working_levels(image.data<std::uint8_t>(), size, 1, threads); });
  return std::vector<std::int64_t>(counts.begin(), counts.end());
}

// NumPy's own np.log over the values, in place.
template <class T>
void numpy_log(T* values, std::size_t size) {
  const npy_intp length = static_cast<npy_intp>(size);
  const int type = sizeof(T) == 4 ? NPY_FLOAT : NPY_DOUBLE;
  Array arguments = new_array(1, &length, type);
  std::copy(values, values + size, arguments.data<T>());
  const Array logs = contiguous_as(np("log", arguments.object).get(), type);
  if (logs.size() != length) raise(PyExc_ValueError, "np.log gave an unexpected shape");
  std::copy(logs.data<T>(), logs.data<T>() + size, values);
}

std::string name_of(PyObject* method_name) {
  const char* method = PyUnicode_AsUTF8(method_name);
  if (method == nullptr) rethrow();
  return method;
}

double level_of(const std::vector<std::int64_t>& counts, PyObject* method_name) {
  const std::string name = name_of(method_name);
  const char* method = name.c_str();
  const kernels::LevelHistogram histogram = kernels::present_levels(counts.data(), static_cast<long>(counts.size()));
  if (histogram.counts.empty()) raise(PyExc_ValueError, "the thresholds need at least one sample");
  try {
    if (name == "otsu") return kernels::otsu_level(histogram);
    if (name == "li") return kernels::li_level(histogram, numpy_log<double>);
    if (name == "triangle") return kernels::triangle_level(histogram);
    if (name == "yen") return kernels::yen_level(histogram, numpy_log<float>);
    if (name == "isodata") return kernels::isodata_level(histogram);
    if (name == "mean") return kernels::mean_level(histogram);
    if (name == "minimum") return kernels::minimum_level(histogram);
  } catch (const kernels::NoThreshold& error) {
    raise(PyExc_RuntimeError, error.what());
  }
  PyErr_Format(PyExc_ValueError, "unknown threshold method '%s'", method);
  throw PyError{Where::current()};
}

std::vector<std::int64_t> counts_argument(PyObject* value) {
  const Array counts = contiguous_as(value, NPY_INT64);
  if (counts.ndim() != 1 || (counts.size() != 256 && counts.size() != kernels::kLevels16)) {
    raise(PyExc_ValueError, "counts must be the 256 or 65536 level counts of a uint8 or uint16 image");
  }
  return std::vector<std::int64_t>(counts.data<std::int64_t>(), counts.data<std::int64_t>() + counts.size());
}

// The method's level of an image: the mean straight from the samples (one
// read of them), the others from the counts of their levels.
double level_of_image(const Array& image, PyObject* method) {
  if (name_of(method) != "mean") return level_of(counts_of(image), method);
  const std::ptrdiff_t size = image.size();
  const int threads = call_threads(size);
  double mean = 0;
  without_gil([&] {
    mean = image.type() == NPY_USHORT ? kernels::mean_of_samples(image.data<std::uint16_t>(), size, threads)
                                      : kernels::mean_of_samples(image.data<std::uint8_t>(), size, threads);
  });
  return mean;
}

Ref threshold_level(PyObject* src, PyObject* method) { return to_py(level_of_image(level_image(src), method)); }

Ref threshold_level_of_counts(PyObject* counts, PyObject* method) {
  return to_py(level_of(counts_argument(counts), method));
}

// The highest level at or below `level` (samples above it are foreground).
long long cut_of(double level) { return static_cast<long long>(std::floor(level)); }

// threshold_table(counts, method): 65535 for the levels above the method's
// level of these counts, 0 for the others (as many levels as counts).
Ref threshold_table(PyObject* counts_array, PyObject* method) {
  const std::vector<std::int64_t> counts = counts_argument(counts_array);
  const long long cut = cut_of(level_of(counts, method));
  const npy_intp levels = static_cast<npy_intp>(counts.size());
  Array table = new_array(1, &levels, NPY_USHORT);
  for (npy_intp level = 0; level < levels; ++level) table.data<std::uint16_t>()[level] = level > cut ? kForeground : 0;
  return table.object;
}

Ref threshold(PyObject* src, PyObject* method) {
  const Array image = level_image(src);
  const long long cut = cut_of(level_of_image(image, method));
  Array result = new_array_like(image, NPY_USHORT);
  std::uint16_t* out = result.data<std::uint16_t>();
  if (image.type() == NPY_USHORT) {
    const std::uint16_t* samples = image.data<std::uint16_t>();
    split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::binarise_above16(samples + begin, out + begin, end - begin, cut);
    });
  } else {
    const std::uint8_t* samples = image.data<std::uint8_t>();
    split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      for (std::ptrdiff_t i = begin; i < end; ++i) out[i] = samples[i] > cut ? kForeground : 0;
    });
  }
  return result.object;
}

// --- connected components ---------------------------------------------------------------------

Array mask_plane(PyObject* mask) {
  Array plane = contiguous(mask);
  if (plane.ndim() != 2) raise(PyExc_ValueError, "label takes a 2-D mask");
  if (plane.type() != NPY_BOOL && plane.type() != NPY_UBYTE && plane.type() != NPY_USHORT) {
    raise(PyExc_TypeError, "label takes a bool, uint8 or uint16 mask");
  }
  return plane;
}

bool corners_of(PyObject* connectivity) {
  const long value = PyLong_AsLong(connectivity);
  if (value == -1 && PyErr_Occurred()) rethrow();
  if (value != 1 && value != 2) raise(PyExc_ValueError, "connectivity must be 1 or 2");
  return value == 2;
}

// The plane's int32 labels and count, renumbered where `renumbering` is given.
std::pair<Array, std::int64_t> labels_of(const Array& plane, bool corners, const kernels::Renumbering& renumbering) {
  Array labels = new_array_like(plane, NPY_INT);
  const std::ptrdiff_t rows = plane.shape()[0], cols = plane.shape()[1];
  const int threads = call_threads(plane.size());
  std::int64_t count = 0;
  without_gil([&] {
    std::int32_t* out = labels.data<std::int32_t>();
    auto label_as = [&](auto* samples) {
      count = kernels::label_plane(samples, rows, cols, corners, out, threads, renumbering);
    };
    switch (plane.type()) {
      case NPY_BOOL: label_as(plane.data<bool>()); break;
      case NPY_UBYTE: label_as(plane.data<std::uint8_t>()); break;
      default: label_as(plane.data<std::uint16_t>()); break;
    }
  });
  return {std::move(labels), count};
}

// label(mask, connectivity): (int32 labels, count).
Ref label(PyObject* mask, PyObject* connectivity) {
  auto [labels, count] = labels_of(mask_plane(mask), corners_of(connectivity), nullptr);
  return tuple(labels.object, static_cast<long long>(count));
}

Array int32_rows(PyObject* value, std::ptrdiff_t stripes) {
  Array rows = contiguous_as(value, NPY_INT);
  if (rows.ndim() != 2 || rows.shape()[0] != stripes) {
    raise(PyExc_ValueError, "expected one row of labels per stripe");
  }
  return rows;
}

Ref int64_array(const std::vector<std::int64_t>& values) {
  const npy_intp size = static_cast<npy_intp>(values.size());
  Array result = new_array(1, &size, NPY_INT64);
  std::copy(values.begin(), values.end(), result.data<std::int64_t>());
  return result.object;
}

// join_label_stripes(counts, first_rows, last_rows, connectivity):
// (joined, finals, count) of kernels::join_stripes.
Ref join_label_stripes(PyObject* counts_array, PyObject* first_rows, PyObject* last_rows, PyObject* connectivity) {
  const Array counts = contiguous_as(counts_array, NPY_INT64);
  const std::ptrdiff_t stripes = counts.size();
  const Array first = int32_rows(first_rows, stripes);
  const Array last = int32_rows(last_rows, stripes);
  if (first.shape()[1] != last.shape()[1]) raise(PyExc_ValueError, "first and last rows differ in width");
  const bool corners = corners_of(connectivity);
  const std::vector<std::int64_t> count_list(counts.data<std::int64_t>(), counts.data<std::int64_t>() + stripes);
  kernels::JoinedLabels joined;
  without_gil([&] {
    joined = kernels::join_stripes(count_list, first.data<std::int32_t>(), last.data<std::int32_t>(),
                                   first.shape()[1], corners);
  });
  return tuple(int64_array(joined.joined), int64_array(joined.finals), static_cast<long long>(joined.count));
}

// label_stripe(mask, joined, finals, connectivity, offset, joined_above): the
// stripe's labels as the whole image's (kernels::stripe_numbers).
Ref label_stripe(PyObject* mask, PyObject* joined_array, PyObject* finals_array, PyObject* connectivity,
                 PyObject* offset, PyObject* joined_above) {
  const Array plane = mask_plane(mask);
  const bool corners = corners_of(connectivity);
  const Array joined = contiguous_as(joined_array, NPY_INT64);
  const Array finals = contiguous_as(finals_array, NPY_INT64);
  if (joined.size() != finals.size()) raise(PyExc_ValueError, "joined and finals differ in length");
  const long long first = PyLong_AsLongLong(offset);
  const long long above = PyLong_AsLongLong(joined_above);
  if (PyErr_Occurred()) rethrow();
  const kernels::Renumbering renumbering = [&](std::int64_t count) {
    return kernels::stripe_numbers(count, first, above, joined.data<std::int64_t>(), finals.data<std::int64_t>(),
                                   static_cast<std::size_t>(joined.size()));
  };
  return labels_of(plane, corners, renumbering).first.object;
}

PyMethodDef functions[] = {
    {"threshold_level", fastcall_function<2, threshold_level>(), METH_FASTCALL,
     "threshold_level(img, method): the method's level of all samples' level counts, as a float."},
    {"threshold", fastcall_function<2, threshold>(), METH_FASTCALL,
     "threshold(img, method): uint16, 65535 where a sample lies above the method's level, else 0."},
    {"label", fastcall_function<2, label>(), METH_FASTCALL,
     "label(mask, connectivity): (int32 labels of the non-zero samples' components in scan order, count)."},
    {"threshold_level_of_counts", fastcall_function<2, threshold_level_of_counts>(), METH_FASTCALL,
     "threshold_level_of_counts(counts, method): the level of 256 or 65536 level counts."},
    {"threshold_table", fastcall_function<2, threshold_table>(), METH_FASTCALL,
     "threshold_table(counts, method): uint16 table, 65535 for the levels above the counts' level, else 0."},
    {"join_label_stripes", fastcall_function<4, join_label_stripes>(), METH_FASTCALL,
     "join_label_stripes(counts, first_rows, last_rows, connectivity): (joined, finals, count) of stripes "
     "labelled on their own: the provisional labels (the stripes' labels in turn) that join a component "
     "of a smaller one, sorted, with its final number; and the count of components."},
    {"label_stripe", fastcall_function<6, label_stripe>(), METH_FASTCALL,
     "label_stripe(mask, joined, finals, connectivity, offset, joined_above): a stripe's labels as the whole "
     "image's: joined and finals the stripe's slice of join_label_stripes' results, offset the count of the "
     "stripes above it, joined_above their joined labels."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_module() {
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, "pictor._segmentation",
      "Automatic thresholds and connected components, for pictor's functions (internal).", -1,
      functions, nullptr, nullptr, nullptr, nullptr,
  };
  register_private_module(definition);
}

}  // namespace pictor::segmentation
