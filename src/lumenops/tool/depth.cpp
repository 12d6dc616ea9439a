#include "tool/depth.h"

#include "frame/split_work.h"
#include "kernels/depth.h"
#include "tool/python.h"

namespace pictor::depth {

namespace {

// Element types without a native kernel (float16, complex, object, ...) are
// first converted to float64 by NumPy, which also reports the unconvertible.
Array real_array(PyObject* value, const Where& where) {
  Array array = contiguous(value, where);
  if (visit_real_type(array.type(), [](auto) {})) return array;
  return contiguous_as(array.object.get(), NPY_DOUBLE, where);
}

bool is_numpy_value(PyObject* value) { return PyArray_Check(value) || PyArray_IsScalar(value, Generic); }

// (value / divisor * factor).astype(np.<type>) through the interpreter's
// operators, for values that are not NumPy arrays or scalars (None, lists,
// ...): they fail, or not, exactly as the expression does.
Ref scaled_with_operators(PyObject* value, const Ref& divisor, const Ref& factor, const char* type,
                          const Where& where) {
  Ref quotient = py_true_divide(Ref::borrow(value), divisor, where);
  return astype(py_multiply(quotient, factor, where), type, where);
}

}  // namespace

double full_scale(PyObject* src, Where where) {
  Ref dtype = attr(src, Name("dtype", where));
  Ref uint16 = global_attr(Name("np", where), "uint16");
  const int equal = checked_status(PyObject_RichCompareBool(dtype.get(), uint16.get(), Py_EQ), where);
  return equal ? kernels::kFullScale16 : kernels::kFullScale8;
}

Ref working_u8(PyObject* src, double max_value, Where where) {
  if (!is_numpy_value(src)) return scaled_with_operators(src, to_py(max_value), to_py(255.0), "uint8", where);
  Array input = real_array(src, where);
  Array output = new_array_like(input, NPY_UBYTE, where);
  visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    split_samples_without_gil(input.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::to_working_u8(input.data<T>() + begin, output.data<std::uint8_t>() + begin, end - begin, max_value);
    });
  });
  return numpy_result(output, where);
}

Ref restore_u16(PyObject* result, Where where) {
  if (!is_numpy_value(result)) return restore_u16_by_operators(result, where);
  Array input = real_array(result, where);
  Array output = new_array_like(input, NPY_USHORT, where);
  visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    split_samples_without_gil(input.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::restore_u16(input.data<T>() + begin, output.data<std::uint16_t>() + begin, end - begin);
    });
  });
  return numpy_result(output, where);
}

Ref restore_u16_by_operators(PyObject* result, Where where) {
  return scaled_with_operators(result, to_py(255), to_py(65535.0), "uint16", where);
}

Ref unit_float(PyObject* src, double max_value, Where where) {
  Array input = real_array(src, where);
  Array output = new_array_like(input, NPY_DOUBLE, where);
  visit_real_type(input.type(), [&](auto zero) {
    using T = decltype(zero);
    split_samples_without_gil(input.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::to_unit_float(input.data<T>() + begin, output.data<double>() + begin, end - begin, max_value);
    });
  });
  return numpy_result(output, where);
}

}  // namespace pictor::depth
