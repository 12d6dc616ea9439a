#include "frame/ndarray.h"

#include <algorithm>

namespace pictor {

namespace {

constexpr int kKernelLayout = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED;

}  // namespace

Array contiguous(PyObject* value, Where where) {
  return Array{checked(PyArray_CheckFromAny(value, nullptr, 0, 0, kKernelLayout, nullptr), where)};
}

Array contiguous_as(PyObject* value, int type, Where where) {
  PyArray_Descr* descr = PyArray_DescrFromType(type);
  if (descr == nullptr) throw PyError{where};
  return Array{checked(PyArray_CheckFromAny(value, descr, 0, 0, kKernelLayout | NPY_ARRAY_FORCECAST, nullptr), where)};
}

Array new_array(int ndim, const npy_intp* shape, int type, Where where) {
  return Array{checked(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape), type), where)};
}

Ref numpy_scalar(int type, const void* value, Where where) {
  PyArray_Descr* descr = PyArray_DescrFromType(type);
  if (descr == nullptr) throw PyError{where};
  PyObject* scalar = PyArray_Scalar(const_cast<void*>(value), descr, nullptr);
  Py_DECREF(descr);
  return checked(scalar, where);
}

Array new_array_like(const Array& like, int type, Where where) {
  return new_array(like.ndim(), like.shape(), type, where);
}

Ref numpy_result(Array& result, Where where) {
  return checked(PyArray_Return(as_array(result.object.release())), where);
}

std::string shape_text(const Array& array) {
  std::string text = "(";
  for (int axis = 0; axis < array.ndim(); ++axis) {
    text += (axis ? "," : "") + std::to_string(array.shape()[axis]);
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

void require_same_shape(const Array& first, const Array& second, Where where) {
  const bool same = first.ndim() == second.ndim() &&
                    std::equal(first.shape(), first.shape() + first.ndim(), second.shape());
  if (same) return;
  PyErr_Format(PyExc_ValueError, "operands could not be broadcast together with shapes %s %s ",
               shape_text(first).c_str(), shape_text(second).c_str());
  throw PyError{where};
}

Array same_layout(const Ref& result, const Array& like, Where where) {
  Array array = contiguous(result.get(), where);
  require_same_shape(like, array, where);
  if (array.type() != like.type()) raise(PyExc_TypeError, "unexpected element type of a library result", where);
  return array;
}

bool is_uint16_output_of_shape(PyObject* dst, const Array& like) {
  if (!PyArray_Check(dst)) return false;
  PyArrayObject* out = as_array(dst);
  return PyArray_TYPE(out) == NPY_USHORT && PyArray_IS_C_CONTIGUOUS(out) && PyArray_ISWRITEABLE(out) &&
         PyArray_NDIM(out) == like.ndim() && std::equal(like.shape(), like.shape() + like.ndim(), PyArray_DIMS(out));
}

}  // namespace pictor
