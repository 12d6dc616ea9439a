// ImageSegmenter: global and local threshold segmentation.
//
// The three histogram methods count the 8-bit working levels straight from
// uint8 / uint16 input and binarise straight into the 16-bit 0 / 65535
// result, so the working copy is never materialised; their threshold searches
// run natively. Where an input leaves the shapes OpenCV handles alike (0-d,
// 1-D, one plane, 4-D, empty), the library calls of the recipe are made as
// written.
//
// The searches call UtilityTool methods through `self.tool`, looked up at every
// call as the recipe does. When the method found there is UtilityTool's own,
// its result is computed natively (same values and decisions, no Python
// objects); a replaced method or tool is called, and its results are read as
// Python numbers.
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "frame/singleton.h"
#include "frame/split_work.h"
#include "tools/image_segmenter.h"
#include "kernels/histogram.h"
#include "kernels/threshold.h"
#include "tools/native_filters.h"
#include "tool/depth.h"
#include "tool/keywords.h"
#include "tool/python.h"
#include "tools/tool_classes.h"
#include "tools/utility_tool.h"

namespace pictor {
namespace {

// --- Python steps of the recipe, for the inputs the native paths leave alone ------------------

// astype() of a 0-d array gives a NumPy scalar, which OpenCV rejects; the
// working copy is handed to OpenCV in that same form.
Ref as_recipe_value(Ref working, Where where = Where::current()) {
  if (!PyArray_Check(working.get())) return working;
  return checked(PyArray_Return(reinterpret_cast<PyArrayObject*>(working.release())), where);
}

// _, binary_image = cv2.threshold(working, level, 255, cv2.THRESH_BINARY), restored.
Ref threshold_through_cv2(const Ref& working, const Ref& level) {
  Ref binary_flag = global_attr("cv2", "THRESH_BINARY");
  Ref result = cv2("threshold", working, level, 255, binary_flag);
  return depth::restore_u16_by_operators(unpack<2>(result.get())[1].get());
}

// self.tool.<name>
Ref tool_method(PyObject* self, const char* name, Where where = Where::current()) {
  Ref tool = attr(self, Name("tool", where));
  return attr(tool, Name(name, where));
}

Ref list_of(std::initializer_list<Ref> items, Where where = Where::current()) {
  Ref list = checked(PyList_New(0), where);
  for (const Ref& item : items) checked_status(PyList_Append(list.get(), item.get()), where);
  return list;
}

Ref float_list(const double* values, std::ptrdiff_t size) {
  Ref list = checked(PyList_New(size));
  for (std::ptrdiff_t i = 0; i < size; ++i) PyList_SET_ITEM(list.get(), i, to_py(values[i]).release());
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    if (PyList_GET_ITEM(list.get(), i) == nullptr) rethrow();
  }
  return list;
}

Ref float64_array(const std::vector<double>& values) {
  const npy_intp size = static_cast<npy_intp>(values.size());
  const Array array = new_array(1, &size, NPY_DOUBLE);
  std::copy(values.begin(), values.end(), array.data<double>());
  return array.object;
}

// --- the working copy as the kernels read it ------------------------------------------------

// uint8 input with full scale 255 and native uint16 input with full scale
// 65535 are read directly (working level v, or v / 257); any other input is
// converted to its 8-bit working copy first.
struct WorkingLevels {
  Array samples;  // uint8 or uint16, the shape of the input
  bool from_16_bits() const { return samples.type() == NPY_USHORT; }

  template <class F>
  void visit(F&& kernel) const {
    if (from_16_bits()) return kernel(samples.data<std::uint16_t>());
    kernel(samples.data<std::uint8_t>());
  }
};

WorkingLevels working_levels(PyObject* src, double max_value) {
  if (PyArray_Check(src)) {
    const int type = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(src));
    const bool native_depth = (type == NPY_UBYTE && max_value == 255.0) || (type == NPY_USHORT && max_value == 65535.0);
    if (native_depth) {
      Array samples = contiguous(src);
      if (samples.type() == type) return WorkingLevels{samples};
    }
  }
  return WorkingLevels{contiguous(depth::working_u8(src, max_value).get())};
}

// The working copy as the library calls of the recipe take it (8-bit input
// is its own working copy: OpenCV only reads it).
Ref working_copy(const WorkingLevels& levels, PyObject* src, double max_value) {
  Ref working = levels.from_16_bits() ? depth::working_u8(src, max_value) : levels.samples.object;
  return as_recipe_value(working);
}

kernels::LevelCounts count_levels(const WorkingLevels& levels, std::ptrdiff_t step) {
  kernels::LevelCounts counts{};
  levels.visit([&](const auto* samples) {
    const int threads = call_threads(levels.samples.size());
    without_gil([&] { counts = kernels::count_working_levels(samples, levels.samples.size(), step, threads); });
  });
  return counts;
}

// OpenCV's view of an array: 1-D and 2-D arrays are one-channel images, a 3-D
// array with at most CV_CN_MAX planes has that many interleaved channels.
constexpr npy_intp kMostMatChannels = 512;

npy_intp mat_channels(const Array& array) {
  if (array.ndim() == 1 || array.ndim() == 2) return 1;
  if (array.ndim() == 3 && array.shape()[2] >= 1 && array.shape()[2] <= kMostMatChannels) return array.shape()[2];
  return 0;
}

// cv2.threshold returns such arrays in their own shape (a single plane comes
// back 2-D, a 1-D array as a column, an empty one as None).
bool threshold_keeps_shape(const Array& array) {
  return array.size() > 0 && (array.ndim() == 2 || (array.ndim() == 3 && mat_channels(array) >= 2));
}

// The recipe's cv2.threshold(working, level, 255, THRESH_BINARY) and 16-bit restore.
Ref binarised_above(const WorkingLevels& levels, long long level, PyObject* src, double max_value) {
  if (!threshold_keeps_shape(levels.samples)) return threshold_through_cv2(working_copy(levels, src, max_value), to_py(level));
  const Array result = new_array_like(levels.samples, NPY_USHORT);
  levels.visit([&](const auto* samples) {
    split_samples_without_gil(levels.samples.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::binarise_above(samples + begin, result.data<std::uint16_t>() + begin, end - begin, level);
    });
  });
  return result.object;
}

// --- local histogram threshold ----------------------------------------------------------------

constexpr long long kCountedEnd = 251;  // levels from low_thr up to 250 are counted
constexpr long long kLowestNativeLow = -65536;

// low_thr values for which cv2.calcHist is a plain count, one bin per level.
bool counts_levels_natively(PyObject* low_thr, long long& low) {
  const std::optional<long long> integer = exact_python_int(low_thr);
  if (!integer) return false;
  low = *integer;
  return low < kCountedEnd && low >= kLowestNativeLow;
}

// cv2.calcHist([x], [0], None, [251 - low], [low, 251]).flatten().tolist():
// channel 0, float32 counts read back as float64.
std::vector<double> counted_levels(const kernels::LevelCounts& counts, long long low) {
  std::vector<double> hist(static_cast<std::size_t>(kCountedEnd - low), 0.0);
  for (long long level = std::max(low, 0LL); level < kCountedEnd; ++level) {
    hist[static_cast<std::size_t>(level - low)] = static_cast<double>(static_cast<float>(counts[level]));
  }
  return hist;
}

std::vector<double> counted_levels_through_cv2(const Ref& working, PyObject* low_thr) {
  Ref end = to_py(kCountedEnd);
  Ref bins = checked(PyNumber_Subtract(end.get(), low_thr));
  Ref hist = cv2("calcHist", list_of({working}), list_of({to_py(0)}), Ref::none(), list_of({bins}),
                 list_of({Ref::borrow(low_thr), end}));
  const Array values = contiguous_as(call_method(hist.get(), "flatten").get(), NPY_DOUBLE);
  return std::vector<double>(values.data<double>(), values.data<double>() + values.size());
}

// self.tool.normalize_and_calculate_variance(mid_hist), reduced to what the walk uses.
class ValleySummaries {
 public:
  explicit ValleySummaries(PyObject* self) : self_(self) {}

  kernels::CountSummary operator()(const double* counts, std::ptrdiff_t size) const {
    Ref method = tool_method(self_, "normalize_and_calculate_variance");
    // UtilityTool's own method is silent unless the kept counts are all equal,
    // where it divides 0 by 0 and NumPy warns: then it is called.
    if (bound_body_of(method.get()) == utility_tool::normalize_and_calculate_variance &&
        !kernels::kept_counts_all_equal(counts, size)) {
      return kernels::summarise_counts(counts, size);
    }
    return read_summary(call(method, float_list(counts, size)));
  }

 private:
  // nozero_len, mean_value, min_value, min_index, norm_variance
  static kernels::CountSummary read_summary(const Ref& result) {
    const std::array<Ref, 5> values = unpack<5>(result.get());
    kernels::CountSummary summary;
    summary.mean = as_double(values[1]);
    summary.min = as_double(values[2]);
    Ref position = checked(PyNumber_Index(values[3].get()));
    summary.min_position = PyNumber_AsSsize_t(position.get(), PyExc_OverflowError);
    if (summary.min_position == -1 && PyErr_Occurred()) rethrow();
    return summary;
  }

  PyObject* self_;
};

Ref local_histogram_threshold_segmentation(const Args& args) {
  Ref src = args.get("src");
  Ref low_thr = args.get("low_thr");
  const double max_value = depth::full_scale(src.get());
  const WorkingLevels levels = working_levels(src.get(), max_value);
  long long low = 0;
  const bool native = counts_levels_natively(low_thr.get(), low) && mat_channels(levels.samples) > 0;
  const std::vector<double> hist = native ? counted_levels(count_levels(levels, mat_channels(levels.samples)), low)
                                          : counted_levels_through_cv2(working_copy(levels, src.get(), max_value),
                                                                       low_thr.get());
  if (hist.empty()) raise(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
  const std::ptrdiff_t best_index =
      kernels::local_histogram_threshold(hist, kernels::kWorkingWalk, ValleySummaries(args.self()));
  if (native) return binarised_above(levels, best_index + low, src.get(), max_value);
  Ref level = checked(PyNumber_Add(to_py(static_cast<long long>(best_index)).get(), low_thr.get()));
  return threshold_through_cv2(working_copy(levels, src.get(), max_value), level);
}

// --- maximum entropy --------------------------------------------------------------------------

// np.histogram(x, bins=range(256), density=True)[0] of an image without
// samples: NumPy's own 0/0 densities and warning.
std::array<double, kernels::kEntropyBins> densities_through_numpy(const Ref& working) {
  Ref histogram = global_attr("np", "histogram");
  Ref range = global("range");
  Ref bins = call(range, 256);
  Ref result = call(histogram, working, Kw{"bins", bins}, Kw{"density", to_py(true)});
  const Array hist = contiguous_as(unpack<2>(result.get())[0].get(), NPY_DOUBLE);
  if (hist.size() != kernels::kEntropyBins) raise(PyExc_ValueError, "unexpected histogram size");
  std::array<double, kernels::kEntropyBins> densities;
  std::copy(hist.data<double>(), hist.data<double>() + hist.size(), densities.begin());
  return densities;
}

// self.tool.calculate_entropy(background / prob_back) and of the foreground.
class SplitEntropies {
 public:
  SplitEntropies(PyObject* self, kernels::EntropySplits& splits) : self_(self), splits_(splits) {}

  double background(int t) { return entropy(t, &kernels::EntropySplits::background_entropy, &kernels::EntropySplits::background); }
  double foreground(int t) { return entropy(t, &kernels::EntropySplits::foreground_entropy, &kernels::EntropySplits::foreground); }

 private:
  using Native = double (kernels::EntropySplits::*)(int) const;
  using Probabilities = std::vector<double> (kernels::EntropySplits::*)(int) const;

  double entropy(int t, Native native, Probabilities probabilities) {
    Ref method = tool_method(self_, "calculate_entropy");
    if (bound_body_of(method.get()) == utility_tool::calculate_entropy && take_log2_once()) {
      return (splits_.*native)(t);
    }
    return as_double(call(method, float64_array((splits_.*probabilities)(t))));
  }

  // log2 of every probability the entropies need, from NumPy's ufunc in one
  // call; false when np.log2 does not give one float64 per probability
  // (a rebound np), and UtilityTool's method is then called as it stands.
  bool take_log2_once() {
    if (log2_state_ == Log2::Pending) {
      const std::vector<double>& probabilities = splits_.probabilities();
      Ref logs = np("log2", float64_array(probabilities));
      const bool usable = PyArray_CheckExact(logs.get()) &&
                          PyArray_TYPE(reinterpret_cast<PyArrayObject*>(logs.get())) == NPY_DOUBLE &&
                          PyArray_SIZE(reinterpret_cast<PyArrayObject*>(logs.get())) ==
                              static_cast<npy_intp>(probabilities.size());
      if (usable) splits_.take_log2(contiguous(logs.get()).data<double>());
      log2_state_ = usable ? Log2::Taken : Log2::Unusable;
    }
    return log2_state_ == Log2::Taken;
  }

  enum class Log2 { Pending, Taken, Unusable };
  PyObject* self_;
  kernels::EntropySplits& splits_;
  Log2 log2_state_ = Log2::Pending;
};

int maximum_entropy_level(PyObject* self, const std::array<double, kernels::kEntropyBins>& densities) {
  kernels::EntropySplits splits(densities);
  SplitEntropies entropies(self, splits);
  int best_threshold = 0;
  double max_entropy = -std::numeric_limits<double>::infinity();
  for (int t = kernels::kEntropyFirstLevel; t < kernels::kEntropyEndLevel; ++t) {
    if (!splits.counts(t)) continue;
    const double back_entropy = entropies.background(t);
    const double total_entropy = back_entropy + entropies.foreground(t);
    if (total_entropy > max_entropy) {
      max_entropy = total_entropy;
      best_threshold = t;
    }
  }
  return best_threshold;
}

Ref maximum_entropy_threshold_segmentation(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  const WorkingLevels levels = working_levels(src.get(), max_value);
  const int best_threshold = maximum_entropy_level(
      args.self(), levels.samples.size() > 0 ? kernels::level_densities(count_levels(levels, 1))
                                             : densities_through_numpy(working_copy(levels, src.get(), max_value)));
  return binarised_above(levels, best_threshold, src.get(), max_value);
}

// --- maximum inter-class variance -------------------------------------------------------------

// With no sample the recipe divides by a pixel count of 0 twice (the total
// mean, a NumPy float, and the background weights, an integer array); NumPy
// reports both, so both divisions are made through NumPy.
void report_divisions_by_no_pixels() {
  const double zero = 0.0;
  Ref total_mean = checked(PyNumber_TrueDivide(numpy_scalar(NPY_DOUBLE, &zero).get(), to_py(0).get()));
  const npy_intp splits = kernels::kLevels8 - 1;
  const Array cum_hist = new_array(1, &splits, NPY_INTP);
  std::fill(cum_hist.data<npy_intp>(), cum_hist.data<npy_intp>() + splits, 0);
  Ref weight_bg = checked(PyNumber_TrueDivide(cum_hist.object.get(), to_py(0).get()));
}

Ref maximum_inter_class_variance_segmentation(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  const WorkingLevels levels = working_levels(src.get(), max_value);
  const kernels::LevelCounts counts = count_levels(levels, 1);
  const std::int64_t total_pixels = levels.samples.size();
  if (total_pixels == 0) report_divisions_by_no_pixels();
  const int optimal_threshold = kernels::inter_class_variance_threshold(counts, total_pixels);
  return binarised_above(levels, optimal_threshold, src.get(), max_value);
}

// --- adaptive threshold -----------------------------------------------------------------------

// How NumPy 1.x evaluates working - coef * mean for a Python-float coef and a
// float32 mean in [0, 255]: in float32 when coef lies strictly within
// +-3.4e38 (value-based casting), in float64 beyond. Natively only where no
// product can overflow, underflow or be inf * 0, since NumPy reports those;
// other coefficients go through NumPy.
enum class Arithmetic { Float32, Float64, ThroughNumpy };

Arithmetic arithmetic_for(double coef) {
  constexpr double kSmallest = 1e-20;         // times any mean stays a normal float32
  constexpr double kLargestFloat32 = 1e36;    // times 255 stays below FLT_MAX
  constexpr double kFloat32ScalarBound = 3.4e38;
  constexpr double kLargestFloat64 = 1e300;   // times 255 stays below DBL_MAX
  const double size = std::abs(coef);
  if (size == 0 || (size >= kSmallest && size <= kLargestFloat32)) return Arithmetic::Float32;
  if (size >= kFloat32ScalarBound && size <= kLargestFloat64) return Arithmetic::Float64;
  return Arithmetic::ThroughNumpy;
}

bool is_python_float(PyObject* value) { return PyFloat_CheckExact(value) || PyArray_IsScalar(value, Double); }

bool is_plain_float32_like(PyObject* value, const Array& like) {
  if (!PyArray_CheckExact(value)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  return PyArray_TYPE(array) == NPY_FLOAT && PyArray_NDIM(array) == like.ndim() &&
         PyArray_CompareLists(PyArray_DIMS(array), like.shape(), like.ndim());
}

Ref binarised_against_mean(const Array& working, const Ref& src_mean, double coef, Arithmetic arithmetic) {
  const Array mean = contiguous(src_mean.get());
  const Array result = new_array_like(working, NPY_USHORT);
  split_samples_without_gil(working.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    const std::uint8_t* samples = working.data<std::uint8_t>() + begin;
    const float* means = mean.data<float>() + begin;
    std::uint16_t* out = result.data<std::uint16_t>() + begin;
    if (arithmetic == Arithmetic::Float32) {
      kernels::binarise_against_mean(samples, means, static_cast<float>(coef), out, end - begin);
    } else {
      kernels::binarise_against_mean(samples, means, coef, out, end - begin);
    }
  });
  return result.object;
}

// out = src - coef * src_mean; out[out >= 0] = 255; out[out < 0] = 0; restore.
Ref binarised_through_numpy(const Ref& working, const Ref& coef, const Ref& src_mean) {
  Ref scaled_mean = checked(PyNumber_Multiply(coef.get(), src_mean.get()));
  Ref out = checked(PyNumber_Subtract(working.get(), scaled_mean.get()));
  Ref zero = to_py(0);
  Ref foreground = checked(PyObject_RichCompare(out.get(), zero.get(), Py_GE));
  checked_status(PyObject_SetItem(out.get(), foreground.get(), to_py(255).get()));
  Ref background = checked(PyObject_RichCompare(out.get(), zero.get(), Py_LT));
  checked_status(PyObject_SetItem(out.get(), background.get(), zero.get()));
  return depth::restore_u16_by_operators(out.get());
}

// The one-pass route, for plain Python numbers as ratio.
Ref fused_adaptive_threshold(const Ref& src, const Ref& ksize, const Ref& ratio) {
  const bool plain_ratio = PyFloat_CheckExact(ratio.get()) || PyLong_CheckExact(ratio.get());
  if (!plain_ratio || is_single_channel_stack(src.get())) return Ref();
  return native_adaptive_threshold(src.get(), ksize, [&]() -> std::optional<float> {
    Ref coef = checked(PyNumber_Subtract(to_py(1.0).get(), ratio.get()));
    const double value = PyFloat_AsDouble(coef.get());
    if (arithmetic_for(value) != Arithmetic::Float32) return std::nullopt;
    return static_cast<float>(value);
  });
}

Ref adaptive_threshold_segmentation(const Args& args) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("ksize"));
  Ref ratio = args.get("ratio");
  if (Ref fused = fused_adaptive_threshold(src, ksize, ratio)) return fused;
  const double max_value = depth::full_scale(src.get());
  Ref working = working_copy(working_levels(src.get(), max_value), src.get(), max_value);
  Ref src_mean = cv2("boxFilter", working, global_attr("cv2", "CV_32FC1"), tuple(ksize, ksize));
  Ref coef = checked(PyNumber_Subtract(to_py(1.0).get(), ratio.get()));
  if (PyArray_CheckExact(working.get()) && is_python_float(coef.get())) {
    const Array samples = contiguous(working.get());
    const Arithmetic arithmetic = arithmetic_for(PyFloat_AsDouble(coef.get()));
    if (arithmetic != Arithmetic::ThroughNumpy && is_plain_float32_like(src_mean.get(), samples)) {
      return binarised_against_mean(samples, src_mean, PyFloat_AsDouble(coef.get()), arithmetic);
    }
  }
  return binarised_through_numpy(working, coef, src_mean);
}

}  // namespace

namespace segmenter {

long long local_histogram_level(PyObject* self, const kernels::LevelCounts& channel_counts, long long low) {
  const std::vector<double> hist = counted_levels(channel_counts, low);
  return kernels::local_histogram_threshold(hist, kernels::kWorkingWalk, ValleySummaries(self)) + low;
}

int maximum_entropy_level(PyObject* self, const kernels::LevelCounts& counts) {
  return pictor::maximum_entropy_level(self, kernels::level_densities(counts));
}

}  // namespace segmenter

const ClassSpec& image_segmenter_class() {
  static const ClassSpec spec{
      "ImageSegmenter",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("local_histogram_threshold_segmentation", local_histogram_threshold_segmentation,
                   {{"src", nullptr}, {"low_thr", 10}}),
          keywords("maximum_entropy_threshold_segmentation", maximum_entropy_threshold_segmentation,
                   {{"src", nullptr}}),
          keywords("maximum_inter_class_variance_segmentation", maximum_inter_class_variance_segmentation,
                   {{"src", nullptr}}),
          keywords("adaptive_threshold_segmentation", adaptive_threshold_segmentation,
                   {{"src", nullptr}, {"ksize", 3}, {"ratio", 0.15}}),
      }};
  return spec;
}

}  // namespace pictor
