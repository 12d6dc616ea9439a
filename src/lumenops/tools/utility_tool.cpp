// UtilityTool: colour conversion, list statistics, entropy, histogram boundaries.
//
// Plain NumPy arrays of the usual element types take native kernels; anything
// else (other array types, subclasses, lists, odd bounds) goes through the
// same NumPy calls and Python operators as the documented recipe, so that the
// result types, warnings and exceptions are NumPy's own.
#include "tools/utility_tool.h"

#include <type_traits>
#include <vector>

#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "kernels/colour.h"
#include "kernels/histogram.h"
#include "kernels/reduce.h"
#include "tool/keywords.h"
#include "tool/python.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace utility_tool {
namespace {

// Python's comparison and truth, for the recipe's steps on arbitrary objects.
Ref compare(const Ref& a, const Ref& b, int op, Where where = Where::current()) {
  return checked(PyObject_RichCompare(a.get(), b.get(), op), where);
}
bool is_true(const Ref& value, Where where = Where::current()) {
  return checked_status(PyObject_IsTrue(value.get()), where) != 0;
}

Ref new_list(std::initializer_list<Ref> items, Where where = Where::current()) {
  Ref list = checked(PyList_New(0), where);
  for (const Ref& item : items) checked_status(PyList_Append(list.get(), item.get()), where);
  return list;
}

Ref float64(double value, Where where = Where::current()) { return numpy_scalar(NPY_DOUBLE, &value, where); }
Ref intp(npy_intp value, Where where = Where::current()) { return numpy_scalar(NPY_INTP, &value, where); }

bool is_plain_array(PyObject* value) { return PyArray_CheckExact(value); }

// --- convert_rgb_to_ycbcr --------------------------------------------------------------------

constexpr int kRgbChannels = 3;

bool is_native_rgb(PyObject* img) {
  if (!is_plain_array(img)) return false;
  PyArrayObject* array = as_array(img);
  return PyArray_NDIM(array) == 3 && PyArray_DIM(array, 2) >= kRgbChannels &&
         visit_real_type(PyArray_TYPE(array), [](auto) {});
}

// np.array([y, cb, cr]).transpose([1, 2, 0]): planes stored first, viewed last.
Ref planes_last(const Array& planes, Where where = Where::current()) {
  npy_intp order[] = {1, 2, 0};
  PyArray_Dims permutation{order, 3};
  return checked(PyArray_Transpose(planes.array(), &permutation), where);
}

// float32 samples compute in float32 (a Python float does not widen them);
// every other real type in float64.
Ref ycbcr_natively(PyObject* img) {
  const Array rgb = contiguous(img);
  const npy_intp* dims = rgb.shape();
  const npy_intp plane_shape[] = {kRgbChannels, dims[0], dims[1]};
  const Array planes = new_array(3, plane_shape, rgb.type() == NPY_FLOAT ? NPY_FLOAT : NPY_DOUBLE);
  const std::ptrdiff_t pixels = dims[0] * dims[1];
  visit_real_type(rgb.type(), [&](auto zero) {
    using T = decltype(zero);
    using Real = std::conditional_t<std::is_same_v<T, float>, float, double>;
    Real* y = planes.data<Real>();
    without_gil([&] { kernels::rgb_to_ycbcr_planes(rgb.data<T>(), pixels, dims[2], y, y + pixels, y + 2 * pixels); });
  });
  return planes_last(planes);
}

// img[:, :, k]
Ref channel(PyObject* img, long k, Where where = Where::current()) {
  Ref all = checked(PySlice_New(nullptr, nullptr, nullptr), where);
  Ref index = tuple(all, all, k);
  return checked(PyObject_GetItem(img, index.get()), where);
}

// The recipe's expressions, one operation at a time in Python's order.
Ref ycbcr_through_numpy(PyObject* img) {
  Ref red = channel(img, 0);
  Ref green = channel(img, 1);
  Ref blue = channel(img, 2);
  auto weighted_sum = [&](double a, int sign_b, double b, int sign_c, double c) {
    Ref sum = py_multiply(to_py(a), red);
    Ref second = py_multiply(to_py(b), green);
    sum = sign_b > 0 ? py_add(sum, second) : py_subtract(sum, second);
    Ref third = py_multiply(to_py(c), blue);
    return sign_c > 0 ? py_add(sum, third) : py_subtract(sum, third);
  };
  auto offset_scaled = [](double offset, const Ref& sum) {
    return py_add(to_py(offset), py_true_divide(sum, to_py(256.0)));
  };
  Ref y = offset_scaled(16.0, weighted_sum(65.738, +1, 129.057, +1, 25.064));
  Ref cb = offset_scaled(128.0, weighted_sum(-37.945, -1, 74.494, +1, 112.439));
  Ref cr = offset_scaled(128.0, weighted_sum(112.439, -1, 94.154, -1, 18.285));
  Ref array_function = global_attr("np", "array");
  Ref stacked = call(array_function, new_list({y, cb, cr}));
  return call_method(stacked.get(), "transpose", new_list({to_py(1), to_py(2), to_py(0)}));
}

Ref convert_rgb_to_ycbcr(const Args& args) {
  PyObject* img = args.arg("img");
  if (is_native_rgb(img)) return ycbcr_natively(img);
  return ycbcr_through_numpy(img);
}

// --- calculate_entropy -----------------------------------------------------------------------

bool is_native_probabilities(PyObject* probabilities) {
  if (!is_plain_array(probabilities)) return false;
  const int type = PyArray_TYPE(as_array(probabilities));
  return type == NPY_DOUBLE || type == NPY_FLOAT;
}

// probabilities[probabilities > 0], flat in row-major order.
Array positive_entries(PyObject* probabilities) {
  const Array all = contiguous(probabilities);
  Array positive{};
  visit_float_type(all.type(), [&](auto zero) {
    using T = decltype(zero);
    std::vector<T> kept;
    for (const T* p = all.data<T>(); p != all.data<T>() + all.size(); ++p) {
      if (*p > 0) kept.push_back(*p);
    }
    const npy_intp size = static_cast<npy_intp>(kept.size());
    positive = new_array(1, &size, all.type());
    std::copy(kept.begin(), kept.end(), positive.data<T>());
  });
  return positive;
}

// -np.sum(p * log2p), natively when NumPy's log2 gave a plain array of p's type and size.
Ref negated_sum_of_products(const Array& positive, const Ref& log2s) {
  if (!is_plain_array(log2s.get()) || PyArray_TYPE(as_array(log2s.get())) != positive.type() ||
      PyArray_SIZE(as_array(log2s.get())) != positive.size()) {
    Ref terms = py_multiply(positive.object, log2s);
    Ref sum = np("sum", terms);
    return checked(PyNumber_Negative(sum.get()));
  }
  const Array logs = contiguous(log2s.get());
  Ref entropy;
  visit_float_type(positive.type(), [&](auto zero) {
    using T = decltype(zero);
    std::vector<T> terms(static_cast<std::size_t>(positive.size()));
    for (std::size_t i = 0; i < terms.size(); ++i) terms[i] = positive.data<T>()[i] * logs.data<T>()[i];
    const T value = -kernels::numpy_sum(terms.data(), static_cast<std::ptrdiff_t>(terms.size()));
    entropy = numpy_scalar(positive.type(), &value);
  });
  return entropy;
}

Ref entropy_through_numpy(PyObject* probabilities) {
  Ref all = Ref::borrow(probabilities);
  Ref positive = checked(PyObject_GetItem(probabilities, compare(all, to_py(0), Py_GT).get()));
  Ref logs = np("log2", positive);
  Ref sum = np("sum", py_multiply(positive, logs));
  return checked(PyNumber_Negative(sum.get()));
}

// --- normalize_and_calculate_variance --------------------------------------------------------

// [x for x in lst if x >= 1]
Ref kept_elements(PyObject* lst) {
  Ref kept = checked(PyList_New(0));
  Ref iterator = checked(PyObject_GetIter(lst));
  Ref one = to_py(1);
  while (PyObject* next = PyIter_Next(iterator.get())) {
    Ref element = Ref::steal(next);
    if (is_true(compare(element, one, Py_GE))) checked_status(PyList_Append(kept.get(), element.get()));
  }
  if (PyErr_Occurred()) rethrow();
  return kept;
}

// [(value - min_value) / (max_value - min_value) for value in kept]
Ref min_max_normalised(const Ref& kept, const Ref& min_value, const Ref& max_value) {
  Ref normalised = checked(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kept.get()); ++i) {
    Ref value = Ref::borrow(PyList_GET_ITEM(kept.get(), i));
    Ref shifted = py_subtract(value, min_value);
    Ref scaled = py_true_divide(shifted, py_subtract(max_value, min_value));
    checked_status(PyList_Append(normalised.get(), scaled.get()));
  }
  return normalised;
}

}  // namespace

Ref normalize_and_calculate_variance(const Args& args) {
  PyObject* lst = args.arg("lst");
  Ref non_zero_elements = kept_elements(lst);
  const long nozero_len = static_cast<long>(PyList_GET_SIZE(non_zero_elements.get()));
  if (nozero_len == 0) return tuple(0, 0, 0, 0, 0);
  Ref mean_value = np("mean", non_zero_elements);
  Ref min_value = np("min", non_zero_elements);
  Ref min_index = call_method(lst, "index", min_value);
  Ref max_value = np("max", non_zero_elements);
  Ref normalized_values = min_max_normalised(non_zero_elements, min_value, max_value);
  Ref norm_variance = np("var", normalized_values);
  return tuple(nozero_len, mean_value, min_value, min_index, norm_variance);
}

Ref calculate_entropy(const Args& args) {
  PyObject* probabilities = args.arg("probabilities");
  if (!is_native_probabilities(probabilities)) return entropy_through_numpy(probabilities);
  const Array positive = positive_entries(probabilities);
  Ref logs = np("log2", positive.object);
  return negated_sum_of_products(positive, logs);
}

// --- get_boundary ----------------------------------------------------------------------------

namespace {

// Bounds whose edges and kept samples are exact in float64, and a bin count
// that allocates like NumPy's own.
constexpr long long kExactBound = 1LL << 52;
constexpr long long kMostNativeBins = 1LL << 24;

// np.histogram(image.flatten(), bins=high_thr - low_thr, range=[low_thr, high_thr])
struct UnitBinHistogram {
  std::vector<std::int64_t> counts;
  Ref edges;                 // bin_edges from NumPy, or
  long long low_edge = 0;    // the exact edge low_thr + k of the native count
  Ref edge(std::ptrdiff_t k) const {
    if (edges) return checked(PySequence_GetItem(edges.get(), k));
    return float64(static_cast<double>(low_edge + k));
  }
};

bool exact_int(PyObject* value, long long& result) {
  const std::optional<long long> integer = exact_python_int(value);
  if (!integer) return false;
  result = *integer;
  return result > -kExactBound && result < kExactBound;
}

// Integer element types whose comparison with a Python int bound is exact in NumPy.
bool has_native_levels(PyObject* image) {
  if (!is_plain_array(image)) return false;
  switch (PyArray_TYPE(as_array(image))) {
    case NPY_UBYTE: case NPY_BYTE: case NPY_USHORT: case NPY_SHORT:
    case NPY_UINT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
      return true;
    default:
      return false;
  }
}

bool counts_natively(PyObject* image, PyObject* low_thr, PyObject* high_thr, long long& low, long long& high) {
  return has_native_levels(image) && exact_int(low_thr, low) && exact_int(high_thr, high) && high > low &&
         high - low <= kMostNativeBins;
}

UnitBinHistogram count_natively(PyObject* image, long long low, long long high) {
  const Array values = contiguous(image);
  UnitBinHistogram histogram;
  histogram.low_edge = low;
  visit_real_type(values.type(), [&](auto zero) {
    using T = decltype(zero);
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      without_gil([&] { histogram.counts = kernels::count_unit_bins(values.data<T>(), values.size(), low, high); });
    }
  });
  return histogram;
}

UnitBinHistogram count_through_numpy(PyObject* image, PyObject* low_thr, PyObject* high_thr) {
  Ref histogram_function = global_attr("np", "histogram");
  Ref flat = call_method(image, "flatten");
  Ref bins = py_subtract(Ref::borrow(high_thr), Ref::borrow(low_thr));
  Ref range = new_list({Ref::borrow(low_thr), Ref::borrow(high_thr)});
  Ref result = call(histogram_function, flat, Kw{"bins", bins}, Kw{"range", range});
  UnitBinHistogram histogram;
  Ref hist = checked(PySequence_GetItem(result.get(), 0));
  histogram.edges = checked(PySequence_GetItem(result.get(), 1));
  const Array counts = contiguous_as(hist.get(), NPY_INT64);
  histogram.counts.assign(counts.data<std::int64_t>(), counts.data<std::int64_t>() + counts.size());
  return histogram;
}

// An empty histogram makes every share 0/0: NumPy reports each of those
// divisions (a RuntimeWarning by default), so they are made through NumPy.
void report_empty_shares(std::ptrdiff_t shares) {
  for (std::ptrdiff_t i = 0; i < shares; ++i) py_true_divide(intp(0), intp(0));
}

// np.clip(edge * scale, 0, 255)
Ref clipped_to_8_bits(const Ref& edge, PyObject* scale) {
  Ref clip = global_attr("np", "clip");
  Ref scaled = py_multiply(edge, Ref::borrow(scale));
  return call(clip, scaled, 0, 255);
}

}  // namespace

Ref get_boundary(const Args& args) {
  PyObject* image = args.arg("image");
  PyObject* low_thr = args.arg("low_thr");
  PyObject* high_thr = args.arg("high_thr");
  long long low = 0, high = 0;
  const UnitBinHistogram histogram = counts_natively(image, low_thr, high_thr, low, high)
                                         ? count_natively(image, low, high)
                                         : count_through_numpy(image, low_thr, high_thr);
  if (histogram.counts.empty()) raise(PyExc_ValueError, "attempt to get argmax of an empty sequence");
  const kernels::Boundaries found = kernels::histogram_boundaries(histogram.counts);
  bool empty = true;
  for (std::int64_t count : histogram.counts) empty = empty && count == 0;
  if (empty) report_empty_shares(found.shares_computed);
  Ref peak = py_add(intp(found.peak), Ref::borrow(low_thr));
  Ref left = clipped_to_8_bits(histogram.edge(found.left), args.arg("l_scale"));
  Ref right = clipped_to_8_bits(histogram.edge(found.right + 1), args.arg("r_scale"));
  return tuple(peak, left, right);
}

}  // namespace utility_tool

const ClassSpec& utility_tool_class() {
  static const ClassSpec spec{
      "UtilityTool",
      {
          positional("_init", init_nothing, {}),
          positional("convert_rgb_to_ycbcr", utility_tool::convert_rgb_to_ycbcr, {{"img"}}),
          positional("normalize_and_calculate_variance", utility_tool::normalize_and_calculate_variance,
                     {{"lst"}}),
          positional("get_boundary", utility_tool::get_boundary,
                     {{"image"}, {"low_thr", 0}, {"high_thr", 256}, {"l_scale", 0}, {"r_scale", 1}}),
          positional("calculate_entropy", utility_tool::calculate_entropy, {{"probabilities"}}),
      }};
  return spec;
}

}  // namespace pictor
