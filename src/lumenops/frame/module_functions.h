// Plain functions of the private modules (pictor._chunked, pictor._full_depth):
// positional arguments only, C++ exceptions turned into Python ones at the
// boundary.
#pragma once
#include <Python.h>

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "frame/error.h"
#include "frame/ref.h"

namespace pictor {

template <class F>
PyObject* entry(F&& body) {
  try {
    return body().release();
  } catch (const PyError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The Python entry of a step taking `arity` positional arguments.
template <std::size_t arity, auto step>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return entry([&] {
    if (count != static_cast<Py_ssize_t>(arity)) {
      PyErr_Format(PyExc_TypeError, "expected %zd arguments, got %zd", static_cast<Py_ssize_t>(arity), count);
      throw PyError{Where::current()};
    }
    return [&]<std::size_t... i>(std::index_sequence<i...>) { return step(args[i]...); }(
        std::make_index_sequence<arity>{});
  });
}

template <auto step>
PyObject* one_argument(PyObject*, PyObject* argument) {
  return entry([&] { return step(argument); });
}

template <std::size_t arity, auto step>
constexpr PyCFunction fastcall_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fastcall<arity, step>));
}

// Creates a module of these functions (the list ends with a zeroed entry) and
// enters it in sys.modules under `name`; the definition must outlive it.
void register_private_module(PyModuleDef& definition);

}  // namespace pictor
