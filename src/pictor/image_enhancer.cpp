// ImageEnhancer: blend, histogram, grey-level, pyramid, sharpening and tone enhancements.
#include <array>
#include <optional>
#include <vector>

#include "frame/depth.h"
#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "frame/values.h"
#include "kernels/blend.h"
#include "kernels/levels.h"
#include "kernels/selection.h"
#include "kernels/stretch.h"
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
  return ndim == PyArray_NDIM(as_array(b)) && PyArray_CompareLists(PyArray_DIMS(as_array(a)), PyArray_DIMS(as_array(b)), ndim);
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

// Python and NumPy numbers that NumPy 1.x treats as scalars in array arithmetic.
bool is_scalar_number(PyObject* value) {
  return PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Generic);
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
  Ref res = operation(PyNumber_Add, operation(PyNumber_Multiply, t1, mask),
                      operation(PyNumber_Multiply, t2, operation(PyNumber_Subtract, one, mask)));
  return np(Name("clip", where), res, 0, 1);
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

// The loop over range(multi_scale) never assigned base_hl: the interpreter's own error.
[[noreturn]] void raise_unbound_base_hl(Where where) {
#if PY_VERSION_HEX >= 0x030B0000
  raise(PyExc_UnboundLocalError, "cannot access local variable 'base_hl' where it is not associated with a value",
        where);
#else
  raise(PyExc_UnboundLocalError, "local variable 'base_hl' referenced before assignment", where);
#endif
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

// (result / 255 * 65535).astype(np.uint16) of a library result, which is not
// always an array (equalizeHist gives None for an empty image).
Ref restore_u16_of(const Ref& result, Where where = Where::current()) {
  if (PyArray_Check(result.get())) return depth::restore_u16(result.get(), where);
  Ref unit = checked(PyNumber_TrueDivide(result.get(), to_py(255).get()), where);
  Ref scaled = checked(PyNumber_Multiply(unit.get(), to_py(65535).get()), where);
  return call_method(scaled.get(), Name("astype", where), global_attr(Name("np", where), "uint16"));
}

bool is_real_number(PyObject* value) {
  return PyFloat_Check(value) || PyLong_Check(value) || PyArray_IsScalar(value, Floating) ||
         PyArray_IsScalar(value, Integer);
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
  without_gil([&] {
    kernels::map_levels(levels.data<std::uint8_t>(), table.data(), result.data<std::uint16_t>(), levels.size());
  });
  return result.object;
}

[[noreturn]] void rethrow_memory_error(Where where = Where::current()) {
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

// (np.clip(powered, 0, 1) * 65535.0).astype(np.uint16)
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
    without_gil([&] { kernels::gamma_to_u16(values.data<F>(), levels.data<std::uint16_t>(), values.size()); });
  });
  return levels.object;
}

// gamma_stretched on every sample: the [0, 1] float32 image raised by NumPy.
template <class T>
Ref gamma_of_samples(const Array& image, double max_value, const Ref& gamma_value, Where where) {
  Array unit = new_array_like(image, NPY_FLOAT, where);
  const float divisor = static_cast<float>(max_value);
  without_gil([&] { kernels::to_unit_float32(image.data<T>(), unit.data<float>(), image.size(), divisor); });
  Ref powered = checked(PyNumber_Power(unit.object.get(), gamma_value.get(), Py_None), where);
  return gamma_to_u16(powered, where);
}

// NumPy warns about a power only for a result that is not a finite normal
// number or for a negative base. Unsigned levels scaled to at most 257 and
// an exponent in [0, 7] give 0 or powers within [(1/65535)^7, 257^7], all
// normal float32 values: raising the levels missing from the image as well
// then adds no warning of its own.
constexpr double kQuietExponentLimit = 7.0;

template <class T>
bool power_of_every_level_is_quiet(PyObject* gamma_value) {
  if (!std::is_unsigned_v<T> || !(PyFloat_Check(gamma_value) || PyLong_Check(gamma_value))) return false;
  const double exponent = PyFloat_AsDouble(gamma_value);
  if (exponent == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // an int beyond float range: not a quiet exponent
    return false;
  }
  return exponent >= 0 && exponent <= kQuietExponentLimit;
}

// gamma_stretched through a table of levels: those present in the image, so
// that NumPy raises (and warns about) the values it would meet in the image,
// or, for an image with more samples than levels, every level when none of
// them can make NumPy warn.
template <class T>
Ref gamma_of_levels(const Array& image, double max_value, const Ref& gamma_value, Where where) {
  const bool every_level = image.size() > static_cast<npy_intp>(kernels::level_count<T>) &&
                           power_of_every_level_is_quiet<T>(gamma_value.get());
  std::vector<std::uint8_t> present(kernels::level_count<T>, 1);
  if (!every_level) {
    std::fill(present.begin(), present.end(), 0);
    without_gil([&] { kernels::mark_levels(image.data<T>(), image.size(), present.data()); });
  }
  std::vector<std::size_t> indices;
  for (std::size_t index = 0; index < present.size(); ++index) {
    if (present[index]) indices.push_back(index);
  }
  const npy_intp count = static_cast<npy_intp>(indices.size());
  Array unit = new_array(1, &count, NPY_FLOAT, where);
  const float divisor = static_cast<float>(max_value);
  for (npy_intp j = 0; j < count; ++j) {
    unit.data<float>()[j] = kernels::unit_float32(kernels::level_at<T>(indices[j]), divisor);
  }
  Ref powered = checked(PyNumber_Power(unit.object.get(), gamma_value.get(), Py_None), where);
  Array stretched = contiguous_as(gamma_to_u16(powered, where).get(), NPY_USHORT, where);
  if (stretched.size() != count) raise(PyExc_ValueError, "gamma_value must be a single number", where);
  std::vector<std::uint16_t> table(kernels::level_count<T>, 0);
  for (npy_intp j = 0; j < count; ++j) table[indices[j]] = stretched.data<std::uint16_t>()[j];
  Array result = new_array_like(image, NPY_USHORT, where);
  without_gil([&] { kernels::map_levels(image.data<T>(), table.data(), result.data<std::uint16_t>(), image.size()); });
  return result.object;
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
  const double target = as_double(checked(PyNumber_Multiply(ratio.get(), to_py(full_scale).get())));
  if (image.size() == 0) raise(PyExc_ValueError, "zero-size array to reduction operation minimum which has no identity");
  Array result = new_array_like(image, image.type());
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    without_gil([&] {
      kernels::brightness_transfer(image.data<T>(), result.data<T>(), image.size(), target, full_scale);
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
Ref laplacian_pyramid(const Args& args) { return not_built(args); }

// multi_scale_fuse_enhancement
Ref multi_scale_fuse_enhancement(const Args& args) { return not_built(args); }

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
    without_gil([&] {
      selected = kernels::auto_level(image.data<T>(), result.data<std::uint16_t>(), image.size(), low_position,
                                     high_position, max_value);
    });
  });
  if (!selected) rethrow_memory_error();
  return result.object;
}

// unsharpen_mask
Ref unsharpen_mask(const Args& args) { return not_built(args); }

// laplacian_enhancement
Ref laplacian_enhancement(const Args& args) { return not_built(args); }

// gamma_stretched
Ref gamma_stretched(const Args& args) {
  Ref src = args.get("src");
  Ref gamma_value = args.get("gamma_value");
  const double max_value = depth::full_scale(src.get());
  Array image = real_image(src.get());
  Ref result;
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    if constexpr (kernels::has_level_table<T>) {
      if (is_scalar_number(gamma_value.get())) {
        result = gamma_of_levels<T>(image, max_value, gamma_value, Where::current());
        return;
      }
    }
    result = gamma_of_samples<T>(image, max_value, gamma_value, Where::current());
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
    without_gil([&] {
      kernels::rescale_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), static_cast<float>(max_value));
    });
  });
  return result.object;
}

// maximum_grayscale_value
Ref maximum_grayscale_value(const Args& args) {
  Ref src = args.get("src");
  attr(src.get(), "astype");  // the first step is src.astype(np.float32)
  Array image = real_image(src.get());
  if (image.size() == 0) raise(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
  Array result = new_array_like(image, NPY_UBYTE);
  visit_samples(image, [&](auto zero) {
    using T = decltype(zero);
    without_gil([&] {
      const float image_max = static_cast<float>(kernels::numpy_extremes(image.data<T>(), image.size()).second);
      kernels::rescale_to_u8(image.data<T>(), result.data<std::uint8_t>(), image.size(), image_max);
    });
  });
  return result.object;
}

// enhance_details
Ref enhance_details(const Args& args) { return not_built(args); }

// shadows_highlight
Ref shadows_highlight(const Args& args) { return not_built(args); }

// glow
Ref glow(const Args& args) { return not_built(args); }

// brightness_contrast
Ref brightness_contrast(const Args& args) { return not_built(args); }

// east
Ref east(const Args& args) { return not_built(args); }

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
