// ImageFusion: multiply and screen blending of an image with itself.
#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "kernels/fusion.h"
#include "tools.h"

namespace pictor {
namespace {

using kernels::SelfBlend;

// The samples of `src` as `src.astype('float')` reads them: arrays and NumPy
// scalars; anything else fails where that call fails.
Array float_convertible(PyObject* src, Where where = Where::current()) {
  if (!PyArray_Check(src) && !PyArray_IsScalar(src, Generic)) {
    Ref astype = attr(src, Name("astype", where));
    raise(PyExc_TypeError, "fusion needs a NumPy array", where);
  }
  return contiguous(src, where);
}

template <SelfBlend mode>
Ref fuse_with_itself(PyObject* src, Where where = Where::current()) {
  Array input = float_convertible(src, where);
  // np.max of an empty image raises; let NumPy word it.
  if (input.size() == 0) np(Name("max", where), input.object);
  Ref result;
  const bool native = visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    Array output = new_array_like(input, input.type(), where);
    without_gil([&] { kernels::self_blend_fusion<mode>(input.data<T>(), output.data<T>(), input.size()); });
    result = output.object;
  });
  if (!native) {
    // float16, complex, object: float64 arithmetic, then NumPy's conversion back.
    Array as_float = contiguous_as(input.object.get(), NPY_DOUBLE, where);
    Array output = new_array_like(as_float, NPY_DOUBLE, where);
    without_gil([&] {
      kernels::self_blend_fusion<mode>(as_float.data<double>(), output.data<double>(), as_float.size());
    });
    result = output.object;
  }
  Ref dtype = attr(src, Name("dtype", where));
  if (!PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(result.get())),
                          reinterpret_cast<PyArray_Descr*>(dtype.get())) ||
      !PyArray_ISNBO(reinterpret_cast<PyArray_Descr*>(dtype.get())->byteorder)) {
    result = call_method(result.get(), Name("astype", where), dtype);
  }
  return checked(PyArray_Return(reinterpret_cast<PyArrayObject*>(result.release())), where);
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
