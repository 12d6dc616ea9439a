// Sharpening, tone effects and super-resolution at 16 bits: OpenCV's own
// 16-bit and float32 filters where the recipe calls them, every point-wise
// chain of steps fused into one native pass.
#include <cstdint>
#include <utility>
#include <vector>

#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/pycall.h"
#include "frame/split_work.h"
#include "full_depth/families.h"
#include "kernels/tables.h"
#include "kernels/tone.h"
#include "kernels/tone16.h"
#include "tool/keywords.h"
#include "tool/python.h"
#include "tool/scalars.h"

namespace pictor::full_depth {
namespace {

constexpr long kLevelsPerWorkingLevel = 257;  // brightness offsets are in 8-bit levels
constexpr long kShadowMaskSigma = 50;
constexpr long kModelSide = 512;
constexpr int kPictureAxes = 3;  // rows x columns x channels
constexpr int kTensorAxes = 4;   // batch x channels x rows x columns

// A uint16 image as rows of interleaved samples.
struct Image {
  Array samples;
  std::ptrdiff_t rows, cols, channels;
  std::ptrdiff_t stride() const { return cols * channels; }
};

Image image_of(PyObject* src, Where where = Where::current()) {
  Array samples = contiguous(src, where);
  if (samples.type() != NPY_USHORT || samples.ndim() < 2 || samples.ndim() > 3) {
    PyErr_SetString(PyExc_TypeError, "expected a uint16 image of 2 or 3 axes");
    throw PyError{where};
  }
  // The windows reflect at the borders, which needs a sample to reflect to.
  if (samples.size() == 0) {
    PyErr_SetString(PyExc_ValueError, "expected an image with at least one pixel");
    throw PyError{where};
  }
  const std::ptrdiff_t channels = samples.ndim() == 3 ? samples.shape()[2] : 1;
  return {samples, samples.shape()[0], samples.shape()[1], channels};
}

// A library result laid out like the image (same shape, uint16).
Array same_image_layout(const Ref& result, const Image& image) { return same_layout(result, image.samples); }

template <class RowsKernel>
Ref by_rows(const Image& image, RowsKernel&& kernel) {
  Array out = new_array_like(image.samples, NPY_USHORT);
  split_rows_without_gil(image.rows, image.stride(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernel(out.data<std::uint16_t>(), begin, end);
  });
  return out.object;
}

double real_value(PyObject* value, Where where = Where::current()) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) throw PyError{where};
  return number;
}

Ref unsharpen_mask(PyObject* src, PyObject* alpha, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  Image image = image_of(src);
  Ref blur = cv2("GaussianBlur", image.samples.object, tuple(side, side), 0);
  Array blurred = same_image_layout(blur, image);
  const Operand weight = operand(Ref::borrow(alpha), Num::F32, Operation::Multiply);
  Array result = new_array_like(image.samples, NPY_USHORT);
  visit_real_num(weight.result, alpha, [&](auto zero) {
    using T = decltype(zero);
    const T factor = weight.value.as<T>();
    split_samples_without_gil(image.samples.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::unsharp_mask_levels(image.samples.data<std::uint16_t>() + begin, blurred.data<std::uint16_t>() + begin,
                                   factor, result.data<std::uint16_t>() + begin, end - begin);
    });
  });
  return result.object;
}

// An integer alpha is a plain number here: the uint16 image times float(alpha)
// is float64, as for a real alpha.
Ref laplacian_enhancement(PyObject* src, PyObject* alpha, PyObject* beta) {
  Image image = image_of(src);
  const double image_factor = real_value(alpha);
  const Operand detail_weight = operand(Ref::borrow(beta), Num::F32, Operation::Multiply);
  Ref result;
  visit_real_num(detail_weight.result, beta, [&](auto zero) {
    using B = decltype(zero);
    const B detail_factor = detail_weight.value.as<B>();
    result = by_rows(image, [&](std::uint16_t* out, std::ptrdiff_t begin, std::ptrdiff_t end) {
      kernels::laplacian_sharpen_rows(image.samples.data<std::uint16_t>(), out, image.rows, image.cols,
                                      image.channels, image_factor, detail_factor, begin, end);
    });
  });
  return result;
}

Ref enhance_details(PyObject* src) {
  Image image = image_of(src);
  Ref blur = cv2("GaussianBlur", image.samples.object, tuple(3, 3), 0);
  Array blurred = same_image_layout(blur, image);
  return by_rows(image, [&](std::uint16_t* out, std::ptrdiff_t begin, std::ptrdiff_t end) {
    kernels::enhance_details_rows(image.samples.data<std::uint16_t>(), blurred.data<std::uint16_t>(), out,
                                  image.rows, image.cols, image.channels, begin, end);
  });
}

// An integer intensity is a plain number here (no 8-bit wrap-around).
Ref glow(PyObject* src, PyObject* radius, PyObject* intensity) {
  Image image = image_of(src);
  const double gain = real_value(intensity);
  Ref edges = by_rows(image, [&](std::uint16_t* out, std::ptrdiff_t begin, std::ptrdiff_t end) {
    kernels::mean_gradient_rows(image.samples.data<std::uint16_t>(), out, image.rows, image.cols, image.channels,
                                begin, end);
  });
  Ref side = py_add(py_multiply(Ref::borrow(radius), to_py(2)), to_py(1));
  Ref blurred = cv2("GaussianBlur", std::exchange(edges, Ref()), tuple(side, side), 0);
  Array halo = same_image_layout(blurred, image);
  // np.clip(halo * intensity, 0, 65535).astype(np.uint16), once per level.
  std::vector<std::uint16_t> scaled(kernels::level_count<std::uint16_t>);
  for (std::size_t level = 0; level < scaled.size(); ++level) {
    scaled[level] = kernels::clip_to_u16(static_cast<double>(level) * gain);
  }
  Array result = new_array_like(image.samples, NPY_USHORT);
  split_samples_without_gil(image.samples.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::add_scaled_halo(image.samples.data<std::uint16_t>() + begin, halo.data<std::uint16_t>() + begin,
                             scaled.data(), result.data<std::uint16_t>() + begin, end - begin);
  });
  return result.object;
}

Ref shadows_highlight(PyObject* src, PyObject* shadow, PyObject* highlight) {
  Image image = image_of(src);
  Array unit = new_array_like(image.samples, NPY_FLOAT);
  const int threads = call_threads(image.samples.size());
  without_gil([&] {
    kernels::map_by_level(
        image.samples.data<std::uint16_t>(), unit.data<float>(), image.samples.size(),
        [](std::uint16_t level) { return kernels::unit_float32(level, static_cast<float>(kernels::kFullScale16)); },
        threads);
  });
  Ref mask_ref = cv2("GaussianBlur", unit.object, tuple(0, 0), Kw{"sigmaX", to_py(kShadowMaskSigma)});
  Array mask = same_layout(mask_ref, unit);
  const Operand shadow_weight = operand(Ref::borrow(shadow), Num::F32, Operation::Multiply, true);
  const Operand highlight_weight = operand(Ref::borrow(highlight), Num::F32, Operation::Multiply, true);
  Array result = new_array_like(image.samples, NPY_USHORT);
  with_real_operands(shadow_weight, shadow, highlight_weight, highlight, [&](auto shadow_factor, auto highlight_factor) {
    split_samples_without_gil(unit.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      kernels::shadows_highlight_u16(unit.data<float>() + begin, mask.data<float>() + begin, shadow_factor,
                                     highlight_factor, result.data<std::uint16_t>() + begin, end - begin);
    });
  });
  return result.object;
}

// np.clip(src.astype(np.float32) * contrast + brightness * 257, 0, 65535)
// .astype(np.uint16), once per level.
Ref brightness_contrast(PyObject* src, PyObject* brightness, PyObject* contrast) {
  Image image = image_of(src);
  Ref offset_value = py_multiply(Ref::borrow(brightness), to_py(kLevelsPerWorkingLevel));
  const Operand gain = operand(Ref::borrow(contrast), Num::F32, Operation::Multiply);
  const Operand offset = operand(offset_value, gain.result, Operation::Add);
  Array result = new_array_like(image.samples, NPY_USHORT);
  with_real_operands(gain, contrast, offset, offset_value.get(), [&](auto factor, auto addend) {
    using C = decltype(factor);
    using B = decltype(addend);
    const int threads = call_threads(image.samples.size());
    without_gil([&] {
      kernels::map_by_level(
          image.samples.data<std::uint16_t>(), result.data<std::uint16_t>(), image.samples.size(),
          [&](std::uint16_t level) {
            const C scaled = kernels::numpy_multiply(static_cast<C>(static_cast<float>(level)), factor);
            return kernels::clip_to_u16(kernels::numpy_add(static_cast<B>(scaled), addend));
          },
          threads);
    });
  });
  return result.object;
}

Ref interpolation_cubic() { return global_attr("cv2", "INTER_CUBIC"); }

// The picture as the network takes it: / 65535.0 in float32, channels first,
// a batch axis of one.
Ref model_input(const Ref& picture) {
  Array interleaved = contiguous(picture.get());
  if (interleaved.type() != NPY_USHORT || interleaved.ndim() != kPictureAxes) {
    PyErr_SetString(PyExc_TypeError, "unexpected layout of a library result");
    throw PyError{Where::current()};
  }
  const npy_intp rows = interleaved.shape()[0], columns = interleaved.shape()[1], channels = interleaved.shape()[2];
  const npy_intp tensor_shape[kTensorAxes] = {1, channels, rows, columns};
  Array tensor = new_array(kTensorAxes, tensor_shape, NPY_FLOAT);
  without_gil([&] {
    kernels::planar_unit_float_of_u16(interleaved.data<std::uint16_t>(), tensor.data<float>(), rows * columns, channels);
  });
  return tensor.object;
}

// The DeepLearning tool's session: tool.session.run([tool.output_name], {tool.input_name: tensor})[0].
Ref run_model(const Ref& tensor) {
  Ref tool = checked(PyObject_CallObject(global("DeepLearning").get(), nullptr));
  Ref run = attr(attr(tool, "session"), "run");
  Ref output_names = checked(Py_BuildValue("[O]", attr(tool, "output_name").get()));
  Ref feeds = checked(PyDict_New());
  checked_status(PyDict_SetItem(feeds.get(), attr(tool, "input_name").get(), tensor.get()));
  Ref outputs = checked(PyObject_CallFunctionObjArgs(run.get(), output_names.get(), feeds.get(), nullptr));
  return item(outputs.get(), 0);
}

// The network's output as a 16-bit picture: batch axis dropped, clipped to
// [0, 1], channels last, * 65535.0 rounded half to even.
Ref picture_levels(const Ref& output_tensor) {
  PyObject* output = output_tensor.get();
  const bool single_float_batch = PyArray_CheckExact(output) && PyArray_TYPE(as_array(output)) == NPY_FLOAT &&
                                  PyArray_NDIM(as_array(output)) == kTensorAxes && PyArray_DIM(as_array(output), 0) == 1;
  if (!single_float_batch) {
    // Other layouts take NumPy's own steps (and its errors).
    Ref clipped = np("clip", call_method(output, "squeeze", 0), 0, 1);
    Ref interleaved = np("transpose", clipped, tuple(1, 2, 0));
    Ref rounded = call_method(py_multiply(interleaved, to_py(65535.0)).get(), "round");
    return astype(rounded, "uint16");
  }
  Array tensor = contiguous(output);
  const npy_intp channels = tensor.shape()[1], rows = tensor.shape()[2], columns = tensor.shape()[3];
  const npy_intp picture_shape[kPictureAxes] = {rows, columns, channels};
  Array picture = new_array(kPictureAxes, picture_shape, NPY_USHORT);
  without_gil([&] {
    kernels::interleaved_u16_levels(tensor.data<float>(), picture.data<std::uint16_t>(), rows * columns, channels);
  });
  return picture.object;
}

// The 8-bit method's steps with the picture kept at 16 bits: the model sees
// levels / 65535 and its output comes back * 65535.
Ref super_resolution(PyObject* src) {
  Ref shape = attr(Ref::borrow(src), "shape");
  auto [height, width] = unpack<2>(checked(PySequence_GetSlice(shape.get(), 0, 2)).get());
  Ref rgb = cv2("cvtColor", Ref::borrow(src), global_attr("cv2", "COLOR_GRAY2RGB"));
  Ref sized = cv2("resize", std::exchange(rgb, Ref()), tuple(kModelSide, kModelSide),
                  Kw{"interpolation", interpolation_cubic()});
  Ref output_img = picture_levels(run_model(model_input(sized)));
  Ref resized = cv2("resize", std::exchange(output_img, Ref()), tuple(width, height),
                    Kw{"interpolation", interpolation_cubic()});
  return cv2("cvtColor", resized, global_attr("cv2", "COLOR_RGB2GRAY"));
}

}  // namespace

PyMethodDef tone_functions[] = {
    {"unsharpen_mask", fastcall_function<3, unsharpen_mask>(), METH_FASTCALL,
     "unsharpen_mask(src, alpha, ksize): unsharp masking on the image's own levels."},
    {"laplacian_enhancement", fastcall_function<3, laplacian_enhancement>(), METH_FASTCALL,
     "laplacian_enhancement(src, alpha, beta): Laplacian sharpening on the image's own levels."},
    {"enhance_details", fastcall_function<1, enhance_details>(), METH_FASTCALL,
     "enhance_details(src): a fifth of the gradient magnitude added at the image's depth."},
    {"shadows_highlight", fastcall_function<3, shadows_highlight>(), METH_FASTCALL,
     "shadows_highlight(src, shadow, highlight): the two gains on the image's own levels."},
    {"glow", fastcall_function<3, glow>(), METH_FASTCALL,
     "glow(src, radius, intensity): the blurred edge halo added at the image's depth."},
    {"brightness_contrast", fastcall_function<3, brightness_contrast>(), METH_FASTCALL,
     "brightness_contrast(src, brightness, contrast): contrast * x + 257 * brightness, saturated to uint16."},
    {"super_resolution", fastcall_function<1, super_resolution>(), METH_FASTCALL,
     "super_resolution(src): the network on the image scaled from 65535, its output back at 16 bits."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
