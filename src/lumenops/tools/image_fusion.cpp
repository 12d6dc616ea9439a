// ImageFusion: multiply and screen blending of an image with itself.
#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "frame/split_work.h"
#include "kernels/fusion.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace {

using kernels::SelfBlend;

// The samples of `src` as `src.astype('float')` reads them: arrays and NumPy
// scalars; anything else fails where that call fails.
Array float_convertible(PyObject* src, Where where = Where::current()) {
  if (!PyArray_Check(src) && !PyArray_IsScalar(src, Generic)) {
    attr(src, Name("astype", where));  // AttributeError for None, lists, numbers
    raise(PyExc_TypeError, "fusion needs a NumPy array", where);
  }
  return contiguous(src, where);
}

// Real element types are fused in their own type; float16, complex and object
// samples in float64, converted back by NumPy afterwards.
template <SelfBlend mode>
Ref fuse(const Array& input, Where where) {
  Ref result;
  const bool native = visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    Array output = new_array_like(input, input.type(), where);
    const int threads = call_threads(input.size());
    without_gil([&] { kernels::self_blend_fusion<mode>(input.data<T>(), output.data<T>(), input.size(), threads); });
    result = output.object;
  });
  if (native) return result;
  Array as_float = contiguous_as(input.object.get(), NPY_DOUBLE, where);
  Array output = new_array_like(as_float, NPY_DOUBLE, where);
  const int threads = call_threads(as_float.size());
  without_gil([&] {
    kernels::self_blend_fusion<mode>(as_float.data<double>(), output.data<double>(), as_float.size(), threads);
  });
  return output.object;
}

// result.astype(src.dtype) where the two differ (byte order included); a
// 0-d result becomes a NumPy scalar, as NumPy's arithmetic gives.
Ref as_type_of(PyObject* src, Ref result, Where where) {
  Ref dtype = attr(src, Name("dtype", where));
  auto* wanted = reinterpret_cast<PyArray_Descr*>(dtype.get());
  auto* actual = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(result.get()));
  if (!PyArray_EquivTypes(actual, wanted) || !PyArray_ISNBO(wanted->byteorder)) {
    result = call_method(result.get(), Name("astype", where), dtype);
  }
  return checked(PyArray_Return(reinterpret_cast<PyArrayObject*>(result.release())), where);
}

template <SelfBlend mode>
Ref fuse_with_itself(PyObject* src, Where where = Where::current()) {
  Array input = float_convertible(src, where);
  if (input.size() == 0) np(Name("max", where), input.object);  // NumPy's own error for an empty maximum
  return as_type_of(src, fuse<mode>(input, where), where);
}

// base / max, blended with itself, renormalised and scaled back to max, as the input's type.

Ref multiply_fusion(const Args& args) {
  Ref src = args.get("src");
  return fuse_with_itself<SelfBlend::Multiply>(src.get());
}

Ref screen_fusion(const Args& args) {
  Ref src = args.get("src");
  return fuse_with_itself<SelfBlend::Screen>(src.get());
}

}  // namespace

const ClassSpec& image_fusion_class() {
  static const ClassSpec spec{"ImageFusion",
                              {
                                  positional("_init", init_with_utility_tool, {}),
                                  keywords("multiply_fusion", multiply_fusion, {{"src", nullptr}}),
                                  keywords("screen_fusion", screen_fusion, {{"src", nullptr}}),
                              }};
  return spec;
}

}  // namespace pictor
