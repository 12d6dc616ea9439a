#include "frame/split_work.h"

#include <algorithm>

#include "frame/module_state.h"

namespace pictor {

namespace {

// More threads than this would only wait for each other's memory.
constexpr long kMostThreads = 64;

}  // namespace

int call_threads(std::ptrdiff_t samples) {
  if (samples < 2 * kernels::kSamplesPerThread) return 1;
  // A cv2 rebound to something without the setting runs the kernels on one
  // thread; the thread count is never a reason for a call to fail.
  PyObject* cv2 = PyDict_GetItemString(module_state().globals, "cv2");
  if (cv2 == nullptr) return 1;
  // An interned name, as every lookup takes (see interned in frame/pycall.h).
  PyObject* getter = PyUnicode_InternFromString("getNumThreads");
  PyObject* count = getter == nullptr ? nullptr : PyObject_CallMethodObjArgs(cv2, getter, nullptr);
  long threads = count == nullptr ? 1 : PyLong_AsLong(count);
  Py_XDECREF(count);
  Py_XDECREF(getter);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 1;
  }
  return static_cast<int>(std::clamp(threads, 1L, kMostThreads));
}

}  // namespace pictor
