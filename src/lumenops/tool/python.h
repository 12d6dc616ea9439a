// Python's own behaviour where a method's recipe is plain Python: unpacking,
// indexing, operators and `astype`, with the interpreter's and NumPy's own
// results and errors for any value. The native paths take over only for the
// values whose outcome they reproduce; everything else comes through here.
#pragma once
#include <array>
#include <cstddef>

#include "frame/pycall.h"

namespace pictor {

namespace detail {
void unpack_into(PyObject* value, Ref* items, std::size_t count, const Where& where);
}  // namespace detail

// `a, b, ... = value`: exactly `count` items, with the interpreter's errors
// ("cannot unpack non-iterable ...", "not enough values ...", "too many ...").
template <std::size_t count>
std::array<Ref, count> unpack(PyObject* value, Where where = Where::current()) {
  std::array<Ref, count> items;
  detail::unpack_into(value, items.data(), count, where);
  return items;
}

// sequence[index]
Ref item(PyObject* sequence, long index, Where where = Where::current());

// a + b, a - b, a * b, a / b, a // b with Python's operators.
Ref py_add(const Ref& a, const Ref& b, Where where = Where::current());
Ref py_subtract(const Ref& a, const Ref& b, Where where = Where::current());
Ref py_multiply(const Ref& a, const Ref& b, Where where = Where::current());
Ref py_true_divide(const Ref& a, const Ref& b, Where where = Where::current());
Ref py_floor_divide(const Ref& a, const Ref& b, Where where = Where::current());

// `value == number` as an `if` reads it.
bool py_equals(const Ref& value, long number, Where where = Where::current());

// h, w = src.shape; (w // scale, h // scale): the dsize of cv2.resize in the
// recipes that shrink an image by an integer factor.
Ref shrunk_size(const Ref& src, const Ref& scale, Where where = Where::current());

// value.astype(np.<type>), with np looked up in the module namespace.
Ref astype(const Ref& value, const char* type, Where where = Where::current());

}  // namespace pictor
