// Keyword values as the interpreter treats them: the methods take values
// unchanged, so a rule applied to a value uses Python's own operators and
// fails with Python's own error for a wrong type.
#pragma once
#include <optional>

#include "frame/pycall.h"

namespace pictor {

// v if v % 2 != 0 else v + 1 (Python's remainder: 0 -> 1, 4 -> 5, -4 -> -3, 10.0 -> 11.0).
Ref odd_value(const Ref& value, Where where = Where::current());

// A keyword value as a C double (Python's float()).
double as_double(const Ref& value, Where where = Where::current());

// A Python int itself (no bool, no subclass, whose arithmetic may differ)
// that a long long holds; nothing for any other value. The native paths take
// such values; the others go the recipe's own way.
std::optional<long long> exact_python_int(PyObject* value);

}  // namespace pictor
