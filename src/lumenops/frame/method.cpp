#include "frame/method.h"

#include <structmember.h>

#include <cstring>
#include <new>
#include <string>

namespace pictor {

// Before Python 3.9 the flag had a private name.
#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

struct MethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;   // keyword methods: read their keywords where the call left them
  MethodSpec* spec;
  std::vector<Ref>* defaults;  // one per parameter, empty Ref when required
  std::vector<Ref>* keys;      // the parameter names as interned strings, for keyword lookups
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* bound_qualname;     // "Class.attribute", where the class keeps it
  std::string* traceback_name;  // "pictor.lumenops.Class.method"
};

MethodSpec keywords(const char* name, MethodBody body, std::vector<Param> params, Where where) {
  return MethodSpec{name, Convention::Keywords, std::move(params), body, false, where};
}

MethodSpec positional(const char* name, MethodBody body, std::vector<Param> params, Where where) {
  return MethodSpec{name, Convention::Positional, std::move(params), body, false, where};
}

MethodSpec any_arguments(const char* name, MethodBody body, bool is_static, Where where) {
  return MethodSpec{name, Convention::AnyArguments, {}, body, is_static, where};
}

std::string bound_name(const MethodSpec& spec, const char* class_name) {
  const std::size_t length = std::strlen(spec.name);
  const bool is_private = length > 2 && std::strncmp(spec.name, "__", 2) == 0 &&
                          std::strcmp(spec.name + length - 2, "__") != 0;
  if (!is_private) return spec.name;
  return std::string("_") + class_name + spec.name;
}

std::size_t Args::index_of(const char* name) const {
  const auto& params = method_->spec->params;
  // A body usually names a parameter with the very literal of its declaration.
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].name == name) return i;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (std::strcmp(params[i].name, name) == 0) return i;
  }
  // A body asked for a name its declaration lacks: a programming error.
  PyErr_Format(PyExc_SystemError, "%U has no parameter '%s'", method_->qualname, name);
  throw PyError{method_->spec->where};
}

namespace {

// The position of `key` (an interned name) among the names of a vector call,
// or -1. Names written in the call are interned as the declaration's are, so
// an interned name equals the key only if it is the key; names from a **
// mapping may be equal strings of their own, and only those are compared.
Py_ssize_t keyword_position(PyObject* kwnames, PyObject* key) {
  const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == key) return i;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_CHECK_INTERNED(name) && PyUnicode_Compare(name, key) == 0) return i;
  }
  return -1;
}

}  // namespace

PyObject* Args::given_keyword(PyObject* key) const {
  if (kwargs_ != nullptr) return PyDict_GetItem(kwargs_, key);
  const Py_ssize_t position = keyword_position(kwnames_, key);
  return position < 0 ? nullptr : keyword_values_[position];
}

Ref Args::get(const char* name) const {
  const std::size_t index = index_of(name);
  PyObject* value = given_keyword((*method_->keys)[index].get());
  if (value != nullptr) return Ref::borrow(value);
  return (*method_->defaults)[index];
}

PyObject* Args::arg(const char* name) const { return values_[index_of(name)]; }

namespace {

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

[[noreturn]] void raise_argument_count(const MethodObject* method, const char* exactness,
                                       Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               method->spec->name, exactness, expected, expected == 1 ? "" : "s", given);
  throw PyError{method->spec->where};
}

[[noreturn]] void raise_keyword_error(const MethodObject* method, const char* format, PyObject* key) {
  PyErr_Format(PyExc_TypeError, format, method->spec->name, key);
  throw PyError{method->spec->where};
}

void require_string_key(const MethodObject* method, PyObject* key) {
  if (PyUnicode_Check(key)) return;
  PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", method->spec->name);
  throw PyError{method->spec->where};
}

void require_string_keys(const MethodObject* method, PyObject* kwargs) {
  if (kwargs == nullptr) return;
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(kwargs, &position, &key, &value)) require_string_key(method, key);
}

// The interned "self", made once.
PyObject* self_keyword(Where where) {
  static PyObject* key = nullptr;
  if (key == nullptr) key = checked(PyUnicode_InternFromString("self"), where).release();
  return key;
}

// (self, **kwargs), called as a vector call: args[0..given) then the keywords'
// values; self may come as the keyword "self" when called through the class.
Args parse_keywords(const MethodObject* method, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keyword_count; ++i) require_string_key(method, PyTuple_GET_ITEM(kwnames, i));
  PyObject* self_key = self_keyword(method->spec->where);
  const Py_ssize_t self_position = keyword_position(kwnames, self_key);
  if (given == 1 && self_position >= 0) {
    raise_keyword_error(method, "%s() got multiple values for argument '%U'", self_key);
  }
  PyObject* const* keyword_values = args + given;
  if (given == 1) return Args(method, args[0], keyword_values, kwnames);
  if (given == 0 && self_position >= 0) return Args(method, keyword_values[self_position], keyword_values, kwnames);
  raise_argument_count(method, "exactly", 1, given);
}

// (self, a, b=default, ...)
Args parse_positional(const MethodObject* method, PyObject* args, PyObject* kwargs) {
  require_string_keys(method, kwargs);
  const auto& params = method->spec->params;
  const auto& defaults = *method->defaults;
  const Py_ssize_t total = static_cast<Py_ssize_t>(params.size()) + 1;  // with self
  Py_ssize_t required = 1;
  for (const Param& param : params) required += param.value.required() ? 1 : 0;
  const bool exact = required == total;
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given > total) raise_argument_count(method, exact ? "exactly" : "at most", total, given);

  std::vector<PyObject*> slots(total, nullptr);  // slot 0 is self
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      Py_ssize_t slot = -1;
      if (PyUnicode_CompareWithASCIIString(key, "self") == 0) slot = 0;
      for (std::size_t i = 0; slot < 0 && i < params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) slot = i + 1;
      }
      if (slot < 0) raise_keyword_error(method, "%s() got an unexpected keyword argument '%U'", key);
      if (slots[slot] != nullptr) {
        raise_keyword_error(method, "%s() got multiple values for argument '%U'", key);
      }
      slots[slot] = value;
    }
  }
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (slots[i] != nullptr) continue;
    if (i > 0 && defaults[i - 1]) {
      slots[i] = defaults[i - 1].get();
      continue;
    }
    raise_argument_count(method, exact ? "exactly" : "at least", required, given);
  }
  PyObject* self = slots[0];
  slots.erase(slots.begin());
  return Args(method, self, args, kwargs, std::move(slots));
}

// (self, *args, **kwargs)
Args parse_any(const MethodObject* method, PyObject* args, PyObject* kwargs, Ref& owned) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given == 0) raise_argument_count(method, "at least", 1, 0);
  owned = checked(PyTuple_GetSlice(args, 1, given), method->spec->where);
  return Args(method, PyTuple_GET_ITEM(args, 0), owned.get(), kwargs, {});
}

// The body's result for the arguments parse() makes, or nullptr with the
// error set and the method's frame added to its traceback.
template <class Parse>
PyObject* run_body(MethodObject* method, Parse&& parse) {
  try {
    Ref owned;
    const Args parsed = parse(owned);
    return method->spec->body(parsed).release();
  } catch (const PyError& error) {
    add_traceback(method->traceback_name->c_str(), error.where);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    add_traceback(method->traceback_name->c_str(), method->spec->where);
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    add_traceback(method->traceback_name->c_str(), method->spec->where);
  }
  return nullptr;
}

PyObject* method_vectorcall(PyObject* object, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  MethodObject* method = as_method(object);
  return run_body(method, [&](Ref&) { return parse_keywords(method, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

PyObject* method_call(PyObject* object, PyObject* args, PyObject* kwargs) {
  MethodObject* method = as_method(object);
  switch (method->spec->convention) {
    case Convention::Keywords: return PyVectorcall_Call(object, args, kwargs);
    case Convention::Positional: return run_body(method, [&](Ref&) { return parse_positional(method, args, kwargs); });
    case Convention::AnyArguments: break;
  }
  return run_body(method, [&](Ref& owned) { return parse_any(method, args, kwargs, owned); });
}

// Binds like a Python function: an instance gets a bound method, the class the function.
PyObject* method_get(PyObject* object, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(object);
    return object;
  }
  return PyMethod_New(object, instance);
}

void method_dealloc(PyObject* object) {
  MethodObject* method = as_method(object);
  delete method->spec;
  delete method->defaults;
  delete method->keys;
  delete method->traceback_name;
  Py_XDECREF(method->name);
  Py_XDECREF(method->qualname);
  Py_XDECREF(method->module);
  Py_XDECREF(method->doc);
  Py_XDECREF(method->bound_qualname);
  Py_TYPE(object)->tp_free(object);
}

PyObject* method_repr(PyObject* object) {
  return PyUnicode_FromFormat("<function %U at %p>", as_method(object)->qualname, object);
}

PyObject* get_defaults(PyObject* object, void*) {
  MethodObject* method = as_method(object);
  std::vector<PyObject*> values;
  if (method->spec->convention == Convention::Positional) {
    for (const Ref& value : *method->defaults) {
      if (value) values.push_back(value.get());
    }
  }
  if (values.empty()) Py_RETURN_NONE;
  PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  if (result == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    Py_INCREF(values[i]);
    PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(i), values[i]);
  }
  return result;
}

PyObject* get_string(PyObject* const* field) {
  Py_INCREF(*field);
  return *field;
}

int set_string(PyObject** field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*field, value);
  return 0;
}

PyObject* get_name(PyObject* object, void*) { return get_string(&as_method(object)->name); }
int set_name(PyObject* object, PyObject* value, void*) {
  return set_string(&as_method(object)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* object, void*) { return get_string(&as_method(object)->qualname); }
int set_qualname(PyObject* object, PyObject* value, void*) {
  return set_string(&as_method(object)->qualname, value, "__qualname__");
}

std::string default_text(const Default& value) {
  switch (value.kind) {
    case Default::Kind::Required: return "";
    case Default::Kind::None: return "=None";
    case Default::Kind::Int: return "=" + std::to_string(value.integer);
    case Default::Kind::Float: break;
  }
  char* text = PyOS_double_to_string(value.real, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  std::string result = std::string("=") + text;
  PyMem_Free(text);
  return result;
}

// The declaration as a signature for inspect.signature(): keyword methods read
// their keywords from **kwargs, so they show them as keyword-only parameters.
PyObject* get_text_signature(PyObject* object, void*) {
  const MethodSpec& spec = *as_method(object)->spec;
  std::string text = spec.is_static ? "(cls" : "(self";
  if (spec.convention == Convention::Keywords && !spec.params.empty()) text += ", *";
  for (const Param& param : spec.params) text += std::string(", ") + param.name + default_text(param.value);
  if (spec.convention != Convention::Positional) {
    text += spec.convention == Convention::AnyArguments ? ", *args, **kwargs" : ", **kwargs";
  }
  text += ")";
  return PyUnicode_FromString(text.c_str());
}

// Pickled by reference, as pickle does for a module's functions: the receiving
// process looks the method up on its own class (a bound method then pickles as
// getattr(tool, name), and the tool as its class's singleton).
PyObject* method_reduce(PyObject* object, PyObject*) { return get_string(&as_method(object)->bound_qualname); }

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject method_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "pictor.lumenops.function";
  type.tp_basicsize = sizeof(MethodObject);
  type.tp_dealloc = method_dealloc;
  type.tp_repr = method_repr;
  type.tp_call = method_call;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
  type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
  type.tp_methods = method_methods;
  type.tp_getset = method_getset;
  type.tp_members = method_members;
  type.tp_descr_get = method_get;
  return type;
}();

Ref default_object(const Default& value) {
  switch (value.kind) {
    case Default::Kind::Required: return Ref();
    case Default::Kind::None: return Ref::none();
    case Default::Kind::Int: return checked(PyLong_FromLong(value.integer));
    case Default::Kind::Float: return checked(PyFloat_FromDouble(value.real));
  }
  return Ref();
}

}  // namespace

int ready_method_type() { return PyType_Ready(&method_type); }

MethodBody bound_body_of(PyObject* callable) {
  if (!PyMethod_Check(callable)) return nullptr;
  PyObject* function = PyMethod_GET_FUNCTION(callable);
  if (Py_TYPE(function) != &method_type) return nullptr;
  return as_method(function)->spec->body;
}

Ref make_method(const MethodSpec& spec, const char* class_name) {
  Ref object = checked(PyType_GenericAlloc(&method_type, 0));
  MethodObject* method = as_method(object.get());
  if (spec.convention == Convention::Keywords) method->vectorcall = method_vectorcall;
  method->spec = new MethodSpec(spec);
  method->defaults = new std::vector<Ref>();
  method->keys = new std::vector<Ref>();
  for (const Param& param : spec.params) {
    method->defaults->push_back(default_object(param.value));
    method->keys->push_back(checked(PyUnicode_InternFromString(param.name)));
  }
  method->traceback_name = new std::string(std::string("pictor.lumenops.") + class_name + "." + spec.name);
  method->name = checked(PyUnicode_FromString(spec.name)).release();
  method->qualname = checked(PyUnicode_FromFormat("%s.%s", class_name, spec.name)).release();
  method->module = checked(PyUnicode_FromString("pictor.lumenops")).release();
  method->doc = Ref::none().release();
  method->bound_qualname =
      checked(PyUnicode_FromFormat("%s.%s", class_name, bound_name(spec, class_name).c_str())).release();
  if (!spec.is_static) return object;
  return checked(PyStaticMethod_New(object.get()));
}

}  // namespace pictor
