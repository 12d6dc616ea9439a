// DeepLearning: ONNX super-resolution and training-data preparation.
#include <utility>

#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "kernels/depth.h"
#include "kernels/tensor.h"
#include "tool/depth.h"
#include "tool/python.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace {

// Resolved against the working directory at the first construction.
constexpr const char* kModelPath = "deeplearning/models/universal.onnx";
// The copy installed with the package, relative to the module's folder.
constexpr const char* kInstalledModel = "models/universal.onnx";
constexpr const char* kModelProvider = "CUDAExecutionProvider";
constexpr long kModelSide = 512;
constexpr int kPictureAxes = 3;  // rows x columns x channels
constexpr int kTensorAxes = 4;   // batch x channels x rows x columns

Ref interpolation_cubic(Where where = Where::current()) {
  return global_attr(Name("cv2", where), "INTER_CUBIC");
}

// self.session.<getter>()[0].name
Ref first_tensor_name(PyObject* self, const char* getter, Where where = Where::current()) {
  Ref session = attr(self, Name("session", where));
  Ref tensors = call_method(session.get(), Name(getter, where));
  Ref first = item(tensors.get(), 0, where);
  return attr(first, Name("name", where));
}

bool is_file(PyObject* path_module, const Ref& path, Where where) {
  Ref found = call_method(path_module, Name("isfile", where), path);
  return checked_status(PyObject_IsTrue(found.get()), where) == 1;
}

// A model in the working directory wins; without one, the copy installed
// beside the module, so that installed packages work from any folder. With
// neither, the relative path goes to ONNX Runtime, which reports it missing.
Ref model_path(Where where = Where::current()) {
  Ref path_module = global_attr(Name("os", where), "path");
  Ref relative = to_py(kModelPath);
  if (is_file(path_module.get(), relative, where)) return relative;
  Ref folder = call_method(path_module.get(), Name("dirname", where), global(Name("__file__", where)));
  Ref installed = call_method(path_module.get(), Name("join", where), folder, kInstalledModel);
  return is_file(path_module.get(), installed, where) ? installed : relative;
}

Ref open_session(Where where = Where::current()) {
  Ref path = model_path(where);
  Ref ort = global(Name("ort", where));
  Ref providers = checked(Py_BuildValue("[s]", kModelProvider), where);
  return call_method(ort.get(), Name("InferenceSession", where), path, Kw{"providers", providers});
}

Ref init_session(const Args& args) {
  PyObject* self = args.self();
  init_with_utility_tool(args);
  Ref session = open_session();
  set_attr(self, "session", session.get());
  Ref input_name = first_tensor_name(self, "get_inputs");
  set_attr(self, "input_name", input_name.get());
  Ref output_name = first_tensor_name(self, "get_outputs");
  set_attr(self, "output_name", output_name.get());
  return Ref::none();
}

// The recipe's NumPy steps, for pictures the fused kernel does not take.
Ref model_input_with_numpy(PyObject* picture, Where where) {
  Ref as_float = call_method(picture, Name("astype", where), global_attr(Name("np", where), "float32"));
  Ref divisor = to_py(255.0);
  Ref unit = checked(PyNumber_TrueDivide(as_float.get(), divisor.get()), where);
  Ref planar = np(Name("transpose", where), unit, tuple(2, 0, 1));
  Ref batch_index = checked(Py_BuildValue("(OO)", Py_None, Py_Ellipsis), where);
  return checked(PyObject_GetItem(planar.get(), batch_index.get()), where);
}

// img.astype(np.float32) / 255.0, transposed to channels x rows x columns,
// with a leading batch axis of length 1.
Ref model_input(PyObject* picture, Where where = Where::current()) {
  Array interleaved = contiguous(picture, where);
  if (interleaved.type() != NPY_UBYTE || interleaved.ndim() != kPictureAxes) {
    return model_input_with_numpy(picture, where);
  }
  const npy_intp rows = interleaved.shape()[0], columns = interleaved.shape()[1];
  const npy_intp channels = interleaved.shape()[2];
  const npy_intp tensor_shape[kTensorAxes] = {1, channels, rows, columns};
  Array tensor = new_array(kTensorAxes, tensor_shape, NPY_FLOAT, where);
  without_gil([&] {
    kernels::to_planar_unit_float(interleaved.data<std::uint8_t>(), tensor.data<float>(), rows, columns, channels);
  });
  return tensor.object;
}

// self.session.run([self.output_name], {self.input_name: tensor})[0]
Ref run_first_output(PyObject* self, Ref tensor, Where where = Where::current()) {
  Ref session = attr(self, Name("session", where));
  Ref run = attr(session, Name("run", where));
  Ref output_name = attr(self, Name("output_name", where));
  Ref output_names = checked(Py_BuildValue("[O]", output_name.get()), where);
  Ref input_name = attr(self, Name("input_name", where));
  Ref feeds = checked(PyDict_New(), where);
  checked_status(PyDict_SetItem(feeds.get(), input_name.get(), tensor.get()), where);
  Ref outputs = checked(PyObject_CallFunctionObjArgs(run.get(), output_names.get(), feeds.get(), nullptr), where);
  return item(outputs.get(), 0, where);
}

// The recipe's NumPy steps, for outputs the fused kernel does not take
// (other element types, other ranks, a longer batch axis).
Ref picture_levels_with_numpy(PyObject* output_tensor, Where where) {
  Ref unbatched = call_method(output_tensor, Name("squeeze", where), 0);
  Ref clipped = np(Name("clip", where), unbatched, 0, 1);
  Ref interleaved = np(Name("transpose", where), clipped, tuple(1, 2, 0));
  Ref factor = to_py(255.0);
  Ref scaled = checked(PyNumber_Multiply(interleaved.get(), factor.get()), where);
  Ref rounded = call_method(scaled.get(), Name("round", where));
  return call_method(rounded.get(), Name("astype", where), global_attr(Name("np", where), "uint8"));
}

bool is_single_float_batch(PyObject* output_tensor) {
  if (!PyArray_CheckExact(output_tensor)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(output_tensor);
  return PyArray_TYPE(array) == NPY_FLOAT && PyArray_NDIM(array) == kTensorAxes && PyArray_DIM(array, 0) == 1;
}

// The network's output as an 8-bit picture: batch axis dropped, clipped to
// [0, 1], back to rows x columns x channels, * 255.0 rounded half to even.
Ref picture_levels(PyObject* output_tensor, Where where = Where::current()) {
  if (!is_single_float_batch(output_tensor)) return picture_levels_with_numpy(output_tensor, where);
  Array tensor = contiguous(output_tensor, where);
  const npy_intp channels = tensor.shape()[1], rows = tensor.shape()[2], columns = tensor.shape()[3];
  const npy_intp picture_shape[kPictureAxes] = {rows, columns, channels};
  Array picture = new_array(kPictureAxes, picture_shape, NPY_UBYTE, where);
  without_gil([&] {
    kernels::to_interleaved_levels(tensor.data<float>(), picture.data<std::uint8_t>(), channels, rows, columns);
  });
  return picture.object;
}

// image.shape[:2]
Ref leading_two_axes(PyObject* image, Where where = Where::current()) {
  Ref shape = attr(image, Name("shape", where));
  return checked(PySequence_GetSlice(shape.get(), 0, 2), where);
}

// Three equal channels at the network's size (the full-size copy is dropped
// on return).
Ref model_sized_rgb(const Ref& image) {
  Ref rgb = cv2("cvtColor", image, global_attr("cv2", "COLOR_GRAY2RGB"));
  return cv2("resize", rgb, tuple(kModelSide, kModelSide), Kw{"interpolation", interpolation_cubic()});
}

// The network's picture back at the input's size, in grey.
Ref input_sized_grey(const Ref& output_img, const Ref& width, const Ref& height) {
  Ref resized = cv2("resize", output_img, tuple(width, height), Kw{"interpolation", interpolation_cubic()});
  return cv2("cvtColor", resized, global_attr("cv2", "COLOR_RGB2GRAY"));
}

// Grey image -> three equal channels at 512 x 512 -> network -> 8-bit picture
// at the input's size -> grey -> 16 bits. Each intermediate is released as
// soon as the next one exists.
Ref super_resolution(const Args& args) {
  Ref src = args.get("src");
  const double max_value = depth::full_scale(src.get());
  Ref image = depth::working_u8(src.get(), max_value);
  auto [height, width] = unpack<2>(leading_two_axes(image.get()).get());
  Ref img_tensor = model_input(model_sized_rgb(std::exchange(image, Ref())).get());
  Ref output_img = picture_levels(run_first_output(args.self(), std::exchange(img_tensor, Ref())).get());
  Ref output = input_sized_grey(std::exchange(output_img, Ref()), width, height);
  return depth::restore_u16(output.get());
}

// A new 8-bit array is already its own 8-bit copy: x / 255. * 255. is x for
// every 8-bit x.
bool is_own_u8_copy(PyObject* resized, double max_value) {
  return max_value == kernels::kFullScale8 && PyArray_CheckExact(resized) &&
         PyArray_TYPE(reinterpret_cast<PyArrayObject*>(resized)) == NPY_UBYTE;
}

// Shrinks by `scale` at the input's own depth, then takes the 8-bit copy.
Ref make_data(const Args& args) {
  Ref src = args.get("src");
  Ref scale = args.get("scale");
  Ref img_resized = cv2("resize", src, shrunk_size(src, scale), Kw{"interpolation", interpolation_cubic()});
  const double max_value = depth::full_scale(src.get());
  if (is_own_u8_copy(img_resized.get(), max_value)) return img_resized;
  return depth::working_u8(img_resized.get(), max_value);
}

}  // namespace

const ClassSpec& deep_learning_class() {
  static const ClassSpec spec{"DeepLearning",
                              {
                                  positional("_init", init_session, {}),
                                  keywords("super_resolution", super_resolution, {{"src", nullptr}}),
                                  keywords("make_data", make_data, {{"src", nullptr}, {"scale", 1}}),
                              }};
  return spec;
}

}  // namespace pictor
