#include "frame/pycall.h"

#include "frame/module_state.h"
#include "frame/numpy_api.h"

namespace pictor {
Ref interned(const Name& name) { return checked(PyUnicode_InternFromString(name.text), name.where); }

Ref global(Name name) {
  Ref owned_key = interned(name);
  PyObject* key = owned_key.get();
  PyObject* value = PyDict_GetItemWithError(module_state().globals, key);
  if (value == nullptr && !PyErr_Occurred()) {
    value = PyObject_GetAttr(module_state().builtins, key);
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{name.where};
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      throw PyError{name.where};
    }
    return Ref::steal(value);
  }
  if (value == nullptr) throw PyError{name.where};
  return Ref::borrow(value);
}

Ref attr(PyObject* object, Name name) {
  return checked(PyObject_GetAttr(object, interned(name).get()), name.where);
}

void set_attr(PyObject* object, Name name, PyObject* value) {
  checked_status(PyObject_SetAttr(object, interned(name).get(), value), name.where);
}

Ref global_attr(Name module, const char* attribute) {
  Ref owner = global(module);
  return attr(owner.get(), Name(attribute, module.where));
}

void raise_cv2_error(const std::string& message, Where where) {
  Ref error = global_attr(Name("cv2", where), "error");
  PyErr_SetString(error.get(), message.c_str());
  throw PyError{where};
}

namespace detail {

void refuse_channelless_image(PyObject* argument, const Where& where) {
  if (argument != nullptr && (PyList_Check(argument) || PyTuple_Check(argument))) {
    // Image lists (calcHist, merge) are converted the same way, item by item.
    Ref items = checked(PySequence_Fast(argument, ""), where);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      if (PyArray_Check(item)) refuse_channelless_image(item, where);
    }
    return;
  }
  if (argument == nullptr || !PyArray_Check(argument)) return;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(argument);
  bool no_samples_per_pixel = false;
  for (int axis = 2; axis < PyArray_NDIM(array); ++axis) no_samples_per_pixel |= PyArray_DIM(array, axis) == 0;
  if (!no_samples_per_pixel) return;
  raise_cv2_error("OpenCV cannot take an image with 0 channels", where);
}

Ref call_with(PyObject* callable, PyObject* args, PyObject* kwargs, const Where& where) {
  return checked(PyObject_Call(callable, args, kwargs), where);
}

}  // namespace detail
}  // namespace pictor
