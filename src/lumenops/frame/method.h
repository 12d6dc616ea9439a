// Declarations of the tool classes' methods and the function-like objects
// that bind them.
//
// Every method is declared once, with its calling convention and its
// parameters with their defaults; the method object parses a call against the
// declaration and hands the body an Args view.
#pragma once
#include <Python.h>

#include <string>
#include <vector>

#include "frame/error.h"

namespace pictor {

// Default value of a parameter as written in the declaration.
struct Default {
  enum class Kind { Required, None, Int, Float };
  Kind kind = Kind::Required;
  long integer = 0;
  double real = 0.0;

  Default() = default;
  Default(std::nullptr_t) : kind(Kind::None) {}
  Default(int value) : kind(Kind::Int), integer(value) {}
  Default(double value) : kind(Kind::Float), real(value) {}
  bool required() const { return kind == Kind::Required; }
};

struct Param {
  const char* name;
  Default value;
};

enum class Convention {
  Keywords,     // (self, **kwargs): each input read with kwargs.get(name, default)
  Positional,   // (self, a, b=..., ...): ordinary parameters
  AnyArguments  // (self_or_cls, *args, **kwargs): the singleton machinery
};

class Args;
using MethodBody = Ref (*)(const Args&);

struct MethodSpec {
  const char* name;  // __name__; a "__private" name is bound under the class-private name
  Convention convention;
  std::vector<Param> params;  // after self; for Keywords, the keywords read
  MethodBody body;
  bool is_static = false;     // bound as a static method (SingletonBase.__new__)
  Where where;                // the declaration, for argument errors
};

MethodSpec keywords(const char* name, MethodBody body, std::vector<Param> params,
                    Where where = Where::current());
MethodSpec positional(const char* name, MethodBody body, std::vector<Param> params,
                      Where where = Where::current());
MethodSpec any_arguments(const char* name, MethodBody body, bool is_static = false,
                         Where where = Where::current());

struct ClassSpec {
  const char* name;
  std::vector<MethodSpec> methods;  // in binding order
};

struct MethodObject;

// What a method body sees of its call.
class Args {
 public:
  Args(const MethodObject* method, PyObject* self, PyObject* args, PyObject* kwargs,
       std::vector<PyObject*> values)
      : method_(method), self_(self), args_(args), kwargs_(kwargs), values_(std::move(values)) {}
  // Keywords given as a vector call gives them: kwnames[i] = keyword_values[i].
  Args(const MethodObject* method, PyObject* self, PyObject* const* keyword_values, PyObject* kwnames)
      : method_(method), self_(self), keyword_values_(keyword_values), kwnames_(kwnames) {}

  // The tool object (or the class, for __new__).
  PyObject* self() const { return self_; }
  // Keywords: kwargs.get(name, declared default), a new reference.
  Ref get(const char* name) const;
  // Positional: the parameter `name` after self (argument or default).
  PyObject* arg(const char* name) const;
  // AnyArguments: the arguments after self, and the keyword dictionary (may be NULL).
  PyObject* rest() const { return args_; }
  PyObject* keyword_dict() const { return kwargs_; }

 private:
  std::size_t index_of(const char* name) const;
  PyObject* given_keyword(PyObject* key) const;
  const MethodObject* method_;
  PyObject* self_;
  PyObject* args_ = nullptr;
  PyObject* kwargs_ = nullptr;
  std::vector<PyObject*> values_;
  PyObject* const* keyword_values_ = nullptr;
  PyObject* kwnames_ = nullptr;
};

// The body of `callable` when it is a method object of this module bound to
// an instance, else nullptr: a tool that finds another tool's method unreplaced
// may do that method's work natively instead of calling it.
MethodBody bound_body_of(PyObject* callable);

// Creates the function-like object for `spec` of class `class_name`.
Ref make_method(const MethodSpec& spec, const char* class_name);

// The attribute name under which a method is bound ("_Class__name" for private ones).
std::string bound_name(const MethodSpec& spec, const char* class_name);

// Ready the method object type; called once by the execute step.
int ready_method_type();

}  // namespace pictor
