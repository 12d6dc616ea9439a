// ImageEnhancer: brightness transfer, histogram stretches and grey-level mappings.
#include <algorithm>
#include <array>
#include <optional>
#include <type_traits>
#include <vector>

#include "tools/image_enhancer/common.h"
#include "kernels/histogram.h"
#include "kernels/levels.h"
#include "kernels/selection.h"
#include "kernels/stretch.h"
#include "kernels/tables.h"
#include "kernels/window.h"
#include "tools/native_filters.h"

namespace pictor::enhancer {
namespace {

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
  return depth::restore_u16_by_operators(result.get(), where);
}

// The truncation stretch of the working copy through NumPy's operators, for
// limits that are not plain numbers.
Ref numpy_truncation_stretch(const Ref& working, const Ref& low, const Ref& high, Where where) {
  Ref clipped = np(Name("clip", where), astype(working, "float32", where), low, high);
  Ref shifted = py_subtract(clipped, low, where);
  Ref span = py_subtract(high, low, where);
  Ref scaled = py_multiply(py_true_divide(shifted, span, where), to_py(255), where);
  return restore_u16_of(astype(scaled, "uint8", where), where);
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

// (np.clip(powered, 0, 1) * 65535.0).astype(np.uint16) of NumPy's result.
Ref gamma_to_u16(const Ref& powered, Where where) {
  if (!is_float_array(powered.get())) {
    Ref clipped = np(Name("clip", where), powered, 0, 1);
    return astype(py_multiply(clipped, to_py(kernels::kFullScale16), where), "uint16", where);
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

}  // namespace

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
  visit_real_type(image.type(), [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::brightness_transfer(image.data<T>(), result.data<T>(), image.size(), target, full_scale, threads);
    });
  });
  return in_type_of(src.get(), result);
}

// cv2.equalizeHist of the working copy of a plain grey 8- or 16-bit image,
// restored: the histogram of working levels, then one map of the source
// through the restored table; an empty Ref for other images.
Ref native_equalised(PyObject* src, Where where = Where::current()) {
  if (!is_native_filter_image(src, where) || PyArray_NDIM(as_array(src)) != 2) return Ref();
  Array image = contiguous(src, where);
  Array result = new_array_like(image, NPY_USHORT, where);
  visit_native_sample(image.type(), [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      const auto levels = kernels::equalising_table(kernels::count_working_levels(image.data<T>(), image.size(), 1,
                                                                                  threads));
      std::vector<std::uint16_t> table(kernels::level_count<T>);
      for (std::size_t sample = 0; sample < table.size(); ++sample) {
        const std::uint8_t level = kernels::working_level(kernels::level_at<T>(sample));
        table[sample] = static_cast<std::uint16_t>(levels[level] * kernels::kLevelsPer8BitStep);
      }
      kernels::map_levels(image.data<T>(), table.data(), result.data<std::uint16_t>(), image.size(), threads);
    });
  });
  return result.object;
}

Ref histogram_enhancement(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  if (Ref equalised = native_equalised(src.get())) return equalised;
  Ref working = depth::working_u8(src.get(), max_value);
  Ref equalised = cv2("equalizeHist", working);
  return restore_u16_of(equalised);
}

Ref adaptive_histogram_truncation_stretched(const Args& args) {
  Ref src = args.get("src");
  Ref scale_l = args.get("scale_l");
  Ref scale_r = args.get("scale_r");
  const double max_value = depth::full_scale(src.get());
  Ref working = depth::working_u8(src.get(), max_value);
  Ref tool = attr(args.self(), "tool");
  Ref boundary = call_method(tool.get(), "get_boundary", working, Kw{"low_thr", to_py(10)}, Kw{"high_thr", to_py(256)},
                             Kw{"l_scale", scale_l}, Kw{"r_scale", scale_r});
  const auto [peak_index, min_val, max_val] = unpack<3>(boundary.get());
  return truncation_stretch(working, min_val, max_val, Where::current());
}

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
  visit_real_type(image.type(), [&](auto zero) {
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

Ref gamma_stretched(const Args& args) {
  Ref src = args.get("src");
  Ref gamma_value = args.get("gamma_value");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  const std::optional<ScalarExponent> exponent = scalar_exponent(gamma_value.get());
  const auto shortcut = exponent ? power_shortcut(exponent->value) : std::nullopt;
  Ref result;
  visit_real_type(image.type(), [&](auto zero) {
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

Ref maximum_gray_level(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  Array result = new_array_like(image, NPY_UBYTE);
  visit_real_type(image.type(), [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::rescale_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), static_cast<float>(max_value),
                             threads);
    });
  });
  return result.object;
}

Ref maximum_grayscale_value(const Args& args) {
  Ref src = args.get("src");
  attr(src.get(), "astype");  // the first step is src.astype(np.float32)
  Array image = real_image(src.get());
  if (image.size() == 0) {
    raise(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
  }
  Array result = new_array_like(image, NPY_UBYTE);
  visit_real_type(image.type(), [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(image.size());
    without_gil([&] {
      kernels::rescale_by_maximum_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), threads);
    });
  });
  return result.object;
}

}  // namespace pictor::enhancer
