// pictor._chunked: per-chunk steps for chunked execution, given a statistic
// that the caller computed over the whole image. Each reuses the kernel of the
// whole-image method, so a chunk's samples equal those of the whole call.
#include "chunked.h"

#include <cstdint>

#include "frame/depth.h"
#include "frame/ndarray.h"
#include "kernels/stretch.h"

namespace pictor {
namespace {

// auto_level_apply(src, low_level, high_level): ImageEnhancer.auto_level's
// stretch of an 8- or 16-bit chunk, where low_level and high_level are the
// samples at the two sorted positions of the whole image.
Ref auto_level_apply(PyObject* src, PyObject* low_level, PyObject* high_level) {
  const double max_value = depth::full_scale(src);
  Array image = contiguous(src);
  const long low = PyLong_AsLong(low_level);
  const long high = PyLong_AsLong(high_level);
  if (PyErr_Occurred()) rethrow();
  Array result = new_array_like(image, NPY_USHORT);
  const float divisor = static_cast<float>(max_value);
  auto stretch_samples = [&](auto zero) {
    using T = decltype(zero);
    const float low_unit = kernels::unit_float32(static_cast<T>(low), divisor);
    const float high_unit = kernels::unit_float32(static_cast<T>(high), divisor);
    without_gil([&] {
      kernels::with_float_type(kernels::keeps_float32(1.0 - static_cast<double>(low_unit)), [&](auto float_zero) {
        const kernels::LevelStretch<decltype(float_zero)> stretch(low_unit, high_unit);
        kernels::map_by_level(image.data<T>(), result.data<std::uint16_t>(), image.size(),
                              [&stretch, divisor](T level) { return stretch(kernels::unit_float32(level, divisor)); });
      });
    });
  };
  switch (image.type()) {
    case NPY_UBYTE: stretch_samples(std::uint8_t{}); break;
    case NPY_USHORT: stretch_samples(std::uint16_t{}); break;
    default: raise(PyExc_TypeError, "auto_level_apply takes uint8 or uint16 samples");
  }
  return result.object;
}

PyObject* auto_level_apply_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
  try {
    if (count != 3) raise(PyExc_TypeError, "auto_level_apply(src, low_level, high_level)");
    return auto_level_apply(args[0], args[1], args[2]).release();
  } catch (const PyError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef chunked_functions[] = {
    {"auto_level_apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(auto_level_apply_entry)),
     METH_FASTCALL, "auto_level's stretch of one chunk, given the whole image's two order statistics."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef chunked_definition = {
    PyModuleDef_HEAD_INIT, "pictor._chunked", "Per-chunk steps of pictor.dask (internal).", -1,
    chunked_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void register_chunked_module() {
  Ref module = checked(PyModule_Create(&chunked_definition));
  checked_status(PyDict_SetItemString(PyImport_GetModuleDict(), "pictor._chunked", module.get()));
}

}  // namespace pictor
