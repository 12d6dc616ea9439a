// Python errors inside C++ code.
//
// A failed Python call leaves the Python error indicator set; the C++ code
// then throws PyError carrying the source location of the failing statement.
// The method object catches it at the method boundary and adds the method's
// traceback entry at that location.
#pragma once
#include <Python.h>

#include <source_location>

#include "frame/ref.h"

namespace pictor {

using Where = std::source_location;

struct PyError {
  Where where;
};

// Throws PyError when a Python API call returned NULL.
inline Ref checked(PyObject* result, Where where = Where::current()) {
  if (result == nullptr) throw PyError{where};
  return Ref::steal(result);
}

// Throws PyError when a Python API call returned -1.
inline int checked_status(int status, Where where = Where::current()) {
  if (status == -1) throw PyError{where};
  return status;
}

[[noreturn]] inline void raise(PyObject* type, const char* message, Where where = Where::current()) {
  PyErr_SetString(type, message);
  throw PyError{where};
}

[[noreturn]] inline void rethrow(Where where = Where::current()) { throw PyError{where}; }

// Path of a source file relative to the repository, as shown in tracebacks.
const char* source_path(const Where& where);

// Adds one traceback entry "function" at `where` to the pending exception.
void add_traceback(const char* function, const Where& where);

}  // namespace pictor
