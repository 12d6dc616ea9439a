#include "frame/ndarray.h"

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

}  // namespace pictor
