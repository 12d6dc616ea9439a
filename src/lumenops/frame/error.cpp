#include "frame/error.h"

#include <frameobject.h>

#include <cstring>

namespace pictor {

const char* source_path(const Where& where) {
  const char* path = where.file_name();
  const std::size_t root_length = std::strlen(PICTOR_SOURCE_ROOT);
  if (std::strncmp(path, PICTOR_SOURCE_ROOT, root_length) == 0) return path + root_length;
  return path;
}

namespace {

// The pending exception, held aside while the entry's frame is built (building
// it calls into the interpreter, which must not see an exception set).
struct HeldException {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
  void restore() { PyErr_SetRaisedException(value); }
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  HeldException() { PyErr_Fetch(&type, &value, &traceback); }
  void restore() { PyErr_Restore(type, value, traceback); }
#endif
};

}  // namespace

// An empty code object named after the method, whose first line is the failing
// statement, run in a frame of its own: public C API on every CPython from 3.8
// on, and the entry reads like one from Python code.
void add_traceback(const char* function, const Where& where) {
  HeldException held;
  PyCodeObject* code = PyCode_NewEmpty(source_path(where), function, static_cast<int>(where.line()));
  PyObject* globals = code != nullptr ? PyDict_New() : nullptr;
  PyFrameObject* frame =
      globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  // A failure here loses only the entry, never the method's own exception.
  PyErr_Clear();
  held.restore();
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

}  // namespace pictor
