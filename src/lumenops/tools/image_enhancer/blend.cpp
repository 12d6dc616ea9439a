// ImageEnhancer: the blend primitives and the multi-scale adaptive blends.
#include <optional>
#include <type_traits>
#include <vector>

#include "tools/image_enhancer/common.h"
#include "kernels/blend.h"

namespace pictor::enhancer {
namespace {

using kernels::BlendMode;

bool same_shape(PyObject* a, PyObject* b) {
  const int ndim = PyArray_NDIM(as_array(a));
  return ndim == PyArray_NDIM(as_array(b)) &&
         PyArray_CompareLists(PyArray_DIMS(as_array(a)), PyArray_DIMS(as_array(b)), ndim);
}

bool is_real_array(PyObject* value) {
  return PyArray_CheckExact(value) && visit_real_type(PyArray_TYPE(as_array(value)), [](auto) {});
}

// A blend threshold the fused blend takes: a float, or an int (bool included)
// that a double holds exactly; subclasses compare as their base type does.
std::optional<double> threshold_exact_in_double(PyObject* thr) {
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
  visit_real_type(source.type(), [&](auto zero) {
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
  const std::optional<double> threshold = threshold_exact_in_double(thr);
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
  return astype(py_multiply(base_hl, to_py(65535), where), "uint16", where);
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
  visit_real_type(source.type(), [&](auto zero) {
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

}  // namespace

Ref get_overlay(const Args& args) {
  return overlay_layer(args.arg("src"), Ref::borrow(args.arg("ksize")), Where::current());
}

Ref hard_light(const Args& args) {
  return blend_layers<BlendMode::HardLight>(args.arg("base"), args.arg("overlay"), args.arg("thr"), Where::current());
}

Ref image_overlay(const Args& args) {
  return blend_layers<BlendMode::ImageOverlay>(args.arg("base"), args.arg("overlay"), args.arg("thr"),
                                               Where::current());
}

Ref multi_scale_adaptive_hard_light_enhancement(const Args& args) {
  return multi_scale_blend<BlendMode::HardLight>(args);
}

Ref multi_scale_adaptive_image_overlay_enhancement(const Args& args) {
  return multi_scale_blend<BlendMode::ImageOverlay>(args);
}

}  // namespace pictor::enhancer
