// pictor._volumes: the N-D Gaussian, uniform and median filters behind
// pictor.gaussian_filter, pictor.uniform_filter and pictor.median_filter
// (src/pictor/volumes.py checks what people pass and prepares these
// arguments; src/pictor/_volumes.pyi declares the functions).
//
// Each function takes a C-contiguous uint8, uint16 or float32 array `src`
// and writes its result into `dst`, a writeable C-contiguous array of the
// same shape and type, which it returns.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/split_work.h"
#include "kernels/volume_filters.h"
#include "volume_filters.h"

namespace pictor {
namespace {

using kernels::AxisLayout;
using kernels::Extension;

constexpr int kMedianAxes = 3;

Extension extension_of(PyObject* name) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (text == nullptr) raise(PyExc_TypeError, "a mode must be a string");
  const std::string_view mode(text);
  if (mode == "reflect") return Extension::Reflect;
  if (mode == "mirror") return Extension::Mirror;
  if (mode == "nearest") return Extension::Nearest;
  if (mode == "wrap") return Extension::Wrap;
  raise(PyExc_ValueError, "mode must be 'reflect', 'mirror', 'nearest' or 'wrap'");
}

// The items of a sequence, as new references.
std::vector<Ref> items_of(PyObject* sequence) {
  Ref fast = checked(PySequence_Fast(sequence, "expected a sequence"));
  std::vector<Ref> items;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
    items.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i)));
  }
  return items;
}

std::ptrdiff_t integer_of(const Ref& value) {
  const long long number = PyLong_AsLongLong(value.get());
  if (number == -1 && PyErr_Occurred()) rethrow();
  return static_cast<std::ptrdiff_t>(number);
}

Array filter_input(PyObject* src) {
  Array image = contiguous(src);
  const int type = image.type();
  if (type != NPY_UBYTE && type != NPY_USHORT && type != NPY_FLOAT) {
    raise(PyExc_TypeError, "the volume filters take uint8, uint16 or float32 arrays");
  }
  return image;
}

void require_output_like(PyObject* dst, const Array& like) {
  const bool fits = PyArray_Check(dst) && PyArray_TYPE(as_array(dst)) == like.type() &&
                    PyArray_IS_C_CONTIGUOUS(as_array(dst)) && PyArray_ISWRITEABLE(as_array(dst)) &&
                    PyArray_NDIM(as_array(dst)) == like.ndim() &&
                    std::equal(like.shape(), like.shape() + like.ndim(), PyArray_DIMS(as_array(dst)));
  if (!fits) raise(PyExc_ValueError, "dst must be a writeable C-contiguous array of src's shape and type");
  if (PyArray_DATA(as_array(dst)) == static_cast<void*>(like.data<char>()) && like.size() > 0) {
    raise(PyExc_ValueError, "dst must not be src");
  }
}

AxisLayout layout_of(const Array& image, std::ptrdiff_t axis) {
  if (axis < 0 || axis >= image.ndim()) raise(PyExc_ValueError, "axis out of range");
  AxisLayout layout{1, image.shape()[axis], 1};
  for (std::ptrdiff_t a = 0; a < axis; ++a) layout.outer *= image.shape()[a];
  for (std::ptrdiff_t a = axis + 1; a < image.ndim(); ++a) layout.inner *= image.shape()[a];
  return layout;
}

template <class F>
void visit_volume_type(int type, F&& visit) {
  if (type == NPY_UBYTE) {
    visit(std::uint8_t{});
  } else if (type == NPY_USHORT) {
    visit(std::uint16_t{});
  } else {
    visit(float{});
  }
}

// One pass of a separable filter: the axis, its weights or size, its mode.
struct AxisPass {
  AxisLayout layout;
  Ref parameter;
  Extension mode;
};

// The passes one after the other: the first from src into dst, each later
// one over dst in place. A pass along the last axis reads each line into a
// buffer of its own first; a pass along another axis reads a copy of each run
// of the axis (a plane of a volume, for Y), so that no temporary of the
// whole array is made (its fresh pages alone cost as much as a pass).
template <class Pass>
Ref run_passes(const Array& image, PyObject* dst, const std::vector<AxisPass>& passes, Pass&& pass) {
  require_output_like(dst, image);
  const int threads = call_threads(image.size());
  char* out = static_cast<char*>(PyArray_DATA(as_array(dst)));
  const std::size_t bytes = static_cast<std::size_t>(image.size()) * PyArray_ITEMSIZE(image.array());
  without_gil([&] {
    if (passes.empty()) {
      std::memcpy(out, image.data<char>(), bytes);
      return;
    }
    visit_volume_type(image.type(), [&](auto zero) {
      using T = decltype(zero);
      T* result = reinterpret_cast<T*>(out);
      pass(zero, image.data<T>(), result, passes[0], passes[0].layout, threads);
      std::vector<T> run_copy;
      for (std::size_t i = 1; i < passes.size(); ++i) {
        const AxisLayout& layout = passes[i].layout;
        if (layout.inner == 1) {
          pass(zero, result, result, passes[i], layout, threads);
          continue;
        }
        const std::ptrdiff_t run = layout.length * layout.inner;
        run_copy.resize(static_cast<std::size_t>(run));
        for (std::ptrdiff_t o = 0; o < layout.outer; ++o) {
          T* samples = result + o * run;
          std::copy(samples, samples + run, run_copy.data());
          pass(zero, run_copy.data(), samples, passes[i], AxisLayout{1, layout.length, layout.inner}, threads);
        }
      }
    });
  });
  return Ref::borrow(dst);
}

std::vector<AxisPass> passes_of(const Array& image, PyObject* axes, PyObject* parameters, PyObject* modes) {
  const std::vector<Ref> axis_items = items_of(axes), parameter_items = items_of(parameters),
                         mode_items = items_of(modes);
  if (parameter_items.size() != axis_items.size() || mode_items.size() != axis_items.size()) {
    raise(PyExc_ValueError, "one parameter and one mode for each axis");
  }
  std::vector<AxisPass> passes;
  for (std::size_t i = 0; i < axis_items.size(); ++i) {
    passes.push_back({layout_of(image, integer_of(axis_items[i])), parameter_items[i], extension_of(mode_items[i].get())});
  }
  return passes;
}

// Weights as float64 arrays of odd length, kept alive with the passes.
std::vector<Array> weight_arrays(std::vector<AxisPass>& passes) {
  std::vector<Array> arrays;
  for (AxisPass& pass : passes) {
    arrays.push_back(contiguous_as(pass.parameter.get(), NPY_DOUBLE));
    if (arrays.back().ndim() != 1 || arrays.back().size() % 2 == 0) {
      raise(PyExc_ValueError, "weights must be 1-D of odd length");
    }
  }
  return arrays;
}

Ref gaussian_filter(PyObject* src, PyObject* dst, PyObject* axes, PyObject* weights, PyObject* modes) {
  Array image = filter_input(src);
  std::vector<AxisPass> passes = passes_of(image, axes, weights, modes);
  const std::vector<Array> arrays = weight_arrays(passes);
  return run_passes(image, dst, passes, [&](auto zero, const auto* in, auto* out, const AxisPass& pass,
                                                 AxisLayout layout, int threads) {
    using T = decltype(zero);
    const Array& table = arrays[static_cast<std::size_t>(&pass - passes.data())];
    kernels::correlate_symmetric_axis<T>(in, out, layout, table.data<double>(), table.size() / 2, pass.mode,
                                         threads);
  });
}

Ref uniform_filter(PyObject* src, PyObject* dst, PyObject* axes, PyObject* sizes, PyObject* modes) {
  Array image = filter_input(src);
  const std::vector<AxisPass> passes = passes_of(image, axes, sizes, modes);
  std::vector<std::ptrdiff_t> widths;
  for (const AxisPass& pass : passes) {
    widths.push_back(integer_of(pass.parameter));
    if (widths.back() < 1) raise(PyExc_ValueError, "sizes must be at least 1");
  }
  return run_passes(image, dst, passes, [&](auto zero, const auto* in, auto* out, const AxisPass& pass,
                                                 AxisLayout layout, int threads) {
    using T = decltype(zero);
    const std::ptrdiff_t width = widths[static_cast<std::size_t>(&pass - passes.data())];
    kernels::uniform_axis<T>(in, out, layout, width, pass.mode, threads);
  });
}

Ref median_filter(PyObject* src, PyObject* dst, PyObject* sizes, PyObject* modes) {
  Array image = filter_input(src);
  if (image.ndim() != kMedianAxes + 1) raise(PyExc_ValueError, "median_filter takes (batch, depth, rows, cols)");
  require_output_like(dst, image);
  const std::vector<Ref> size_items = items_of(sizes), mode_items = items_of(modes);
  if (size_items.size() != kMedianAxes || mode_items.size() != kMedianAxes) {
    raise(PyExc_ValueError, "median_filter takes 3 sizes and 3 modes");
  }
  std::ptrdiff_t shape[kMedianAxes], window[kMedianAxes];
  Extension extensions[kMedianAxes];
  for (int a = 0; a < kMedianAxes; ++a) {
    shape[a] = image.shape()[a + 1];
    window[a] = integer_of(size_items[static_cast<std::size_t>(a)]);
    if (window[a] < 1) raise(PyExc_ValueError, "sizes must be at least 1");
    extensions[a] = extension_of(mode_items[static_cast<std::size_t>(a)].get());
  }
  const int threads = call_threads(image.size());
  without_gil([&] {
    visit_volume_type(image.type(), [&](auto zero) {
      using T = decltype(zero);
      kernels::median_volumes<T>(image.data<T>(), static_cast<T*>(PyArray_DATA(as_array(dst))), image.shape()[0],
                                 shape, window, extensions, threads);
    });
  });
  return Ref::borrow(dst);
}

PyMethodDef volume_functions[] = {
    {"gaussian_filter", fastcall_function<5, gaussian_filter>(), METH_FASTCALL,
     "gaussian_filter(src, dst, axes, weights, modes): src correlated along each axis in turn with its "
     "symmetric float64 weights, each pass stored in src's type."},
    {"uniform_filter", fastcall_function<5, uniform_filter>(), METH_FASTCALL,
     "uniform_filter(src, dst, axes, sizes, modes): the running mean of sizes[i] samples along each axis in turn."},
    {"median_filter", fastcall_function<4, median_filter>(), METH_FASTCALL,
     "median_filter(src, dst, sizes, modes): the median of each sizes[0] x sizes[1] x sizes[2] window of every "
     "(depth, rows, cols) volume of a (batch, depth, rows, cols) array."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef volumes_definition = {
    PyModuleDef_HEAD_INIT, "pictor._volumes", "The N-D Gaussian, uniform and median filters (internal).", -1,
    volume_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void register_volumes_module() { register_private_module(volumes_definition); }

}  // namespace pictor
