// The sample-depth convention of the tool methods: full-scale detection, the
// 8-bit working copy, the 16-bit restore and the unit-float form.
#pragma once
#include "frame/ndarray.h"

namespace pictor::depth {

// max_value = 65535. if src.dtype == np.uint16 else 255.
double full_scale(PyObject* src, Where where = Where::current());

// (src / max_value * 255.).astype(np.uint8)
Ref working_u8(PyObject* src, double max_value, Where where = Where::current());

// (result / 255 * 65535.).astype(np.uint16)
Ref restore_u16(PyObject* result, Where where = Where::current());

// The same expression evaluated by the interpreter's and NumPy's operators,
// step by step, for any value (float16 arrays keep NumPy's float16 arithmetic).
Ref restore_u16_by_operators(PyObject* result, Where where = Where::current());

// src / max_value, as float64.
Ref unit_float(PyObject* src, double max_value, Where where = Where::current());

}  // namespace pictor::depth
