// Keyword values as operands of array arithmetic, typed as NumPy 1.x types them.
//
// NumPy 1.x takes the element type of `array <op> value` from the value, not
// only from its type: a scalar of a kind no higher than the array's (bool <
// integer < real) counts as the smallest type that holds its value, so a
// uint8 image times 2 stays uint8 and wraps, times 300 becomes uint16, times
// -1 int16, and a float32 image times 0.5 stays float32 while times 70000 it
// becomes float64; a scalar of a higher kind counts with its own type (uint8
// times 0.5 is float64, times np.float32(0.5) float32). The rules are written
// out here rather than asked of the installed NumPy, so that the results stay
// those of NumPy 1.x under NumPy 2.x too.
#pragma once
#include <cstdint>
#include <optional>
#include <type_traits>

#include "frame/pycall.h"
#include "kernels/numeric.h"

namespace pictor {

using kernels::Num;

// A Python bool, int or float, a NumPy bool, integer or real scalar, or a
// 0-d array of one of these.
struct Scalar {
  enum class Kind { Bool, Integer, Real };  // in NumPy's kind order
  Kind kind = Kind::Bool;
  Num own_type = Num::Bool;  // a Python int is int64 (uint64 beyond), a Python float float64
  bool negative = false;     // integers and bools
  std::uint64_t bits = 0;    // integers and bools, two's complement
  long double real = 0;      // reals

  // The value converted to T, as NumPy casts a scalar to the type of the loop.
  template <class T>
  T as() const {
    if (kind == Kind::Real) return static_cast<T>(real);
    if constexpr (std::is_integral_v<T>) {
      return static_cast<T>(bits);
    } else {
      return negative ? static_cast<T>(static_cast<std::int64_t>(bits)) : static_cast<T>(bits);
    }
  }
};

// The value as a Scalar; nothing for values NumPy does not treat as one
// (complex, strings, None, sequences, integers beyond 64 bits).
std::optional<Scalar> read_scalar(PyObject* value, Where where = Where::current());

// np.min_scalar_type of the value.
Num min_scalar_type(const Scalar& value);

// The element type of `array <op> value` and `value <op> array` for an array
// of element type `array_type` and the arithmetic operators.
Num result_type(Num array_type, const Scalar& value);

enum class Operation { Add, Multiply };

// A keyword value taking part in `array <op> value`.
struct Operand {
  Scalar value;
  Num result;  // the element type of the operation's result
};

// Reads `value` as the operand of `array <op> value` (`value <op> array` when
// `value_first`) for an array of `array_type`. A value that NumPy itself
// rejects there raises NumPy's own error; one it accepts but no native kernel
// computes (complex, object) raises TypeError.
Operand operand(const Ref& value, Num array_type, Operation op, bool value_first = false,
                Where where = Where::current());

// NumPy's type number of a Num.
int numpy_type(Num type);

// A real scalar of `type` (float64 or long double) holding `value`.
Scalar real_scalar(Num type, long double value);

// TypeError: the arithmetic of `value` with the image has no native kernel.
[[noreturn]] void raise_unsupported(PyObject* value, Where where = Where::current());

// Calls visit(T{}) with T the C++ element type of `type`; TypeError naming
// `value` for the types no kernel computes in (bool).
template <class F>
void visit_num(Num type, PyObject* value, F&& visit, Where where = Where::current()) {
  using namespace kernels;
  switch (type) {
    case Num::U8: return visit(type_of_num<Num::U8>::type{});
    case Num::I8: return visit(type_of_num<Num::I8>::type{});
    case Num::U16: return visit(type_of_num<Num::U16>::type{});
    case Num::I16: return visit(type_of_num<Num::I16>::type{});
    case Num::U32: return visit(type_of_num<Num::U32>::type{});
    case Num::I32: return visit(type_of_num<Num::I32>::type{});
    case Num::U64: return visit(type_of_num<Num::U64>::type{});
    case Num::I64: return visit(type_of_num<Num::I64>::type{});
    case Num::F16: return visit(type_of_num<Num::F16>::type{});
    case Num::F32: return visit(float{});
    case Num::F64: return visit(double{});
    case Num::F80: return visit((long double){});
    case Num::Bool: break;
  }
  raise_unsupported(value, where);
}

// As visit_num for the real types that arithmetic on a float32 or float64
// array can produce.
template <class F>
void visit_real_num(Num type, PyObject* value, F&& visit, Where where = Where::current()) {
  switch (type) {
    case Num::F32: return visit(float{});
    case Num::F64: return visit(double{});
    case Num::F80: return visit((long double){});
    default: raise_unsupported(value, where);
  }
}

// Calls body(a, b) with the values of two operands in the real element types
// of their operations (TypeError naming the value for any other type).
template <class F>
void with_real_operands(const Operand& first, PyObject* first_value, const Operand& second, PyObject* second_value,
                        F&& body, Where where = Where::current()) {
  visit_real_num(first.result, first_value, [&](auto first_zero) {
    visit_real_num(second.result, second_value, [&](auto second_zero) {
      body(first.value.as<decltype(first_zero)>(), second.value.as<decltype(second_zero)>());
    }, where);
  }, where);
}

}  // namespace pictor
