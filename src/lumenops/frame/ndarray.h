// NumPy arrays at the boundary between the tool methods and the kernels.
#pragma once
#include "frame/numpy_api.h"
#include "frame/pycall.h"

#include <cstdint>
#include <string>

namespace pictor {

// A C-contiguous, aligned, native-order array, viewed by the kernels as a flat
// run of `size` elements.
struct Array {
  Ref object;
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(object.get()); }
  int type() const { return PyArray_TYPE(array()); }
  npy_intp size() const { return PyArray_SIZE(array()); }
  int ndim() const { return PyArray_NDIM(array()); }
  npy_intp* shape() const { return PyArray_DIMS(array()); }
  template <class T> T* data() const { return static_cast<T*>(PyArray_DATA(array())); }
};

// The array behind an object already known to be one.
inline PyArrayObject* as_array(PyObject* value) { return reinterpret_cast<PyArrayObject*>(value); }

// `value` as an Array with its own element type (a copy only where the
// layout requires one). Non-arrays go through np.asarray's conversion.
Array contiguous(PyObject* value, Where where = Where::current());

// `value` as an Array of element type `type` (converting through NumPy's casts).
Array contiguous_as(PyObject* value, int type, Where where = Where::current());

// Whether `dst` is a writeable C-contiguous uint16 array of like's shape: an
// output that a private step writes a stack's results into.
bool is_uint16_output_of_shape(PyObject* dst, const Array& like);

// A new uninitialised C-contiguous array of the given shape and type.
Array new_array(int ndim, const npy_intp* shape, int type, Where where = Where::current());
Array new_array_like(const Array& like, int type, Where where = Where::current());

// A NumPy scalar of element type `type` holding *value (np.float64(x), np.intp(n), ...).
Ref numpy_scalar(int type, const void* value, Where where = Where::current());

// A result computed natively, returned as NumPy returns the result of
// arithmetic: a 0-d array becomes a scalar.
Ref numpy_result(Array& result, Where where = Where::current());

// "(5,6,1)", as NumPy writes a shape.
std::string shape_text(const Array& array);

// Operands that a fused kernel combines element by element have the same
// shape. (The plain recipe would broadcast other shapes, which only 1-D and
// one-channel inputs produce: OpenCV drops their last axis.)
void require_same_shape(const Array& first, const Array& second, Where where = Where::current());

// A library result that a fused kernel combines with `like`: same shape and
// element type.
Array same_layout(const Ref& result, const Array& like, Where where = Where::current());

// Runs a kernel with the GIL released; the GIL is taken back even when the
// kernel throws (std::bad_alloc of a split call's partials), so the method
// can report the failure.
template <class F>
void without_gil(F&& kernel) {
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(state); }
  } released;
  kernel();
}

// Calls `visit(T{})` with T the C++ type of a real NumPy element type; returns
// false for types without a native kernel (float16, complex, object, ...).
template <class F>
bool visit_real_type(int type, F&& visit) {
  switch (type) {
    case NPY_BOOL: visit(bool{}); return true;
    case NPY_BYTE: visit(std::int8_t{}); return true;
    case NPY_UBYTE: visit(std::uint8_t{}); return true;
    case NPY_SHORT: visit(std::int16_t{}); return true;
    case NPY_USHORT: visit(std::uint16_t{}); return true;
    case NPY_INT: visit(std::int32_t{}); return true;
    case NPY_UINT: visit(std::uint32_t{}); return true;
    case NPY_LONG: visit(long{}); return true;
    case NPY_ULONG: visit((unsigned long){}); return true;
    case NPY_LONGLONG: visit((long long){}); return true;
    case NPY_ULONGLONG: visit((unsigned long long){}); return true;
    case NPY_FLOAT: visit(float{}); return true;
    case NPY_DOUBLE: visit(double{}); return true;
    default: return false;
  }
}

// Calls `visit(float{})` for a float32 element type, `visit(double{})` for
// any other: for arrays already known to hold one of the two.
template <class F>
void visit_float_type(int type, F&& visit) {
  if (type == NPY_FLOAT) {
    visit(float{});
  } else {
    visit(double{});
  }
}

}  // namespace pictor
