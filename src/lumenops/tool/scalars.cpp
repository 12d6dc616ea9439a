#include "tool/scalars.h"

#include <cmath>
#include <cstring>

#include "frame/numpy_api.h"

namespace pictor {

namespace {

using kernels::promote_types;

constexpr long double kHalfRange = 65000.0L;      // NumPy's bounds for "fits float16"
constexpr long double kFloatRange = 3.4e38;        // ... "fits float32"
constexpr long double kDoubleRange = 1.7e308;      // ... "fits float64"

int kind_rank(Num type) {
  switch (type) {
    case Num::Bool: return 0;
    case Num::F16: case Num::F32: case Num::F64: case Num::F80: return 2;
    default: return 1;
  }
}

int kind_rank(Scalar::Kind kind) { return static_cast<int>(kind); }

std::optional<Num> num_of_type(int type_num) {
  switch (type_num) {
    case NPY_BOOL: return Num::Bool;
    case NPY_BYTE: return Num::I8;
    case NPY_UBYTE: return Num::U8;
    case NPY_SHORT: return Num::I16;
    case NPY_USHORT: return Num::U16;
    case NPY_INT: return Num::I32;
    case NPY_UINT: return Num::U32;
    case NPY_LONG: case NPY_LONGLONG: return Num::I64;
    case NPY_ULONG: case NPY_ULONGLONG: return Num::U64;
    case NPY_HALF: return Num::F16;
    case NPY_FLOAT: return Num::F32;
    case NPY_DOUBLE: return Num::F64;
    case NPY_LONGDOUBLE: return Num::F80;
    default: return std::nullopt;
  }
}

}  // namespace

int numpy_type(Num type) {
  switch (type) {
    case Num::Bool: return NPY_BOOL;
    case Num::U8: return NPY_UBYTE;
    case Num::I8: return NPY_BYTE;
    case Num::U16: return NPY_USHORT;
    case Num::I16: return NPY_SHORT;
    case Num::U32: return NPY_UINT;
    case Num::I32: return NPY_INT;
    case Num::U64: return NPY_ULONGLONG;
    case Num::I64: return NPY_LONGLONG;
    case Num::F16: return NPY_HALF;
    case Num::F32: return NPY_FLOAT;
    case Num::F64: return NPY_DOUBLE;
    case Num::F80: return NPY_LONGDOUBLE;
  }
  return NPY_OBJECT;
}

Scalar real_scalar(Num type, long double value) {
  Scalar scalar;
  scalar.kind = Scalar::Kind::Real;
  scalar.own_type = type;
  scalar.real = value;
  return scalar;
}

namespace {

template <class T>
T element(const void* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

Scalar integer_scalar(Num own_type, bool negative, std::uint64_t bits) {
  Scalar scalar;
  scalar.kind = own_type == Num::Bool ? Scalar::Kind::Bool : Scalar::Kind::Integer;
  scalar.own_type = own_type;
  scalar.negative = negative;
  scalar.bits = bits;
  return scalar;
}

template <class T>
Scalar integer_element(Num own_type, const void* data) {
  const T value = element<T>(data);
  return integer_scalar(own_type, value < 0, static_cast<std::uint64_t>(value));
}

// The element of a 0-d native-order array.
std::optional<Scalar> scalar_of_array(PyArrayObject* array) {
  const std::optional<Num> type = num_of_type(PyArray_TYPE(array));
  if (!type) return std::nullopt;
  const void* data = PyArray_DATA(array);
  switch (*type) {
    case Num::Bool: return integer_scalar(Num::Bool, false, element<npy_bool>(data) != 0);
    case Num::U8: return integer_element<std::uint8_t>(*type, data);
    case Num::I8: return integer_element<std::int8_t>(*type, data);
    case Num::U16: return integer_element<std::uint16_t>(*type, data);
    case Num::I16: return integer_element<std::int16_t>(*type, data);
    case Num::U32: return integer_element<std::uint32_t>(*type, data);
    case Num::I32: return integer_element<std::int32_t>(*type, data);
    case Num::U64: return integer_element<std::uint64_t>(*type, data);
    case Num::I64: return integer_element<std::int64_t>(*type, data);
    case Num::F16: return real_scalar(*type, static_cast<float>(element<kernels::half>(data)));
    case Num::F32: return real_scalar(*type, element<float>(data));
    case Num::F64: return real_scalar(*type, element<double>(data));
    case Num::F80: return real_scalar(*type, element<long double>(data));
  }
  return std::nullopt;
}

std::optional<Scalar> read_numpy_scalar(PyObject* value, const Where& where) {
  constexpr int kNativeLayout = NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED;
  Ref array = checked(PyArray_FromAny(value, nullptr, 0, 0, kNativeLayout, nullptr), where);
  return scalar_of_array(reinterpret_cast<PyArrayObject*>(array.get()));
}

// A Python int: int64 when it fits, uint64 when only that fits (as NumPy
// converts it), nothing beyond (NumPy makes an object array of it).
std::optional<Scalar> python_int(PyObject* value, const Where& where) {
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) throw PyError{where};
  if (overflow == 0) {
    return integer_scalar(Num::I64, signed_value < 0, static_cast<std::uint64_t>(signed_value));
  }
  if (overflow < 0) return std::nullopt;
  const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
  if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{where};
    PyErr_Clear();
    return std::nullopt;
  }
  return integer_scalar(Num::U64, false, unsigned_value);
}

Num min_integer_type(const Scalar& value) {
  if (!value.negative) {
    if (value.bits < (1ULL << 8)) return Num::U8;
    if (value.bits < (1ULL << 16)) return Num::U16;
    if (value.bits < (1ULL << 32)) return Num::U32;
    return Num::U64;
  }
  const auto signed_value = static_cast<std::int64_t>(value.bits);
  if (signed_value >= INT8_MIN) return Num::I8;
  if (signed_value >= INT16_MIN) return Num::I16;
  if (signed_value >= INT32_MIN) return Num::I32;
  return Num::I64;
}

bool within(long double value, long double range) { return value > -range && value < range; }

Num min_real_type(const Scalar& value) {
  const long double v = value.real;
  if (value.own_type == Num::F16) return Num::F16;
  if (within(v, kHalfRange) || !std::isfinite(v)) return Num::F16;
  if (value.own_type == Num::F32) return Num::F32;
  if (within(v, kFloatRange)) return Num::F32;
  if (value.own_type == Num::F64) return Num::F64;
  return within(v, kDoubleRange) ? Num::F64 : Num::F80;
}

Ref probe_array(Num type, const Where& where) {
  npy_intp one = 1;
  return checked(PyArray_ZEROS(1, &one, numpy_type(type), 0), where);
}

}  // namespace

std::optional<Scalar> read_scalar(PyObject* value, Where where) {
  if (PyArray_IsScalar(value, Generic) || (PyArray_Check(value) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) == 0)) {
    return read_numpy_scalar(value, where);
  }
  if (PyBool_Check(value)) return integer_scalar(Num::Bool, false, value == Py_True);
  if (PyLong_Check(value)) return python_int(value, where);
  if (PyFloat_Check(value)) return real_scalar(Num::F64, PyFloat_AS_DOUBLE(value));
  return std::nullopt;
}

Num min_scalar_type(const Scalar& value) {
  switch (value.kind) {
    case Scalar::Kind::Bool: return Num::Bool;
    case Scalar::Kind::Integer: return min_integer_type(value);
    case Scalar::Kind::Real: return min_real_type(value);
  }
  return value.own_type;
}

Num result_type(Num array_type, const Scalar& value) {
  const bool by_value = kind_rank(value.kind) <= kind_rank(array_type);
  return promote_types(array_type, by_value ? min_scalar_type(value) : value.own_type);
}

void raise_unsupported(PyObject* value, Where where) {
  PyErr_Format(PyExc_TypeError, "unsupported value %R: its arithmetic with the image has no native kernel", value);
  throw PyError{where};
}

Operand operand(const Ref& value, Num array_type, Operation op, bool value_first, Where where) {
  if (std::optional<Scalar> scalar = read_scalar(value.get(), where)) {
    return Operand{*scalar, result_type(array_type, *scalar)};
  }
  // Let NumPy report a value it rejects, with its own exception.
  Ref probe = probe_array(array_type, where);
  const auto apply = op == Operation::Add ? PyNumber_Add : PyNumber_Multiply;
  checked(value_first ? apply(value.get(), probe.get()) : apply(probe.get(), value.get()), where);
  raise_unsupported(value.get(), where);
}

}  // namespace pictor
