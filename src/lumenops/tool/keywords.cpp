#include "tool/keywords.h"

namespace pictor {

Ref odd_value(const Ref& value, Where where) {
  Ref two = to_py(2);
  Ref remainder = checked(PyNumber_Remainder(value.get(), two.get()), where);
  Ref zero = to_py(0);
  if (checked_status(PyObject_RichCompareBool(remainder.get(), zero.get(), Py_NE), where)) return value;
  Ref one = to_py(1);
  return checked(PyNumber_Add(value.get(), one.get()), where);
}

double as_double(const Ref& value, Where where) {
  const double result = PyFloat_AsDouble(value.get());
  if (result == -1.0 && PyErr_Occurred()) throw PyError{where};
  return result;
}

std::optional<long long> exact_python_int(PyObject* value) {
  if (!PyLong_CheckExact(value)) return std::nullopt;
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return std::nullopt;
  return result;
}

}  // namespace pictor
