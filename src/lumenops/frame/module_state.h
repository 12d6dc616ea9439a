// Process-wide state of the module: it is loaded once per process and keeps
// its objects for the life of the process.
#pragma once
#include <Python.h>

namespace pictor {

struct ModuleState {
  long long interpreter_id = -1;     // interpreter that first loaded the module
  PyObject* module = nullptr;        // the module object once executed
  PyObject* globals = nullptr;       // its namespace (borrowed from the module)
  PyObject* builtins = nullptr;      // the builtins module
  PyObject* singleton_base = nullptr;  // the SingletonBase class, for super()
  PyObject* builtin_super = nullptr;  // kept from import time, for the singletons' super() call
};

ModuleState& module_state();

}  // namespace pictor
