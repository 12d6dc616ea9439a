// Calls into Python-level libraries: names of the module namespace, attributes,
// calls with positional and keyword arguments. Every helper throws PyError
// located at its caller's statement.
#pragma once
#include <Python.h>

#include <initializer_list>
#include <string>
#include <type_traits>

#include "frame/error.h"

namespace pictor {

// A name written at a call site; remembers where it was written.
struct Name {
  const char* text;
  Where where;
  Name(const char* name, Where at = Where::current()) : text(name), where(at) {}
};

// Keyword argument of a call.
struct Kw {
  const char* name;
  Ref value;
};

// Conversions of C++ values to Python objects.
inline Ref to_py(const Ref& value) { return value; }
inline Ref to_py(PyObject* value) { return Ref::borrow(value); }
inline Ref to_py(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref to_py(int value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref to_py(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref to_py(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }
inline Ref to_py(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref to_py(const char* value) { return Ref::steal(PyUnicode_FromString(value)); }

// The name as an interned string. Every lookup takes its names this way: the
// interpreter's attribute cache keeps a reference to the name of each lookup,
// and a fresh string per call would fill it with thousands of dead copies.
Ref interned(const Name& name);

// A module-level name as the methods see it: the module namespace first, then
// builtins; NameError when neither has it. Looked up at every use, so that
// rebinding a module attribute changes later calls.
Ref global(Name name);

// obj.name
Ref attr(PyObject* object, Name name);
inline Ref attr(const Ref& object, Name name) { return attr(object.get(), name); }

// obj.name = value
void set_attr(PyObject* object, Name name, PyObject* value);

namespace detail {

Ref call_with(PyObject* callable, PyObject* args, PyObject* kwargs, const Where& where);

template <class A>
void add_argument(PyObject* args, Py_ssize_t& position, PyObject* kwargs, A&& argument) {
  if constexpr (std::is_same_v<std::decay_t<A>, Kw>) {
    PyDict_SetItemString(kwargs, argument.name, argument.value.get());
  } else {
    PyTuple_SET_ITEM(args, position++, to_py(std::forward<A>(argument)).release());
  }
}

template <class... A>
Ref call_at(PyObject* callable, const Where& where, A&&... arguments) {
  constexpr Py_ssize_t keyword_count = (0 + ... + std::is_same_v<std::decay_t<A>, Kw>);
  Ref args = checked(PyTuple_New(sizeof...(A) - keyword_count), where);
  Ref kwargs = keyword_count ? checked(PyDict_New(), where) : Ref();
  Py_ssize_t position = 0;
  (add_argument(args.get(), position, kwargs.get(), std::forward<A>(arguments)), ...);
  for (Py_ssize_t i = 0; i < position; ++i) {
    if (PyTuple_GET_ITEM(args.get(), i) == nullptr) throw PyError{where};
  }
  return call_with(callable, args.get(), kwargs.get(), where);
}

}  // namespace detail

// A callable named at a call site; remembers where it was called.
struct Callee {
  PyObject* object;
  Where where;
  Callee(const Ref& callable, Where at = Where::current()) : object(callable.get()), where(at) {}
};

// callable(arguments...)
template <class... A>
Ref call(Callee callable, A&&... arguments) {
  return detail::call_at(callable.object, callable.where, std::forward<A>(arguments)...);
}

// object.method(arguments...)
template <class... A>
Ref call_method(PyObject* object, Name method, A&&... arguments) {
  Ref bound = attr(object, method);
  return detail::call_at(bound.get(), method.where, std::forward<A>(arguments)...);
}

namespace detail {

// OpenCV's binding reads an (h, w, 0) array as an image of 512 channels, and
// an (h, w, c, 0) one as an h x w image, and runs far past the end of the
// buffer (garbage results, or a crash); an argument with no samples per pixel
// (a zero-length axis after the first two), or such an item of a list or
// tuple argument, is refused with OpenCV's own exception type instead.
void refuse_channelless_image(PyObject* argument, const Where& where);

template <class A>
void check_cv2_argument(const A& argument, const Where& where) {
  using T = std::decay_t<A>;
  if constexpr (std::is_same_v<T, Ref>) {
    refuse_channelless_image(argument.get(), where);
  } else if constexpr (std::is_same_v<T, PyObject*>) {
    refuse_channelless_image(argument, where);
  } else if constexpr (std::is_same_v<T, Kw>) {
    refuse_channelless_image(argument.value.get(), where);
  }
}

}  // namespace detail

// cv2.function(arguments...), with cv2 looked up in the module namespace.
template <class... A>
Ref cv2(Name function, A&&... arguments) {
  (detail::check_cv2_argument(arguments, function.where), ...);
  Ref module = global(Name("cv2", function.where));
  return call_method(module.get(), function, std::forward<A>(arguments)...);
}

// np.function(arguments...), with np looked up in the module namespace.
template <class... A>
Ref np(Name function, A&&... arguments) {
  Ref module = global(Name("np", function.where));
  return call_method(module.get(), function, std::forward<A>(arguments)...);
}

// An attribute of a module-level object: cv2.INTER_CUBIC, np.uint16, ...
Ref global_attr(Name module, const char* attribute);

// Raises cv2.error (cv2 looked up in the module namespace): what the module
// reports, in OpenCV's own exception type, for a call it keeps from OpenCV.
[[noreturn]] void raise_cv2_error(const std::string& message, Where where = Where::current());

// (a, b, ...) from C++ values.
template <class... A>
Ref tuple(A&&... items) {
  Ref result = checked(PyTuple_New(sizeof...(A)));
  Py_ssize_t position = 0;
  ((PyTuple_SET_ITEM(result.get(), position++, to_py(std::forward<A>(items)).release())), ...);
  for (Py_ssize_t i = 0; i < position; ++i) {
    if (PyTuple_GET_ITEM(result.get(), i) == nullptr) rethrow();
  }
  return result;
}

}  // namespace pictor
