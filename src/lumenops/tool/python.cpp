#include "tool/python.h"

namespace pictor {

namespace detail {

void unpack_into(PyObject* value, Ref* items, std::size_t count, const Where& where) {
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) {
    // The interpreter words it so for a value that is neither iterable nor a sequence.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    throw PyError{where};
  }
  for (std::size_t i = 0; i < count; ++i) {
    items[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (items[i]) continue;
    if (PyErr_Occurred()) throw PyError{where};
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", int(count), int(i));
    throw PyError{where};
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (PyErr_Occurred()) throw PyError{where};
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", int(count));
    throw PyError{where};
  }
}

}  // namespace detail

Ref item(PyObject* sequence, long index, Where where) {
  Ref key = to_py(index);
  return checked(PyObject_GetItem(sequence, key.get()), where);
}

Ref py_add(const Ref& a, const Ref& b, Where where) { return checked(PyNumber_Add(a.get(), b.get()), where); }

Ref py_subtract(const Ref& a, const Ref& b, Where where) {
  return checked(PyNumber_Subtract(a.get(), b.get()), where);
}

Ref py_multiply(const Ref& a, const Ref& b, Where where) {
  return checked(PyNumber_Multiply(a.get(), b.get()), where);
}

Ref py_true_divide(const Ref& a, const Ref& b, Where where) {
  return checked(PyNumber_TrueDivide(a.get(), b.get()), where);
}

Ref py_floor_divide(const Ref& a, const Ref& b, Where where) {
  return checked(PyNumber_FloorDivide(a.get(), b.get()), where);
}

bool py_equals(const Ref& value, long number, Where where) {
  Ref other = to_py(number);
  Ref equal = checked(PyObject_RichCompare(value.get(), other.get(), Py_EQ), where);
  return checked_status(PyObject_IsTrue(equal.get()), where) != 0;
}

Ref shrunk_size(const Ref& src, const Ref& scale, Where where) {
  Ref shape = attr(src, Name("shape", where));
  auto [height, width] = unpack<2>(shape.get(), where);
  Ref new_height = py_floor_divide(height, scale, where);
  Ref new_width = py_floor_divide(width, scale, where);
  return tuple(new_width, new_height);
}

Ref astype(const Ref& value, const char* type, Where where) {
  return call_method(value.get(), Name("astype", where), global_attr(Name("np", where), type));
}

}  // namespace pictor
