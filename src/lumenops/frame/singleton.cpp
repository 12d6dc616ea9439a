#include "frame/singleton.h"

#include "frame/module_state.h"
#include "frame/pycall.h"

namespace pictor {

namespace {

// __new__(cls, *args, **kwargs): the arguments are not passed on.
Ref singleton_new(const Args& args) {
  PyObject* cls = args.self();
  Ref instance = attr(cls, "_instance");
  if (instance.is_none()) {
    Ref base = call(Ref::borrow(module_state().builtin_super), module_state().singleton_base, cls);
    Ref created = call_method(base.get(), "__new__", cls);
    set_attr(cls, "_instance", created.get());
  }
  return attr(cls, "_instance");
}

// __init__(self, *args, **kwargs): runs _init once; the flag is set first, so
// a hook that fails is not retried.
Ref singleton_init(const Args& args) {
  PyObject* self = args.self();
  Ref initialized = attr(self, "_initialized");
  if (checked_status(PyObject_IsTrue(initialized.get()))) return Ref::none();
  set_attr(self, "_initialized", Py_True);
  Ref hook = attr(self, "_init");
  checked(PyObject_Call(hook.get(), args.rest(), args.keyword_dict()));
  return Ref::none();
}

// copyreg reducer of a tool object: (pictor._lookup.tool, (class name,)).
PyObject* reduce_tool(PyObject*, PyObject* tool) {
  try {
    Ref lookup = checked(PyImport_ImportModule("pictor._lookup"));
    Ref restore = attr(lookup, "tool");
    Ref class_name = attr(reinterpret_cast<PyObject*>(Py_TYPE(tool)), "__name__");
    return tuple(restore, tuple(class_name)).release();
  } catch (const PyError&) {
    return nullptr;
  }
}

PyMethodDef reduce_tool_definition = {"reduce_tool", reduce_tool, METH_O, nullptr};

}  // namespace

void pickle_by_class_name(PyObject* tool_class) {
  Ref copyreg = checked(PyImport_ImportModule("copyreg"));
  Ref reducer = checked(PyCFunction_New(&reduce_tool_definition, nullptr));
  call_method(copyreg.get(), "pickle", tool_class, reducer);
}

Ref init_nothing(const Args&) { return Ref::none(); }

Ref init_with_utility_tool(const Args& args) {
  Ref utility_tool = call(global("UtilityTool"));
  set_attr(args.self(), "tool", utility_tool.get());
  return Ref::none();
}

const ClassSpec& singleton_base_class() {
  static const ClassSpec spec{"SingletonBase",
                              {
                                  any_arguments("__new__", singleton_new, /*is_static=*/true),
                                  any_arguments("__init__", singleton_init),
                                  any_arguments("_init", init_nothing),
                              }};
  return spec;
}

}  // namespace pictor
