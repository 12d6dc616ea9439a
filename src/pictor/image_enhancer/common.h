// ImageEnhancer: what its method families share.
#pragma once
#include <algorithm>
#include <string>
#include <utility>

#include "frame/depth.h"
#include "frame/ndarray.h"
#include "frame/scalars.h"
#include "frame/singleton.h"
#include "frame/values.h"

namespace pictor::enhancer {

// `value` as a C-contiguous array of an element type with native kernels
// (TypeError for float16, complex, object, ...).
inline Array real_image(PyObject* value, Where where = Where::current()) {
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

inline PyArrayObject* as_array(PyObject* value) { return reinterpret_cast<PyArrayObject*>(value); }

// Plain ndarrays only: subclasses keep their own arithmetic.
inline bool is_float_array(PyObject* value) {
  if (!PyArray_CheckExact(value)) return false;
  const int type = PyArray_TYPE(as_array(value));
  return type == NPY_FLOAT || type == NPY_DOUBLE;
}

// a + b and a * b with Python's operators.
inline Ref py_add(const Ref& a, long b, Where where = Where::current()) {
  Ref other = to_py(b);
  return checked(PyNumber_Add(a.get(), other.get()), where);
}

inline Ref py_multiply(const Ref& a, const Ref& b, Where where = Where::current()) {
  return checked(PyNumber_Multiply(a.get(), b.get()), where);
}

// `value == number` as an `if` reads it.
inline bool py_equals(const Ref& value, long number, Where where = Where::current()) {
  Ref other = to_py(number);
  Ref equal = checked(PyObject_RichCompare(value.get(), other.get(), Py_EQ), where);
  return checked_status(PyObject_IsTrue(equal.get()), where) != 0;
}

// "(5,6,1)", as NumPy writes a shape.
inline std::string shape_text(const Array& array) {
  std::string text = "(";
  for (int axis = 0; axis < array.ndim(); ++axis) {
    text += (axis ? "," : "") + std::to_string(array.shape()[axis]);
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

// Operands that a fused kernel combines element by element have the same
// shape. (The plain recipe would broadcast other shapes, which only 1-D and
// one-channel inputs produce: OpenCV drops their last axis.)
inline void require_same_shape(const Array& first, const Array& second, Where where = Where::current()) {
  const bool same = first.ndim() == second.ndim() &&
                    std::equal(first.shape(), first.shape() + first.ndim(), second.shape());
  if (same) return;
  PyErr_Format(PyExc_ValueError, "operands could not be broadcast together with shapes %s %s ",
               shape_text(first).c_str(), shape_text(second).c_str());
  throw PyError{where};
}

// A library result that a fused kernel combines with `like`: same shape and
// element type.
inline Array same_layout(const Ref& result, const Array& like, Where where = Where::current()) {
  Array array = contiguous(result.get(), where);
  require_same_shape(like, array, where);
  if (array.type() != like.type()) raise(PyExc_TypeError, "unexpected element type of a library result", where);
  return array;
}

// A result computed natively, returned as NumPy returns the result of
// arithmetic: a 0-d array becomes a scalar.
inline Ref numpy_result(Array& result) {
  return checked(PyArray_Return(reinterpret_cast<PyArrayObject*>(result.object.release())));
}

// cv2.addWeighted(|d/dx|, 0.5, |d/dy|, 0.5, 0): the mean gradient magnitude.
// If given, `spare`, an 8-bit array of the image's layout that the caller no
// longer needs (the image itself may be), takes |d/dx| and then the result.
Ref mean_gradient_magnitude(const Ref& image, const Ref& spare = Ref());

// The methods, by family.
Ref get_overlay(const Args& args);
Ref hard_light(const Args& args);
Ref image_overlay(const Args& args);
Ref multi_scale_adaptive_hard_light_enhancement(const Args& args);
Ref multi_scale_adaptive_image_overlay_enhancement(const Args& args);

Ref brightness_transfer(const Args& args);
Ref histogram_enhancement(const Args& args);
Ref adaptive_histogram_truncation_stretched(const Args& args);
Ref auto_level(const Args& args);
Ref gamma_stretched(const Args& args);
Ref maximum_gray_level(const Args& args);
Ref maximum_grayscale_value(const Args& args);

Ref laplacian_pyramid(const Args& args);
Ref multi_scale_fuse_enhancement(const Args& args);

Ref unsharpen_mask(const Args& args);
Ref laplacian_enhancement(const Args& args);
Ref enhance_details(const Args& args);

Ref shadows_highlight(const Args& args);
Ref glow(const Args& args);
Ref brightness_contrast(const Args& args);
Ref east(const Args& args);

}  // namespace pictor::enhancer
