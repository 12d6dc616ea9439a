// The module pictor.lumenops: definition, create and execute steps, and the
// class registry.
#define PICTOR_IMPORTS_NUMPY_API
#include "frame/numpy_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/method.h"
#include "frame/module_state.h"
#include "frame/pycall.h"
#include "frame/singleton.h"
#include "full_depth/families.h"
#include "segmentation/module.h"
#include "tools/chunk_steps.h"
#include "tools/tool_classes.h"
#include "volume_filters.h"

namespace pictor {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

namespace {

constexpr const char* kModuleName = "pictor.lumenops";

long long current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Copies spec.<attribute> to the module dictionary; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool skip_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  int status = 0;
  if (!(skip_none && value == Py_None)) status = PyDict_SetItemString(dict, to, value);
  Py_DECREF(value);
  return status;
}

// The import-time messages and warnings below, like the empty `__test__` dict
// set at execution, are those of the module this one replaces, word for word:
// code that checks for them keeps working.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
  ModuleState& state = module_state();
  const long long interpreter_id = current_interpreter_id();
  if (state.interpreter_id == -1) {
    state.interpreter_id = interpreter_id;
    if (interpreter_id == -1) return nullptr;
  } else if (interpreter_id != state.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state.module != nullptr) return Py_NewRef(state.module);

  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

// A module built for one interpreter version warns when run by another.
int warn_on_version_mismatch() {
  const char* version = Py_GetVersion();
  int major = std::atoi(version);
  const char* dot = std::strchr(version, '.');
  int minor = dot ? std::atoi(dot + 1) : 0;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[200];
  std::snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

void register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  const int present = checked_status(PyDict_Contains(modules, Ref::steal(PyUnicode_FromString(kModuleName)).get()));
  if (!present) checked_status(PyDict_SetItemString(modules, kModuleName, module));
}

void keep_builtins() {
  ModuleState& state = module_state();
  if (state.builtin_super == nullptr) state.builtin_super = global("super").release();
}

void import_libraries(PyObject* globals) {
  const char* imports[][2] = {
      {"cv2", "cv2"}, {"numpy", "np"}, {"copy", "copy"}, {"os", "os"}, {"onnxruntime", "ort"}};
  for (const auto& [module_name, bound_as] : imports) {
    Ref module = checked(PyImport_ImportModuleLevel(module_name, nullptr, nullptr, nullptr, 0));
    checked_status(PyDict_SetItemString(globals, bound_as, module.get()));
  }
  if (_import_array() < 0) rethrow();
}

// type(name, bases, namespace) with the attributes bound in declaration order.
void build_class(PyObject* globals, const ClassSpec& spec, bool is_base) {
  Ref namespace_dict = checked(PyDict_New());
  checked_status(PyDict_SetItemString(namespace_dict.get(), "__module__", to_py(kModuleName).get()));
  checked_status(PyDict_SetItemString(namespace_dict.get(), "__qualname__", to_py(spec.name).get()));
  if (is_base) {
    checked_status(PyDict_SetItemString(namespace_dict.get(), "_instance", Py_None));
    checked_status(PyDict_SetItemString(namespace_dict.get(), "_initialized", Py_False));
  }
  for (const MethodSpec& method : spec.methods) {
    Ref object = make_method(method, spec.name);
    checked_status(PyDict_SetItemString(namespace_dict.get(), bound_name(method, spec.name).c_str(), object.get()));
  }
  Ref bases = is_base ? checked(PyTuple_New(0)) : tuple(global("SingletonBase"));
  Ref cls = call(Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type)), spec.name, bases, namespace_dict);
  checked_status(PyDict_SetItemString(globals, spec.name, cls.get()));
  if (!is_base) pickle_by_class_name(cls.get());
  if (is_base) module_state().singleton_base = cls.release();
}

void build_classes(PyObject* globals) {
  build_class(globals, singleton_base_class(), /*is_base=*/true);
  for (const ClassSpec* tool : {&utility_tool_class(), &image_enhancer_class(), &image_fusion_class(),
                                &image_smoother_class(), &image_segmenter_class(), &deep_learning_class(),
                                &feature_detection_class(), &geometric_transformation_class()}) {
    build_class(globals, *tool, /*is_base=*/false);
  }
}

void forget_module() {
  ModuleState& state = module_state();
  Py_CLEAR(state.module);
  state.globals = nullptr;
}

int execute_module(PyObject* module) {
  ModuleState& state = module_state();
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'lumenops' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  state.module = Py_NewRef(module);
  state.globals = PyModule_GetDict(module);
  state.builtins = PyImport_AddModule("builtins");
  if (state.builtins == nullptr || PyModule_AddObject(module, "__builtins__", Py_NewRef(state.builtins)) < 0 ||
      warn_on_version_mismatch() < 0 || ready_method_type() < 0) {
    forget_module();
    return -1;
  }
  try {
    register_in_sys_modules(module);
    keep_builtins();
    import_libraries(state.globals);
    build_classes(state.globals);
    register_chunked_module();
    full_depth::register_module();
    register_volumes_module();
    segmentation::register_module();
    // The replaced module's doctest table, empty: present for drop-in fidelity.
    checked_status(PyDict_SetItemString(state.globals, "__test__", Ref::steal(PyDict_New()).get()));
  } catch (const PyError& error) {
    add_traceback("init pictor.lumenops", error.where);
    forget_module();
    return -1;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ImportError, error.what());
    forget_module();
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "lumenops", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace pictor

// Exported explicitly: CPython 3.8's PyMODINIT_FUNC does not mark the symbol visible.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_lumenops() { return PyModuleDef_Init(&pictor::module_definition); }
