// ImageEnhancer: blend, histogram, grey-level, pyramid, sharpening and tone enhancements.
#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/depth.h"
#include "frame/ndarray.h"
#include "frame/scalars.h"
#include "frame/singleton.h"
#include "frame/split_work.h"
#include "frame/values.h"
#include "kernels/blend.h"
#include "kernels/levels.h"
#include "kernels/pyramid.h"
#include "kernels/reduce.h"
#include "kernels/selection.h"
#include "kernels/sharpen.h"
#include "kernels/stretch.h"
#include "kernels/tone.h"
#include "native_filters.h"
#include "tools.h"

namespace pictor {
namespace {

// --- shared by the blend, stretch and grey-level methods -------------------------------------

using kernels::BlendMode;

// `value` as a C-contiguous array of an element type with native kernels
// (TypeError for float16, complex, object, ...).
Array real_image(PyObject* value, Where where = Where::current()) {
  Array image = contiguous(value, where);
  if (!visit_real_type(image.type(), [](auto) {})) {
    PyErr_Format(PyExc_TypeError, "no native kernel for images of element type %R",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(image.array())));
    throw PyError{where};
  }
  return image;
}

// Calls visit(T{}) with the C++ element type of a real_image.
template <class F>
void visit_samples(const Array& image, F&& visit) {
  visit_real_type(image.type(), std::forward<F>(visit));
}

template <class F>
void visit_float_type(int type, F&& visit) {
  if (type == NPY_FLOAT) {
    visit(float{});
  } else {
    visit(double{});
  }
}

PyArrayObject* as_array(PyObject* value) { return reinterpret_cast<PyArrayObject*>(value); }

bool same_shape(PyObject* a, PyObject* b) {
  const int ndim = PyArray_NDIM(as_array(a));
  return ndim == PyArray_NDIM(as_array(b)) &&
         PyArray_CompareLists(PyArray_DIMS(as_array(a)), PyArray_DIMS(as_array(b)), ndim);
}

// Plain ndarrays only: subclasses keep their own arithmetic.
bool is_float_array(PyObject* value) {
  if (!PyArray_CheckExact(value)) return false;
  const int type = PyArray_TYPE(as_array(value));
  return type == NPY_FLOAT || type == NPY_DOUBLE;
}

bool is_real_array(PyObject* value) {
  return PyArray_CheckExact(value) && visit_real_type(PyArray_TYPE(as_array(value)), [](auto) {});
}

// A blend threshold the fused blend takes: a float, or an int a double holds exactly.
std::optional<double> plain_threshold(PyObject* thr) {
  if (PyFloat_Check(thr)) return PyFloat_AS_DOUBLE(thr);
  if (!PyLong_Check(thr)) return std::nullopt;
  constexpr long long kExactInDouble = 1LL << 53;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(thr, &overflow);
  if (overflow != 0 || value < -kExactInDouble || value > kExactInDouble) return std::nullopt;
  return static_cast<double>(value);
}

Ref gaussian_blur(PyObject* src, const Ref& ksize, Where where) {
  return cv2(Name("GaussianBlur", where), src, tuple(ksize, ksize), 0);
}

// The fused loops read the blur sample by sample beside its source; OpenCV
// returns another layout for single-channel 3-d and for 1-d sources, whose
// arithmetic then broadcasts.
bool blur_matches(PyObject* src, PyObject* blurred) {
  return is_real_array(src) && PyArray_CheckExact(blurred) &&
         PyArray_TYPE(as_array(src)) == PyArray_TYPE(as_array(blurred)) && same_shape(src, blurred);
}

// (src - blurred.astype("float32") + 32767.5) / 65535.0 through NumPy's operators.
Ref numpy_overlay(PyObject* src, const Ref& blurred, Where where) {
  Ref blurimg = call_method(blurred.get(), Name("astype", where), "float32");
  Ref difference = checked(PyNumber_Subtract(src, blurimg.get()), where);
  Ref hp = checked(PyNumber_Add(difference.get(), to_py(kernels::kOverlayCentre).get()), where);
  return checked(PyNumber_TrueDivide(hp.get(), to_py(kernels::kOverlayScale).get()), where);
}

// __get_overlay: the high-pass layer of src around 0.5.
Ref overlay_layer(PyObject* src, const Ref& ksize, Where where) {
  Ref blurred = gaussian_blur(src, ksize, where);
  if (!blur_matches(src, blurred.get())) return numpy_overlay(src, blurred, where);
  Array source = contiguous(src, where);
  Array blur = contiguous(blurred.get(), where);
  Ref overlay;
  visit_samples(source, [&](auto zero) {
    using T = decltype(zero);
    using F = kernels::OverlayFloat<T>;
    Array layer = new_array_like(source, std::is_same_v<F, float> ? NPY_FLOAT : NPY_DOUBLE, where);
    without_gil([&] { kernels::overlay_layer(source.data<T>(), blur.data<T>(), layer.data<F>(), source.size()); });
    overlay = layer.object;
  });
  return overlay;
}

// np.clip(T1 * mask + T2 * (1 - mask), 0, 1) through NumPy's operators.
template <BlendMode mode>
Ref numpy_blend(PyObject* base, PyObject* overlay, PyObject* thr, Where where) {
  auto operation = [where](binaryfunc op, const Ref& a, const Ref& b) { return checked(op(a.get(), b.get()), where); };
  const Ref one = to_py(1), two = to_py(2), base_ref = Ref::borrow(base), overlay_ref = Ref::borrow(overlay);
  Ref mask = checked(PyObject_RichCompare(mode == BlendMode::HardLight ? base : overlay, thr, Py_LT), where);
  Ref t1 = operation(PyNumber_Multiply, operation(PyNumber_Multiply, two, base_ref), overlay_ref);
  Ref doubled_rest = operation(PyNumber_Multiply, two, operation(PyNumber_Subtract, one, base_ref));
  Ref t2 = operation(PyNumber_Subtract, one,
                     operation(PyNumber_Multiply, doubled_rest, operation(PyNumber_Subtract, one, overlay_ref)));
  Ref selected_t1 = operation(PyNumber_Multiply, t1, mask);
  Ref selected_t2 = operation(PyNumber_Multiply, t2, operation(PyNumber_Subtract, one, mask));
  return np(Name("clip", where), operation(PyNumber_Add, selected_t1, selected_t2), 0, 1);
}

// __hard_light / __image_overlay: fused for float layers of one shape and a
// plain number as threshold; anything else follows NumPy's operators.
template <BlendMode mode>
Ref blend_layers(PyObject* base, PyObject* overlay, PyObject* thr, Where where) {
  const std::optional<double> threshold = plain_threshold(thr);
  if (!threshold || !is_float_array(base) || !is_float_array(overlay) || !same_shape(base, overlay)) {
    return numpy_blend<mode>(base, overlay, thr, where);
  }
  Array base_layer = contiguous(base, where);
  Array overlay_layer = contiguous(overlay, where);
  Array blended = new_array_like(base_layer, NPY_DOUBLE, where);
  const kernels::Threshold selector(*threshold);
  visit_float_type(base_layer.type(), [&](auto base_zero) {
    visit_float_type(overlay_layer.type(), [&](auto overlay_zero) {
      using B = decltype(base_zero);
      using O = decltype(overlay_zero);
      without_gil([&] {
        kernels::blend_layers<mode>(base_layer.data<B>(), overlay_layer.data<O>(), selector, blended.data<double>(),
                                    base_layer.size());
      });
    });
  });
  return blended.object;
}

// The loop over range(multi_scale) never assigned base_hl.
[[noreturn]] void raise_unbound_base_hl(Where where) {
  raise(PyExc_UnboundLocalError, "local variable 'base_hl' referenced before assignment", where);
}

// len(range(multi_scale)), with range's TypeError for non-integers.
Py_ssize_t pass_count(const Ref& multi_scale, Where where) {
  Ref count = checked(PyNumber_Index(multi_scale.get()), where);
  const Py_ssize_t passes = PyLong_AsSsize_t(count.get());
  if (passes == -1 && PyErr_Occurred()) throw PyError{where};
  return passes;
}

// The multi-scale steps one by one on the blend methods' own cores: for
// sources whose blur does not line up with them sample by sample.
template <BlendMode mode>
Ref stepwise_multi_scale(PyObject* src, double max_value, Ref ksize, const Ref& multi_scale, const Ref& step_ksize,
                         Where where) {
  Ref base = checked(PyNumber_TrueDivide(src, to_py(max_value).get()), where);
  Ref overlay = overlay_layer(src, ksize, where);
  Ref overlay_hl = overlay;
  Ref base_hl;
  const Ref half = to_py(kernels::kBlendThreshold);
  for (Py_ssize_t pass = pass_count(multi_scale, where); pass > 0; --pass) {
    checked_status(PyErr_CheckSignals(), where);
    overlay_hl = blend_layers<mode>(overlay_hl.get(), overlay.get(), half.get(), where);
    base_hl = blend_layers<mode>(base.get(), overlay_hl.get(), half.get(), where);
    ksize = checked(PyNumber_Add(ksize.get(), step_ksize.get()), where);
    overlay = overlay_layer(src, ksize, where);
  }
  if (!base_hl) raise_unbound_base_hl(where);
  Ref scaled = checked(PyNumber_Multiply(base_hl.get(), to_py(65535).get()), where);
  return call_method(scaled.get(), Name("astype", where), global_attr(Name("np", where), "uint16"));
}

// The overlay after the last pass feeds no blend; only its failure can be
// seen (an even or non-positive side, a bad type), so it blurs the top-left
// 2 x 2 corner alone. OpenCV skips a dimension of length 1 and checks the
// side otherwise, which the corner reproduces.
void check_unused_blur(PyObject* src, const Ref& ksize, Where where) {
  Ref first_two = checked(PySlice_New(nullptr, to_py(2).get(), nullptr), where);
  Ref corner = checked(PyObject_GetItem(src, tuple(first_two, first_two).get()), where);
  gaussian_blur(corner.get(), ksize, where);
}

// Every pass as one loop over the samples. Returns an empty Ref if a later
// blur does not line up with the source.
template <BlendMode mode>
Ref fused_multi_scale(PyObject* src, Ref blurred, double max_value, Ref ksize, Py_ssize_t passes,
                      const Ref& step_ksize, Where where) {
  Array source = contiguous(src, where);
  Array result = new_array_like(source, NPY_USHORT, where);
  std::vector<double> chain(passes > 1 ? static_cast<std::size_t>(source.size()) : 0);
  bool lined_up = true;
  visit_samples(source, [&](auto zero) {
    using T = decltype(zero);
    for (Py_ssize_t pass = 1; pass <= passes && lined_up; ++pass) {
      checked_status(PyErr_CheckSignals(), where);  // a huge multi_scale runs as long as the recipe: let ^C stop it
      const bool last = pass == passes;
      const kernels::Pass stage = passes == 1 ? kernels::Pass::Only
                                  : pass == 1 ? kernels::Pass::First
                                  : last      ? kernels::Pass::Last
                                              : kernels::Pass::Middle;
      Array blur = contiguous(blurred.get(), where);
      without_gil([&] {
        kernels::multi_scale_pass<mode>(stage, source.data<T>(), blur.data<T>(), chain.data(),
                                        result.data<std::uint16_t>(), source.size(), max_value);
      });
      ksize = checked(PyNumber_Add(ksize.get(), step_ksize.get()), where);
      if (last) {
        check_unused_blur(src, ksize, where);
      } else {
        blurred = gaussian_blur(src, ksize, where);
        lined_up = blur_matches(src, blurred.get());
      }
    }
  });
  return lined_up ? result.object : Ref();
}

// Both multi-scale enhancements: the blend chain over growing Gaussian overlays.
template <BlendMode mode>
Ref multi_scale_blend(const Args& args, Where where = Where::current()) {
  Ref src = args.get("src");
  Ref ksize = odd_value(args.get("init_ksize"), where);
  Ref multi_scale = args.get("multi_scale");
  Ref step_ksize = args.get("step_ksize");
  const double max_value = depth::full_scale(src.get(), where);
  const int ndim = is_real_array(src.get()) ? PyArray_NDIM(as_array(src.get())) : 0;
  if (ndim == 2 || ndim == 3) {
    Ref blurred = gaussian_blur(src.get(), ksize, where);
    if (blur_matches(src.get(), blurred.get())) {
      const Py_ssize_t passes = pass_count(multi_scale, where);
      if (passes <= 0) raise_unbound_base_hl(where);
      Ref result = fused_multi_scale<mode>(src.get(), blurred, max_value, ksize, passes, step_ksize, where);
      if (result) return result;
    }
  }
  return stepwise_multi_scale<mode>(src.get(), max_value, ksize, multi_scale, step_ksize, where);
}

// `result` as .astype(src.dtype) gives it: the byte order of src included.
Ref in_type_of(PyObject* src, const Array& result, Where where = Where::current()) {
  if (PyArray_Check(src) && PyArray_ISNBO(PyArray_DESCR(as_array(src))->byteorder)) return result.object;
  Ref dtype = attr(src, Name("dtype", where));
  return call_method(result.object.get(), Name("astype", where), dtype);
}

bool is_real_number(PyObject* value) {
  return PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Floating) ||
         PyArray_IsScalar(value, Integer);
}

// ratio * factor as NumPy 1.x computes it for a Python or NumPy real scalar:
// in float64 (a float32 scalar times a Python float is float64 there, unlike
// NumPy 2). Anything else goes through the interpreter's `*`.
double scalar_product(const Ref& ratio, double factor, Where where = Where::current()) {
  if (is_real_number(ratio.get()) && !PyArray_IsScalar(ratio.get(), LongDouble)) {
    return as_double(ratio, where) * factor;
  }
  return as_double(checked(PyNumber_Multiply(ratio.get(), to_py(factor).get()), where), where);
}

// (result / 255 * 65535).astype(np.uint16) of a library result, which is not
// always an array (equalizeHist gives None for an empty image).
Ref restore_u16_of(const Ref& result, Where where = Where::current()) {
  if (PyArray_Check(result.get())) return depth::restore_u16(result.get(), where);
  Ref unit = checked(PyNumber_TrueDivide(result.get(), to_py(255).get()), where);
  Ref scaled = checked(PyNumber_Multiply(unit.get(), to_py(65535).get()), where);
  return call_method(scaled.get(), Name("astype", where), global_attr(Name("np", where), "uint16"));
}

// The truncation stretch of the working copy through NumPy's operators, for
// limits that are not plain numbers.
Ref numpy_truncation_stretch(const Ref& working, const Ref& low, const Ref& high, Where where) {
  auto as_type = [where](const Ref& array, const char* type) {
    return call_method(array.get(), Name("astype", where), global_attr(Name("np", where), type));
  };
  Ref clipped = np(Name("clip", where), as_type(working, "float32"), low, high);
  Ref shifted = checked(PyNumber_Subtract(clipped.get(), low.get()), where);
  Ref span = checked(PyNumber_Subtract(high.get(), low.get()), where);
  Ref ratio = checked(PyNumber_TrueDivide(shifted.get(), span.get()), where);
  Ref scaled = checked(PyNumber_Multiply(ratio.get(), to_py(255).get()), where);
  return restore_u16_of(as_type(scaled, "uint8"), where);
}

// ((np.clip(working, low, high) - low) / (high - low) * 255).astype(np.uint8)
// restored to 16 bits: a table of the 256 working levels.
Ref truncation_stretch(const Ref& working, const Ref& min_val, const Ref& max_val, Where where) {
  if (!is_real_number(min_val.get()) || !is_real_number(max_val.get())) {
    return numpy_truncation_stretch(working, min_val, max_val, where);
  }
  const double low = as_double(min_val, where);
  const double high = as_double(max_val, where);
  const double span = as_double(checked(PyNumber_Subtract(max_val.get(), min_val.get()), where), where);
  std::array<std::uint16_t, kernels::kWorkingLevels> table;
  const bool clip_in_float32 = kernels::keeps_float32(low) && kernels::keeps_float32(high);
  kernels::with_float_type(clip_in_float32, [&](auto clip_zero) {
    using C = decltype(clip_zero);
    kernels::with_float_type(clip_in_float32 && kernels::keeps_float32(span), [&](auto ratio_zero) {
      kernels::truncation_stretch_table<C, decltype(ratio_zero)>(low, high, span, table.data());
    });
  });
  Array levels = contiguous(working.get(), where);
  Array result = new_array_like(levels, NPY_USHORT, where);
  const int threads = call_threads(levels.size());
  without_gil([&] {
    kernels::map_levels(levels.data<std::uint8_t>(), table.data(), result.data<std::uint16_t>(), levels.size(),
                        threads);
  });
  return result.object;
}

[[noreturn]] void raise_memory_error(Where where = Where::current()) {
  PyErr_NoMemory();
  throw PyError{where};
}

// peak_index, min_val, max_val = boundary (Python's unpacking and its errors).
std::array<Ref, 3> unpack_boundary(const Ref& boundary, Where where) {
  Ref iterator = Ref::steal(PyObject_GetIter(boundary.get()));
  if (!iterator) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(boundary.get())->tp_name);
    throw PyError{where};
  }
  std::array<Ref, 3> items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (items[i]) continue;
    if (PyErr_Occurred()) throw PyError{where};
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zu)", i);
    throw PyError{where};
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 3)", where);
  if (PyErr_Occurred()) throw PyError{where};
  return items;
}

// int(np.floor(size * fraction)) used as an index of the sorted samples,
// with NumPy's IndexError outside [-size, size).
Py_ssize_t sorted_position(Py_ssize_t size, const Ref& fraction, Where where) {
  Ref product = checked(PyNumber_Multiply(to_py(static_cast<long long>(size)).get(), fraction.get()), where);
  Ref floored = np(Name("floor", where), product);
  Ref index = checked(PyNumber_Long(floored.get()), where);
  const Py_ssize_t position = PyLong_AsSsize_t(index.get());
  if (position == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_IndexError,
          "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or boolean arrays "
          "are valid indices",
          where);
  }
  if (position < -size || position >= size) {
    PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", position, size);
    throw PyError{where};
  }
  return position < 0 ? position + size : position;
}

// (np.clip(powered, 0, 1) * 65535.0).astype(np.uint16) of NumPy's result.
Ref gamma_to_u16(const Ref& powered, Where where) {
  if (!is_float_array(powered.get())) {
    Ref clipped = np(Name("clip", where), powered, 0, 1);
    Ref scaled = checked(PyNumber_Multiply(clipped.get(), to_py(kernels::kFullScale16).get()), where);
    return call_method(scaled.get(), Name("astype", where), global_attr(Name("np", where), "uint16"));
  }
  Array values = contiguous(powered.get(), where);
  Array levels = new_array_like(values, NPY_USHORT, where);
  visit_float_type(values.type(), [&](auto zero) {
    using F = decltype(zero);
    split_samples_without_gil(values.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::gamma_to_u16(values.data<F>() + begin, levels.data<std::uint16_t>() + begin, end - begin);
    });
  });
  return levels.object;
}

// A gamma_value that NumPy 1.x treats as a scalar exponent: a Python or
// NumPy integer or float, or a 0-d array of one.
struct ScalarExponent {
  double value;
  float single;            // the exponent cast to float32
  bool single_precision;   // the power loop NumPy 1.x picks for a float32 base
};

std::optional<ScalarExponent> scalar_exponent(PyObject* gamma_value) {
  Ref value = Ref::borrow(gamma_value);
  if (PyArray_Check(gamma_value) && PyArray_NDIM(as_array(gamma_value)) == 0) {
    const int type = PyArray_TYPE(as_array(gamma_value));
    if (!PyTypeNum_ISBOOL(type) && !PyTypeNum_ISINTEGER(type) && type != NPY_HALF && type != NPY_FLOAT &&
        type != NPY_DOUBLE) {
      return std::nullopt;
    }
    value = Ref::steal(PyArray_GETITEM(as_array(gamma_value), PyArray_BYTES(as_array(gamma_value))));
    if (!value) {
      PyErr_Clear();
      return std::nullopt;
    }
  }
  PyObject* number = value.get();
  if (PyLong_Check(number) || PyArray_IsScalar(number, Integer) || PyArray_IsScalar(number, Bool)) {
    Ref integer = Ref::steal(PyNumber_Long(number));
    int overflow = 0;
    const long long exact = integer ? PyLong_AsLongLongAndOverflow(integer.get(), &overflow) : -1;
    if (!integer || overflow != 0 || (exact == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return std::nullopt;  // beyond int64: NumPy's own conversion decides
    }
    // An integer is of a lower kind than float32, so the loop stays float32.
    return ScalarExponent{static_cast<double>(exact), static_cast<float>(exact), true};
  }
  if (PyFloat_Check(number) || PyArray_IsScalar(number, Half) || PyArray_IsScalar(number, Float)) {
    const double exponent = PyFloat_AsDouble(number);
    return ScalarExponent{exponent, static_cast<float>(exponent), kernels::keeps_float32(exponent)};
  }
  return std::nullopt;
}

std::optional<kernels::PowerShortcut> power_shortcut(double exponent) {
  if (exponent == 1.0) return kernels::PowerShortcut::Copy;
  if (exponent == -1.0) return kernels::PowerShortcut::Reciprocal;
  if (exponent == 0.0) return kernels::PowerShortcut::Ones;
  if (exponent == 0.5) return kernels::PowerShortcut::SquareRoot;
  if (exponent == 2.0) return kernels::PowerShortcut::Square;
  return std::nullopt;
}

// np.power(unit, exponent) in the loop NumPy 1.x picks (float32, or float64
// for an exponent beyond float32), the exponent given per element in that
// type so that no NumPy version substitutes its own scalar shortcut.
Ref numpy_power(const Array& unit, const ScalarExponent& exponent, Where where) {
  const int type = exponent.single_precision ? NPY_FLOAT : NPY_DOUBLE;
  Array base = exponent.single_precision ? unit : contiguous_as(unit.object.get(), NPY_DOUBLE, where);
  Array exponents = new_array_like(base, type, where);
  if (exponent.single_precision) {
    std::fill(exponents.data<float>(), exponents.data<float>() + exponents.size(), exponent.single);
  } else {
    std::fill(exponents.data<double>(), exponents.data<double>() + exponents.size(), exponent.value);
  }
  return np(Name("power", where), base.object, exponents.object);
}

// NumPy warns about a power only for a result that is not a finite normal
// number or for a negative base. Unsigned levels scaled to at most 257 and
// an exponent in [0, 7] give 0 or powers within [(1/65535)^7, 257^7], all
// normal float32 values: raising the levels missing from the image as well
// then adds no warning of its own.
constexpr double kQuietExponentLimit = 7.0;

template <class T>
bool power_of_every_level_is_quiet(const ScalarExponent& exponent) {
  return std::is_unsigned_v<T> && exponent.value >= 0 && exponent.value <= kQuietExponentLimit;
}

// The level indices whose powers NumPy computes: those present in the image,
// so that NumPy raises (and warns about) the values it would meet in the
// image, or, for an image with more samples than levels, every level when
// none of them can make NumPy warn.
template <class T>
std::vector<std::size_t> levels_to_raise(const Array& image, const ScalarExponent& exponent) {
  std::vector<std::uint8_t> present(kernels::level_count<T>, 1);
  const bool every_level = image.size() > static_cast<npy_intp>(kernels::level_count<T>) &&
                           power_of_every_level_is_quiet<T>(exponent);
  if (!every_level) {
    std::fill(present.begin(), present.end(), 0);
    const int threads = call_threads(image.size());
    without_gil([&] { kernels::mark_levels(image.data<T>(), image.size(), present.data(), threads); });
  }
  std::vector<std::size_t> indices;
  for (std::size_t index = 0; index < present.size(); ++index) {
    if (present[index]) indices.push_back(index);
  }
  return indices;
}

// gamma_stretched with an exponent NumPy 1.x evaluates without its power
// function: the whole recipe natively, per level.
template <class T>
Ref gamma_through_shortcut(const Array& image, double max_value, kernels::PowerShortcut shortcut, Where where) {
  Array result = new_array_like(image, NPY_USHORT, where);
  const int threads = call_threads(image.size());
  without_gil([&] {
    kernels::gamma_by_shortcut(image.data<T>(), result.data<std::uint16_t>(), image.size(),
                               static_cast<float>(max_value), shortcut, threads);
  });
  return result.object;
}

// gamma_stretched with a general scalar exponent: NumPy raises the [0, 1]
// float32 values, of every sample or, for samples of at most 16 bits, of
// the levels in a table.
template <class T>
Ref gamma_through_power(const Array& image, double max_value, const ScalarExponent& exponent, Where where) {
  const float divisor = static_cast<float>(max_value);
  if constexpr (!kernels::has_level_table<T>) {
    Array unit = new_array_like(image, NPY_FLOAT, where);
    split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::to_unit_float32(image.data<T>() + begin, unit.data<float>() + begin, end - begin, divisor);
    });
    return gamma_to_u16(numpy_power(unit, exponent, where), where);
  } else {
    const std::vector<std::size_t> indices = levels_to_raise<T>(image, exponent);
    const npy_intp count = static_cast<npy_intp>(indices.size());
    Array unit = new_array(1, &count, NPY_FLOAT, where);
    for (npy_intp j = 0; j < count; ++j) {
      unit.data<float>()[j] = kernels::unit_float32(kernels::level_at<T>(indices[j]), divisor);
    }
    Array stretched = contiguous(gamma_to_u16(numpy_power(unit, exponent, where), where).get(), where);
    std::vector<std::uint16_t> table(kernels::level_count<T>, 0);
    for (npy_intp j = 0; j < count; ++j) table[indices[j]] = stretched.data<std::uint16_t>()[j];
    Array result = new_array_like(image, NPY_USHORT, where);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::map_levels(image.data<T>(), table.data(), result.data<std::uint16_t>(), image.size(), threads);
    });
    return result.object;
  }
}

// gamma_stretched with any other gamma_value (arrays, complex numbers, ...):
// NumPy's own `**` on the [0, 1] float32 image.
template <class T>
Ref gamma_through_operator(const Array& image, double max_value, const Ref& gamma_value, Where where) {
  Array unit = new_array_like(image, NPY_FLOAT, where);
  const float divisor = static_cast<float>(max_value);
  split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::to_unit_float32(image.data<T>() + begin, unit.data<float>() + begin, end - begin, divisor);
  });
  Ref powered = checked(PyNumber_Power(unit.object.get(), gamma_value.get(), Py_None), where);
  return gamma_to_u16(powered, where);
}

// __get_overlay
Ref get_overlay(const Args& args) {
  return overlay_layer(args.arg("src"), Ref::borrow(args.arg("ksize")), Where::current());
}

// __hard_light
Ref hard_light(const Args& args) {
  return blend_layers<BlendMode::HardLight>(args.arg("base"), args.arg("overlay"), args.arg("thr"), Where::current());
}

// __image_overlay
Ref image_overlay(const Args& args) {
  return blend_layers<BlendMode::ImageOverlay>(args.arg("base"), args.arg("overlay"), args.arg("thr"),
                                               Where::current());
}

// brightness_transfer
Ref brightness_transfer(const Args& args) {
  Ref src = args.get("src");
  Ref ratio = args.get("ratio");
  const double full_scale = depth::full_scale(src.get());
  Array image = real_image(src.get());
  const double target = scalar_product(ratio, full_scale);
  if (image.size() == 0) {
    raise(PyExc_ValueError, "zero-size array to reduction operation minimum which has no identity");
  }
  Array result = new_array_like(image, image.type());
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::brightness_transfer(image.data<T>(), result.data<T>(), image.size(), target, full_scale, threads);
    });
  });
  return in_type_of(src.get(), result);
}

// multi_scale_adaptive_hard_light_enhancement
Ref multi_scale_adaptive_hard_light_enhancement(const Args& args) {
  return multi_scale_blend<BlendMode::HardLight>(args);
}

// multi_scale_adaptive_image_overlay_enhancement
Ref multi_scale_adaptive_image_overlay_enhancement(const Args& args) {
  return multi_scale_blend<BlendMode::ImageOverlay>(args);
}

// histogram_enhancement
Ref histogram_enhancement(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref equalised = cv2("equalizeHist", working);
  return restore_u16_of(equalised);
}

// laplacian_pyramid

// Helpers of the pyramid, sharpening and tone enhancements.

// a + b and a * b with Python's operators.
Ref py_add(const Ref& a, long b, Where where = Where::current()) {
  Ref other = to_py(b);
  return checked(PyNumber_Add(a.get(), other.get()), where);
}

Ref py_multiply(const Ref& a, const Ref& b, Where where = Where::current()) {
  return checked(PyNumber_Multiply(a.get(), b.get()), where);
}

// `value == number` as an `if` reads it.
bool py_equals(const Ref& value, long number, Where where = Where::current()) {
  Ref other = to_py(number);
  Ref equal = checked(PyObject_RichCompare(value.get(), other.get(), Py_EQ), where);
  return checked_status(PyObject_IsTrue(equal.get()), where) != 0;
}

// "(5,6,1)", as NumPy writes a shape.
std::string shape_text(const Array& array) {
  std::string text = "(";
  for (int axis = 0; axis < array.ndim(); ++axis) {
    text += (axis ? "," : "") + std::to_string(array.shape()[axis]);
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

// Operands that a fused kernel combines element by element have the same
// shape. (The plain recipe would broadcast other shapes, which only 1-D and
// one-channel inputs produce: OpenCV drops their last axis.)
void require_same_shape(const Array& first, const Array& second, Where where = Where::current()) {
  const bool same = first.ndim() == second.ndim() &&
                    std::equal(first.shape(), first.shape() + first.ndim(), second.shape());
  if (same) return;
  PyErr_Format(PyExc_ValueError, "operands could not be broadcast together with shapes %s %s ",
               shape_text(first).c_str(), shape_text(second).c_str());
  throw PyError{where};
}

// A library result that a fused kernel combines with `like`: same shape and
// element type.
Array same_layout(const Ref& result, const Array& like, Where where = Where::current()) {
  Array array = contiguous(result.get(), where);
  require_same_shape(like, array, where);
  if (array.type() != like.type()) raise(PyExc_TypeError, "unexpected element type of a library result", where);
  return array;
}

// A result computed natively, returned as NumPy returns the result of
// arithmetic: a 0-d array becomes a scalar.
Ref numpy_result(Array& result) {
  return checked(PyArray_Return(reinterpret_cast<PyArrayObject*>(result.object.release())));
}

// src.astype(np.float32) / max_value
Array unit_float32(PyObject* src, double max_value, Where where = Where::current()) {
  Array input = contiguous(src, where);
  if (!visit_real_type(input.type(), [](auto) {})) input = contiguous_as(input.object.get(), NPY_FLOAT, where);
  Array image = new_array_like(input, NPY_FLOAT, where);
  visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    const auto divisor = static_cast<float>(max_value);
    const int threads = call_threads(input.size());
    without_gil([&] {
      kernels::map_by_level(
          input.data<T>(), image.data<float>(), input.size(),
          [divisor](T level) { return kernels::unit_float32(level, divisor); }, threads);
    });
  });
  return image;
}

// Pyramid levels are float32, or float64 where a keyword widened the
// arithmetic; other element types have no kernel.
Num level_type(const Array& level, PyObject* cause, Where where = Where::current()) {
  if (level.type() == NPY_FLOAT) return Num::F32;
  if (level.type() == NPY_DOUBLE) return Num::F64;
  raise_unsupported(cause, where);
}

template <class V>
void visit_level(const Array& level, V&& visit) {
  if (level.type() == NPY_FLOAT) {
    visit(float{});
  } else {
    visit(double{});
  }
}

// The difference-of-Gaussians detail layer of the pyramid enhancements.
struct DetailLayer {
  Ref min_ksize;
  Ref max_ksize;
  Ref scale;
  Ref gamma_value;
};

// Bounds of the pyramid base, or none; chosen once the detail layer exists.
struct BaseRange {
  double low;
  double high;
};
using BaseClip = std::function<std::optional<BaseRange>()>;

// An exponent array for np.power over `image` seen as rows of `row_length`
// samples: one row of `exponent`, or a column where rows have one sample.
// Either way it has a non-zero stride in NumPy's inner loop, where NumPy 2
// would replace the power of a scalar exponent 2, 0.5, 1 or -1 by a shortcut
// whose bits differ from NumPy 1.x's power.
Array exponent_array(Num type, const Scalar& exponent, npy_intp rows, npy_intp row_length) {
  const npy_intp shape[2] = {row_length > 1 ? 1 : rows, row_length};
  Array exponents = new_array(2, shape, numpy_type(type));
  visit_real(type, Py_None, [&](auto zero) {
    using T = decltype(zero);
    std::fill_n(exponents.data<T>(), exponents.size(), exponent.as<T>());
  });
  return exponents;
}

// np.power(image, gamma_value) as NumPy 1.x computes it: by NumPy's power
// loop in the element type NumPy 1.x gives it, in place of a buffer of that
// type.
Array gamma_corrected(const Array& image, const Ref& gamma_value) {
  const std::optional<Scalar> exponent = read_scalar(gamma_value.get());
  if (!exponent) return contiguous(np("power", image.object, gamma_value).get());
  const Num type = result_type(Num::F32, *exponent);
  if (type != Num::F32 && type != Num::F64) raise_unsupported(gamma_value.get());
  Array base = type == Num::F32 ? image : contiguous_as(image.object.get(), numpy_type(type));
  const npy_intp rows = base.ndim() > 0 ? base.shape()[0] : 1;
  const npy_intp row_length = rows > 0 ? base.size() / rows : 0;
  npy_intp view_shape[2] = {rows, row_length};
  PyArray_Dims dims{view_shape, 2};
  Ref rows_view = checked(PyArray_Newshape(base.array(), &dims, NPY_CORDER));
  Array exponents = exponent_array(type, *exponent, rows, row_length);
  np("power", rows_view, exponents.object, Kw{"out", rows_view});
  return base;
}

// The levels of a pyramid enhancement, Gaussian levels that become detail
// levels in place, and one spare full-size buffer of the finest level's
// layout (or none) that takes the upsampling to full size.
struct Pyramid {
  std::vector<Array> levels;
  Array scratch;
};

// copy.deepcopy(base), with `copy` looked up in the module namespace as
// every module-level name is. The standard library's deep copy of an array
// that only this call holds would be an identical array that nobody else
// sees, so it is not made; any other deepcopy is called.
Array deep_copied(const Array& base) {
  Ref deepcopy = attr(global("copy"), "deepcopy");
  Ref standard_copy = checked(PyImport_ImportModule("copy"));
  if (deepcopy.get() == attr(standard_copy, "deepcopy").get()) return base;
  return same_layout(call(deepcopy, base.object), base);
}

// gauss0 = copy.deepcopy(clip(gamma_img + (min_gaus - max_gaus) * scale)),
// gamma_img = np.power(src.astype(np.float32) / max_value, gamma_value).
Pyramid pyramid_base(PyObject* src, const DetailLayer& layer, const BaseClip& base_clip) {
  const double max_value = depth::full_scale(src);
  Array gamma = gamma_corrected(unit_float32(src, max_value), layer.gamma_value);
  Array fine = same_layout(cv2("GaussianBlur", gamma.object, tuple(layer.min_ksize, layer.min_ksize), 0), gamma);
  Array coarse = same_layout(cv2("GaussianBlur", gamma.object, tuple(layer.max_ksize, layer.max_ksize), 0), gamma);
  const Operand scale = operand(layer.scale, level_type(gamma, layer.gamma_value.get()), Operation::Multiply);
  const std::optional<BaseRange> range = base_clip();
  if (scale.result != Num::F32 && scale.result != Num::F64) raise_unsupported(layer.scale.get());
  const int base_type = numpy_type(scale.result);
  Array base = base_type == gamma.type() ? fine : new_array_like(gamma, base_type);
  visit_level(gamma, [&](auto blur_zero) {
    visit_level(base, [&](auto base_zero) {
      using G = decltype(blur_zero);
      using F = decltype(base_zero);
      kernels::ClipRange<F> clip;
      if (range) clip = {true, static_cast<F>(range->low), static_cast<F>(range->high)};
      const F factor = scale.value.as<F>();
      without_gil([&] {
        kernels::boost_details(gamma.data<G>(), fine.data<G>(), coarse.data<G>(), factor, clip, base.data<F>(),
                               gamma.size());
      });
    });
  });
  gamma = fine = Array{};  // only the base is needed from here on, and a spare full-size buffer
  Pyramid pyramid;
  pyramid.levels.push_back(deep_copied(base));
  if (pyramid.levels.front().object.get() != base.object.get()) {
    pyramid.scratch = base;
  } else if (coarse.type() == base.type()) {
    pyramid.scratch = coarse;
  }
  return pyramid;
}

// gauss1 ... gauss<depth>, each cv2.pyrDown of the one before.
void add_gaussian_levels(Pyramid& pyramid, int depth) {
  for (int level = 1; level <= depth; ++level) {
    Ref smaller = cv2("pyrDown", pyramid.levels.back().object);
    Array array = contiguous(smaller.get());
    if (array.type() != pyramid.levels.front().type()) raise(PyExc_TypeError, "pyrDown changed the element type");
    pyramid.levels.push_back(std::move(array));
  }
}

// cv2.pyrUp(level, dstsize=(like.shape[1], like.shape[0])), into the
// pyramid's scratch buffer when `like` is the finest level.
Array upsampled_to(const Pyramid& pyramid, const Array& level, const Array& like, Where where = Where::current()) {
  Ref size = tuple(static_cast<long>(like.shape()[1]), static_cast<long>(like.shape()[0]));
  const bool into_scratch = pyramid.scratch.object && &like == &pyramid.levels.front();
  Ref upsampled = into_scratch
      ? cv2(Name("pyrUp", where), level.object, Kw{"dst", pyramid.scratch.object}, Kw{"dstsize", size})
      : cv2(Name("pyrUp", where), level.object, Kw{"dstsize", size});
  return same_layout(upsampled, like, where);
}

// Every level but the coarsest becomes its amplified detail level, in place:
// lap_k = (gauss_k - cv2.pyrUp(gauss_k+1)) * gains[k].
void amplify_details(Pyramid& pyramid, const std::vector<Scalar>& gains) {
  std::vector<Array>& levels = pyramid.levels;
  for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
    Array upsampled = upsampled_to(pyramid, levels[k + 1], levels[k]);
    visit_level(levels[k], [&](auto zero) {
      using F = decltype(zero);
      const F factor = gains[k].as<F>();
      without_gil([&] {
        kernels::amplified_detail(levels[k].data<F>(), upsampled.data<F>(), factor, levels[k].size());
      });
    });
  }
}

// Truncation of a coarse detail level after its gain: mode 0 clips it to
// [-0.03, its mean], mode 1 to [-0.05, its maximum], any other mode keeps it.
void truncate_detail(Array& level, const Ref& mode) {
  constexpr double kMeanModeFloor = -0.03;
  constexpr double kMaxModeFloor = -0.05;
  const bool to_mean = py_equals(mode, 0);
  if (!to_mean && !py_equals(mode, 1)) return;
  if (level.size() == 0) return;
  visit_level(level, [&](auto zero) {
    using F = decltype(zero);
    F* data = level.data<F>();
    without_gil([&] {
      const F high =
          to_mean ? kernels::numpy_mean(data, level.size()) : kernels::numpy_extremes(data, level.size()).second;
      const F low = static_cast<F>(to_mean ? kMeanModeFloor : kMaxModeFloor);
      kernels::clip_in_place(data, level.size(), low, high);
    });
  });
}

// From the coarsest Gaussian level up: each step upsamples the partial result
// to the next detail level and adds it; the last step gives
// (np.clip(res0, 0, 1) * 65535).astype(np.uint16).
Ref collapse(Pyramid& pyramid) {
  std::vector<Array>& levels = pyramid.levels;
  Array partial = std::move(levels.back());
  for (std::size_t k = levels.size() - 2; k > 0; --k) {
    Array upsampled = upsampled_to(pyramid, partial, levels[k]);
    visit_level(upsampled, [&](auto zero) {
      using F = decltype(zero);
      without_gil([&] { kernels::add_detail(levels[k].data<F>(), upsampled.data<F>(), upsampled.size()); });
    });
    partial = std::move(upsampled);
    levels[k] = Array{};
  }
  const Array& finest = levels.front();
  Array upsampled = upsampled_to(pyramid, partial, finest);
  partial = Array{};
  Array result = new_array_like(finest, NPY_USHORT);
  visit_level(finest, [&](auto zero) {
    using F = decltype(zero);
    without_gil([&] {
      kernels::collapse_to_u16(finest.data<F>(), upsampled.data<F>(), result.data<std::uint16_t>(), finest.size());
    });
  });
  return numpy_result(result);
}

constexpr long kLargerKernelStep = 4;  // laplacian_pyramid's larger blur side: min_ksize + 4
constexpr int kLaplacianPyramidDepth = 4;
constexpr double kLaplacianPyramidGain = 1.5;

Ref laplacian_pyramid(const Args& args) {
  Ref src = args.get("src");
  Ref min_ksize = odd_value(args.get("min_ksize"));
  Ref max_ksize = odd_value(py_add(args.get("min_ksize"), kLargerKernelStep));
  const DetailLayer layer{min_ksize, max_ksize, args.get("scale"), args.get("gamma_value")};
  Pyramid pyramid = pyramid_base(src.get(), layer, [] { return std::optional<BaseRange>(BaseRange{0.0, 1.0}); });
  add_gaussian_levels(pyramid, kLaplacianPyramidDepth);
  amplify_details(pyramid, std::vector<Scalar>(kLaplacianPyramidDepth, real_scalar(Num::F64, kLaplacianPyramidGain)));
  return collapse(pyramid);
}

// multi_scale_fuse_enhancement
constexpr int kFuseDepth = 5;
constexpr double kStrengthFloor = 0.01;  // high_value and low_value are clipped to [0.01, 1]
constexpr long kStrengthCeiling = 1;
constexpr long kFineGainFactor = 10;
constexpr long kCoarseGainFactor = 100;
constexpr double kCoarsestGainShare = 0.55;
constexpr double kFuseBaseFloor = -0.05;

// np.clip(value, 0.01, 1) of a keyword scalar: a lone scalar is clipped in
// its type promoted with float64's, whatever its value.
Scalar clipped_strength(const Ref& value) {
  std::optional<Scalar> strength = read_scalar(value.get());
  if (!strength) {
    // Others (integers beyond 64 bits, ...) are clipped by NumPy, which also
    // reports what it rejects.
    Ref clipped = np("clip", value, kStrengthFloor, kStrengthCeiling);
    strength = read_scalar(clipped.get());
    if (!strength) raise_unsupported(value.get());
  }
  const Num type = kernels::promote_types(strength->own_type, Num::F64);
  if (type == Num::F64) {
    return real_scalar(type, kernels::numpy_clip(strength->as<double>(), kStrengthFloor, double{kStrengthCeiling}));
  }
  return real_scalar(type, kernels::numpy_clip(strength->as<long double>(), (long double){kStrengthFloor},
                                               (long double){kStrengthCeiling}));
}

// strength * factor in the strength's own type, as NumPy's scalar arithmetic.
Scalar scaled_strength(const Scalar& strength, double factor) {
  if (strength.own_type == Num::F64) return real_scalar(Num::F64, strength.as<double>() * factor);
  return real_scalar(strength.own_type, strength.real * static_cast<long double>(factor));
}

Ref multi_scale_fuse_enhancement(const Args& args) {
  Ref src = args.get("src");
  Ref min_ksize = odd_value(args.get("min_ksize"));
  Ref max_ksize = odd_value(args.get("max_ksize"));
  const DetailLayer layer{min_ksize, max_ksize, args.get("scale"), args.get("gamma_value")};
  const Scalar high_value = clipped_strength(args.get("high_value"));
  const Scalar low_value = clipped_strength(args.get("low_value"));
  Ref mode_fuse = args.get("mode_fuse");
  Ref mode_truncation = args.get("mode_truncation");
  Pyramid pyramid = pyramid_base(src.get(), layer, [&]() -> std::optional<BaseRange> {
    if (py_equals(mode_fuse, 0)) return std::nullopt;
    return BaseRange{kFuseBaseFloor, 1.0};
  });
  add_gaussian_levels(pyramid, kFuseDepth);
  const Scalar fine_gain = scaled_strength(high_value, kFineGainFactor);
  const Scalar coarse_gain = scaled_strength(low_value, kCoarseGainFactor);
  const Scalar coarsest_gain = scaled_strength(coarse_gain, kCoarsestGainShare);
  amplify_details(pyramid, {fine_gain, fine_gain, fine_gain, coarse_gain, coarsest_gain});
  truncate_detail(pyramid.levels[3], mode_truncation);
  truncate_detail(pyramid.levels[4], mode_truncation);
  return collapse(pyramid);
}

// adaptive_histogram_truncation_stretched
Ref adaptive_histogram_truncation_stretched(const Args& args) {
  Ref src = args.get("src");
  Ref scale_l = args.get("scale_l");
  Ref scale_r = args.get("scale_r");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref tool = attr(args.self(), "tool");
  Ref boundary = call_method(tool.get(), "get_boundary", working, Kw{"low_thr", to_py(10)}, Kw{"high_thr", to_py(256)},
                             Kw{"l_scale", scale_l}, Kw{"r_scale", scale_r});
  const auto [peak_index, min_val, max_val] = unpack_boundary(boundary, Where::current());
  return truncation_stretch(working, min_val, max_val, Where::current());
}

// auto_level
Ref auto_level(const Args& args) {
  Ref src = args.get("src");
  Ref low_percent = args.get("low_percent");
  Ref high_percent = args.get("high_percent");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  const Py_ssize_t low_position = sorted_position(image.size(), low_percent, Where::current());
  Ref kept_fraction = checked(PyNumber_Subtract(to_py(1).get(), high_percent.get()));
  const Py_ssize_t high_position = sorted_position(image.size(), kept_fraction, Where::current());
  Array result = new_array_like(image, NPY_USHORT);
  bool selected = false;
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      selected = kernels::auto_level(image.data<T>(), result.data<std::uint16_t>(), image.size(), low_position,
                                     high_position, max_value, threads);
    });
  });
  if (!selected) raise_memory_error();
  return result.object;
}

// unsharpen_mask
Ref unsharpen_mask(const Args& args) {
  Ref src = args.get("src");
  Ref alpha = args.get("alpha");
  Ref ksize = odd_value(args.get("ksize"));
  const double max_value = depth::full_scale(src.get());
  Ref working_copy = depth::working_u8(src.get(), max_value);
  Ref blur = cv2("GaussianBlur", working_copy, tuple(ksize, ksize), 0);
  Array working = contiguous(working_copy.get());
  Array blurred = same_layout(blur, working);
  const Operand weight = operand(alpha, Num::F32, Operation::Multiply);
  Array result = new_array_like(working, NPY_USHORT);
  visit_real(weight.result, alpha.get(), [&](auto zero) {
    using T = decltype(zero);
    const T factor = weight.value.as<T>();
    const int threads = call_threads(working.size());
    without_gil([&] {
      kernels::unsharp_mask_u16(working.data<std::uint8_t>(), blurred.data<std::uint8_t>(), factor,
                                result.data<std::uint16_t>(), working.size(), threads);
    });
  });
  return numpy_result(result);
}

// laplacian_enhancement
// The 3 x 3 Laplacian of 8-bit samples is an integer within +-1020: 16-bit
// signed output holds the same values as the float32 of the plain recipe and
// is computed several times faster.
Ref laplacian_enhancement(const Args& args) {
  Ref src = args.get("src");
  Ref alpha = args.get("alpha");
  Ref beta = args.get("beta");
  const double max_value = depth::full_scale(src.get());
  Ref working_copy = depth::working_u8(src.get(), max_value);
  Ref laplacian_depth = global_attr("cv2", "CV_16S");
  Ref laplacian_ref = cv2("Laplacian", working_copy, laplacian_depth);
  Array working = contiguous(working_copy.get());
  Array laplacian = contiguous(laplacian_ref.get());
  require_same_shape(working, laplacian);
  if (laplacian.type() != NPY_SHORT) raise(PyExc_TypeError, "unexpected element type of a library result");
  const Operand weight = operand(alpha, Num::U8, Operation::Multiply);
  const Operand detail_weight = operand(beta, Num::F32, Operation::Multiply);
  Array result = new_array_like(working, NPY_USHORT);
  visit_num(weight.result, alpha.get(), [&](auto alpha_zero) {
    visit_real(detail_weight.result, beta.get(), [&](auto beta_zero) {
      using A = decltype(alpha_zero);
      using B = decltype(beta_zero);
      const A image_factor = weight.value.as<A>();
      const B detail_factor = detail_weight.value.as<B>();
      split_samples_without_gil(working.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        kernels::laplacian_sharpen_u16(working.data<std::uint8_t>() + begin, laplacian.data<std::int16_t>() + begin,
                                       image_factor, detail_factor, result.data<std::uint16_t>() + begin,
                                       end - begin);
      });
    });
  });
  return numpy_result(result);
}

// gamma_stretched
Ref gamma_stretched(const Args& args) {
  Ref src = args.get("src");
  Ref gamma_value = args.get("gamma_value");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  const std::optional<ScalarExponent> exponent = scalar_exponent(gamma_value.get());
  const auto shortcut = exponent ? power_shortcut(exponent->value) : std::nullopt;
  Ref result;
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    if (shortcut) {
      result = gamma_through_shortcut<T>(image, max_value, *shortcut, Where::current());
    } else if (exponent) {
      result = gamma_through_power<T>(image, max_value, *exponent, Where::current());
    } else {
      result = gamma_through_operator<T>(image, max_value, gamma_value, Where::current());
    }
  });
  return result;
}

// maximum_gray_level
Ref maximum_gray_level(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  Array result = new_array_like(image, NPY_UBYTE);
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::rescale_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), static_cast<float>(max_value),
                             threads);
    });
  });
  return result.object;
}

// maximum_grayscale_value
Ref maximum_grayscale_value(const Args& args) {
  Ref src = args.get("src");
  attr(src.get(), "astype");  // the first step is src.astype(np.float32)
  Array image = real_image(src.get());
  if (image.size() == 0) {
    raise(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
  }
  Array result = new_array_like(image, NPY_UBYTE);
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::rescale_by_maximum_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), threads);
    });
  });
  return result.object;
}

// enhance_details
// Depth of the gradients of the 8-bit image: the 3 x 3 Sobel sums are
// integers within +-1020, so 16-bit signed holds the same values as the 64-bit
// float of the plain recipe, and convertScaleAbs gives the same bytes.
Ref gradient(const Ref& image, long dx, long dy) {
  Ref gradient_depth = global_attr("cv2", "CV_16S");
  return cv2("Sobel", image, gradient_depth, dx, dy, Kw{"ksize", to_py(3)});
}

// cv2.addWeighted(|d/dx|, 0.5, |d/dy|, 0.5, 0): the mean gradient magnitude.
// If given, `spare`, an 8-bit array of the image's layout that the caller no
// longer needs (the image itself may be), takes |d/dx| and then the result.
Ref mean_gradient_magnitude(const Ref& image, const Ref& spare = Ref()) {
  Ref grad_x = gradient(image, 1, 0);
  Ref grad_y = gradient(image, 0, 1);
  Ref abs_grad_x = spare ? cv2("convertScaleAbs", grad_x, Kw{"dst", spare}) : cv2("convertScaleAbs", grad_x);
  Ref abs_grad_y = cv2("convertScaleAbs", grad_y);
  return cv2("addWeighted", abs_grad_x, 0.5, abs_grad_y, 0.5, 0, Kw{"dst", abs_grad_x});
}

Ref enhance_details(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref image = cv2("GaussianBlur", working, tuple(3, 3), 0);
  Ref sobelxy = mean_gradient_magnitude(image, image);
  Ref details = cv2("addWeighted", working, 1, sobelxy, 0.2, 0, Kw{"dst", sobelxy});
  return depth::restore_u16(details.get());
}

// shadows_highlight
constexpr long kShadowMaskSigma = 50;

Ref shadows_highlight(const Args& args) {
  Ref src = args.get("src");
  Ref shadow = args.get("shadow");
  Ref highlight = args.get("highlight");
  const double max_value = depth::full_scale(src.get());
  Array working = contiguous(depth::working_u8(src.get(), max_value).get());
  Array image = new_array_like(working, NPY_FLOAT);
  const int threads = call_threads(working.size());
  without_gil([&] {
    kernels::map_by_level(
        working.data<std::uint8_t>(), image.data<float>(), working.size(),
        [](std::uint8_t level) { return kernels::unit_float32(level, kernels::kFullScale8); }, threads);
  });
  Ref mask_ref = cv2("GaussianBlur", image.object, tuple(0, 0), Kw{"sigmaX", to_py(kShadowMaskSigma)});
  Array mask = same_layout(mask_ref, image);
  const Operand shadow_weight = operand(shadow, Num::F32, Operation::Multiply, true);
  const Operand highlight_weight = operand(highlight, Num::F32, Operation::Multiply, true);
  Array result = new_array_like(working, NPY_USHORT);
  visit_real(shadow_weight.result, shadow.get(), [&](auto shadow_zero) {
    visit_real(highlight_weight.result, highlight.get(), [&](auto highlight_zero) {
      using S = decltype(shadow_zero);
      using H = decltype(highlight_zero);
      const S shadow_factor = shadow_weight.value.as<S>();
      const H highlight_factor = highlight_weight.value.as<H>();
      split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
        kernels::shadows_highlight_u16(image.data<float>() + begin, mask.data<float>() + begin, shadow_factor,
                                       highlight_factor, result.data<std::uint16_t>() + begin, end - begin);
      });
    });
  });
  return numpy_result(result);
}

// glow
Ref glow(const Args& args) {
  Ref src = args.get("src");
  Ref radius = args.get("radius");
  Ref intensity = args.get("intensity");
  const double max_value = depth::full_scale(src.get());
  Ref image = depth::working_u8(src.get(), max_value);
  Ref edges = mean_gradient_magnitude(image);
  Ref side = py_add(py_multiply(radius, to_py(2)), 1);
  Array edge_map = contiguous(edges.get());
  Array halo = same_layout(cv2("GaussianBlur", edges, tuple(side, side), 0), edge_map);
  const Operand gain = operand(intensity, Num::U8, Operation::Multiply);
  visit_num(gain.result, intensity.get(), [&](auto zero) {
    using T = decltype(zero);
    const T factor = gain.value.as<T>();
    split_samples_without_gil(halo.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::scale_halo(halo.data<std::uint8_t>() + begin, factor, halo.data<std::uint8_t>() + begin, end - begin);
    });
  });
  Ref result = cv2("addWeighted", image, 1, halo.object, 1, 0);
  return depth::restore_u16(result.get());
}

// brightness_contrast
Ref brightness_contrast(const Args& args) {
  Ref src = args.get("src");
  Ref brightness = args.get("brightness");
  Ref contrast = args.get("contrast");
  const double max_value = depth::full_scale(src.get());
  // A function of each sample, tabulated over the levels of 8-bit and 16-bit
  // samples; other sample types (exact in float64) are computed one by one.
  Array input = contiguous(src.get());
  const int type = input.type();
  if (type != NPY_UBYTE && type != NPY_USHORT && type != NPY_FLOAT && type != NPY_DOUBLE) {
    input = contiguous_as(input.object.get(), NPY_DOUBLE);
  }
  const Operand gain = operand(contrast, Num::F32, Operation::Multiply);
  const Operand offset = operand(brightness, gain.result, Operation::Add);
  Array result = new_array_like(input, NPY_USHORT);
  visit_real(gain.result, contrast.get(), [&](auto contrast_zero) {
    visit_real(offset.result, brightness.get(), [&](auto brightness_zero) {
      using C = decltype(contrast_zero);
      using B = decltype(brightness_zero);
      const C factor = gain.value.as<C>();
      const B addend = offset.value.as<B>();
      visit_real_type(input.type(), [&](auto sample_zero) {
        using T = decltype(sample_zero);
        const int threads = call_threads(input.size());
        without_gil([&] {
          kernels::map_by_level(
              input.data<T>(), result.data<std::uint16_t>(), input.size(),
              [&](T level) { return kernels::brightness_contrast_sample(level, max_value, factor, addend); }, threads);
        });
      });
    });
  });
  return numpy_result(result);
}

// east
// The relief kernel, rows from top to bottom; its weights sum to 1.
constexpr float kReliefKernel[3][3] = {{1, 2, 1}, {0, 1, 0}, {-1, -2, -1}};

Ref east(const Args& args) {
  Ref src = args.get("src");
  if (Ref relief = native_relief(src.get())) return relief;
  const npy_intp shape[2] = {3, 3};
  Array kernel = new_array(2, shape, NPY_FLOAT);
  std::copy(&kReliefKernel[0][0], &kReliefKernel[0][0] + 9, kernel.data<float>());
  return cv2("filter2D", src, -1, kernel.object);
}

}  // namespace

const ClassSpec& image_enhancer_class() {
  static const ClassSpec spec{
      "ImageEnhancer",
      {
          positional("_init", init_with_utility_tool, {}),
          positional("__get_overlay", get_overlay, {{"src"}, {"ksize"}}),
          positional("__hard_light", hard_light, {{"base"}, {"overlay"}, {"thr"}}),
          positional("__image_overlay", image_overlay, {{"base"}, {"overlay"}, {"thr"}}),
          keywords("brightness_transfer", brightness_transfer, {{"src", nullptr}, {"ratio", 0.5}}),
          keywords("multi_scale_adaptive_hard_light_enhancement", multi_scale_adaptive_hard_light_enhancement,
                   {{"src", nullptr}, {"init_ksize", 11}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("multi_scale_adaptive_image_overlay_enhancement", multi_scale_adaptive_image_overlay_enhancement,
                   {{"src", nullptr}, {"init_ksize", 31}, {"multi_scale", 1}, {"step_ksize", 6}}),
          keywords("histogram_enhancement", histogram_enhancement, {{"src", nullptr}}),
          keywords("laplacian_pyramid", laplacian_pyramid,
                   {{"src", nullptr}, {"min_ksize", 7}, {"scale", 10}, {"gamma_value", 0.4}}),
          keywords("multi_scale_fuse_enhancement", multi_scale_fuse_enhancement,
                   {{"src", nullptr},
                    {"min_ksize", 7},
                    {"max_ksize", 11},
                    {"scale", 35},
                    {"gamma_value", 0.35},
                    {"high_value", 0.8},
                    {"low_value", 0.35},
                    {"mode_fuse", 0},
                    {"mode_truncation", 0}}),
          keywords("adaptive_histogram_truncation_stretched", adaptive_histogram_truncation_stretched,
                   {{"src", nullptr}, {"scale_l", 0}, {"scale_r", 1}}),
          keywords("auto_level", auto_level, {{"src", nullptr}, {"low_percent", 0.01}, {"high_percent", 0.01}}),
          keywords("unsharpen_mask", unsharpen_mask, {{"src", nullptr}, {"alpha", 1.5}, {"ksize", 5}}),
          keywords("laplacian_enhancement", laplacian_enhancement, {{"src", nullptr}, {"alpha", 1.0}, {"beta", 0.1}}),
          keywords("gamma_stretched", gamma_stretched, {{"src", nullptr}, {"gamma_value", 0.5}}),
          keywords("maximum_gray_level", maximum_gray_level, {{"src", nullptr}}),
          keywords("maximum_grayscale_value", maximum_grayscale_value, {{"src", nullptr}}),
          keywords("enhance_details", enhance_details, {{"src", nullptr}}),
          keywords("shadows_highlight", shadows_highlight, {{"src", nullptr}, {"shadow", 0.5}, {"highlight", 0.5}}),
          keywords("glow", glow, {{"src", nullptr}, {"radius", 50}, {"intensity", 1.2}}),
          keywords("brightness_contrast", brightness_contrast, {{"src", nullptr}, {"brightness", 0}, {"contrast", 1}}),
          keywords("east", east, {{"src", nullptr}}),
      }};
  return spec;
}

}  // namespace pictor
