// GeometricTransformation: rotation, flipping, resizing, cropping, crop-and-return.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "tool/keywords.h"
#include "tool/python.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace {

// The rectangle of crop and crop_return, as given (Python values).
struct Rectangle {
  Ref start_x, start_y, width, height;
};

// [start_y:start_y + height, start_x:start_x + width]: the first two axes.
Ref rectangle_index(const Rectangle& rectangle, Where where = Where::current()) {
  Ref end_y = py_add(rectangle.start_y, rectangle.height, where);
  Ref end_x = py_add(rectangle.start_x, rectangle.width, where);
  Ref rows = checked(PySlice_New(rectangle.start_y.get(), end_y.get(), nullptr), where);
  Ref columns = checked(PySlice_New(rectangle.start_x.get(), end_x.get(), nullptr), where);
  return tuple(rows, columns);
}

// ---- rotation ----

// The 2 x 3 affine matrix as a float64 array the method may change.
Array affine_matrix(const Ref& matrix, Where where = Where::current()) {
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  Array result{checked(PyArray_FromAny(matrix.get(), float64, 0, 0, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST, nullptr),
                       where)};
  if (result.ndim() != 2 || result.shape()[0] < 2 || result.shape()[1] < 3) {
    raise(PyExc_IndexError, "the rotation matrix is not 2 x 3", where);
  }
  return result;
}

Ref rotate(const Args& args) {
  Ref src = args.get("src");
  Ref angle = args.get("angle");
  Ref scale = args.get("scale");
  Ref shape = attr(src, "shape");
  Ref height = item(shape.get(), 0);
  Ref width = item(shape.get(), 1);
  Ref two = to_py(2);
  Ref center_x = py_floor_divide(width, two);
  Ref center_y = py_floor_divide(height, two);
  Array matrix = affine_matrix(cv2("getRotationMatrix2D", tuple(center_x, center_y), angle, scale));
  double* m = matrix.data<double>();
  const npy_intp row = matrix.shape()[1];
  // |cos| and |sin| of the angle, both including the scale factor.
  const double cos_term = std::fabs(m[0]);
  const double sin_term = std::fabs(m[1]);
  // The bounding box of the turned image, truncated toward zero as int() does.
  const double rows = as_double(height), columns = as_double(width);
  Ref new_width = checked(PyLong_FromDouble(rows * sin_term + columns * cos_term));
  Ref new_height = checked(PyLong_FromDouble(rows * cos_term + columns * sin_term));
  // Move the centre to the middle of the new canvas, possibly onto a half pixel.
  m[2] += as_double(new_width) / 2 - as_double(center_x);
  m[row + 2] += as_double(new_height) / 2 - as_double(center_y);
  return cv2("warpAffine", src, matrix.object, tuple(new_width, new_height),
             Kw{"flags", global_attr("cv2", "INTER_LINEAR")});
}

Ref flip(const Args& args) {
  Ref src = args.get("src");
  Ref mode = args.get("mode");
  return cv2("flip", src, mode);
}

// ---- resizing and cropping ----

Ref resize(const Args& args) {
  Ref src = args.get("src");
  Ref scale = args.get("scale");
  return cv2("resize", src, shrunk_size(src, scale), Kw{"interpolation", global_attr("cv2", "INTER_LINEAR")});
}

// A Python int (not a bool) from 0 to 2^62, or -1 for any other value.
long long plain_count(PyObject* value) {
  if (!PyLong_CheckExact(value)) return -1;
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
  return overflow != 0 || count < 0 || count > (1LL << 62) ? -1 : count;
}

// The view that basic slicing makes of an ndarray of two or more axes, for a
// rectangle of plain non-negative ints: built here, without the slice objects
// and index parsing that dominate so small a call. Empty for anything else,
// which takes Python's slicing and its errors.
Ref rectangle_view(const Ref& src, const Rectangle& rectangle) {
  if (!PyArray_CheckExact(src.get())) return Ref();
  PyArrayObject* image = as_array(src.get());
  const int ndim = PyArray_NDIM(image);
  if (ndim < 2) return Ref();
  const long long starts[2] = {plain_count(rectangle.start_y.get()), plain_count(rectangle.start_x.get())};
  const long long sizes[2] = {plain_count(rectangle.height.get()), plain_count(rectangle.width.get())};
  if (std::min({starts[0], starts[1], sizes[0], sizes[1]}) < 0) return Ref();
  npy_intp shape[NPY_MAXDIMS];
  std::copy(PyArray_DIMS(image), PyArray_DIMS(image) + ndim, shape);
  char* data = PyArray_BYTES(image);
  for (int axis = 0; axis < 2; ++axis) {
    const long long first = std::min<long long>(starts[axis], shape[axis]);
    const long long last = std::min<long long>(starts[axis] + sizes[axis], shape[axis]);
    if (last > first) data += first * PyArray_STRIDES(image)[axis];  // an empty slice starts at 0
    shape[axis] = static_cast<npy_intp>(last - first);
  }
  PyArray_Descr* descr = PyArray_DESCR(image);
  Py_INCREF(descr);  // the new array takes this reference
  const int flags = PyArray_FLAGS(image) & ~(NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEBACKIFCOPY);
  Ref view = checked(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, shape, PyArray_STRIDES(image), data, flags,
                                          nullptr));
  checked_status(PyArray_SetBaseObject(as_array(view.get()), Ref(src).release()));  // takes the reference
  return view;
}

// A view of src: basic slicing shares its memory.
Ref crop(const Args& args) {
  Ref src = args.get("src");
  Rectangle rectangle{args.get("start_x"), args.get("start_y"), args.get("width"), args.get("height")};
  if (Ref view = rectangle_view(src, rectangle)) return view;
  Ref index = rectangle_index(rectangle);
  return checked(PyObject_GetItem(src.get(), index.get()));
}

// ---- crop-and-return over the global/local/merge folders ----

constexpr const char* kInputFolder = "global";
constexpr const char* kPartnerFolder = "local";
constexpr const char* kOutputFolder = "merge";

// os.path.function(arguments...), with os looked up in the module namespace.
template <class... A>
Ref os_path(Name function, A&&... arguments) {
  Ref os = global(Name("os", function.where));
  Ref path = attr(os, Name("path", function.where));
  return call_method(path.get(), function, std::forward<A>(arguments)...);
}

bool is_tif_name(PyObject* file, Where where = Where::current()) {
  Ref lower = call_method(file, Name("lower", where));
  Ref ends = call_method(lower.get(), Name("endswith", where), ".tif");
  return checked_status(PyObject_IsTrue(ends.get()), where);
}

// The folder tree of one role under the working directory. Only the part of
// a path below the working directory is renamed, so a working directory
// whose own name contains "global" keeps every file inside it.
struct FolderTrees {
  Ref working_dir;
  Ref prefix;  // the working directory with its trailing separator

  // path (inside the input tree) with every "global" below the working directory renamed to `role`.
  Ref counterpart(PyObject* path, const char* role, Where where = Where::current()) const {
    const Py_ssize_t start = PyUnicode_GetLength(prefix.get());
    const Py_ssize_t inside = checked_status(PyUnicode_Tailmatch(path, prefix.get(), 0, start, -1), where);
    if (!inside) raise(PyExc_ValueError, "a walked path lies outside the working directory", where);
    Ref below = checked(PyUnicode_Substring(path, start, PyUnicode_GetLength(path)), where);
    Ref old_name = to_py(kInputFolder), new_name = to_py(role);
    Ref renamed = checked(PyUnicode_Replace(below.get(), old_name.get(), new_name.get(), -1), where);
    return os_path(Name("join", where), working_dir, renamed);
  }
};

[[noreturn]] void raise_unreadable(PyObject* path, Where where) {
  Ref exists = os_path(Name("exists", where), path);
  if (!checked_status(PyObject_IsTrue(exists.get()), where)) {
    Ref error = checked(PyObject_CallFunction(PyExc_FileNotFoundError, "isO", ENOENT, std::strerror(ENOENT), path),
                        where);
    PyErr_SetObject(PyExc_FileNotFoundError, error.get());
    throw PyError{where};
  }
  PyErr_Format(PyExc_OSError, "cannot read image %R", path);
  throw PyError{where};
}

Ref read_image(PyObject* path, Where where = Where::current()) {
  Ref image = cv2(Name("imread", where), path, global_attr(Name("cv2", where), "IMREAD_UNCHANGED"));
  if (image.is_none()) raise_unreadable(path, where);
  return image;
}

// Writes into the output tree, creating the folders the input tree has.
void write_image(PyObject* path, const Ref& image, Where where = Where::current()) {
  Ref folder = os_path(Name("dirname", where), path);
  Ref os = global(Name("os", where));
  call_method(os.get(), Name("makedirs", where), folder, Kw{"exist_ok", to_py(true)});
  Ref written = cv2(Name("imwrite", where), path, image);
  if (!checked_status(PyObject_IsTrue(written.get()), where)) {
    PyErr_Format(PyExc_OSError, "cannot write image %R", path);
    throw PyError{where};
  }
}

// One input: its partner pasted over the rectangle, written to the output tree.
void merge_one(const FolderTrees& trees, PyObject* input_path, const Rectangle& rectangle) {
  Ref merged = read_image(input_path);
  Ref partner_path = trees.counterpart(input_path, kPartnerFolder);
  Ref partner = read_image(partner_path.get());
  Ref index = rectangle_index(rectangle);
  checked_status(PyObject_SetItem(merged.get(), index.get(), partner.get()));
  Ref output_path = trees.counterpart(input_path, kOutputFolder);
  write_image(output_path.get(), merged);
}

Ref crop_return(const Args& args) {
  Ref src = args.get("src");
  Rectangle rectangle{args.get("start_x"), args.get("start_y"), args.get("width"), args.get("height")};
  Ref os = global("os");
  FolderTrees trees;
  trees.working_dir = call_method(os.get(), "getcwd");
  trees.prefix = os_path("join", trees.working_dir, "");
  Ref images_dir = os_path("join", trees.working_dir, kInputFolder);
  Ref walk = call_method(os.get(), "walk", images_dir);
  Ref folders = checked(PyObject_GetIter(walk.get()));
  while (Ref folder = Ref::steal(PyIter_Next(folders.get()))) {
    auto [root, dirs, files] = unpack<3>(folder.get());
    Ref file_names = checked(PyObject_GetIter(files.get()));
    while (Ref file = Ref::steal(PyIter_Next(file_names.get()))) {
      if (!is_tif_name(file.get())) continue;
      Ref input_path = os_path("join", root, file);
      merge_one(trees, input_path.get(), rectangle);
    }
    if (PyErr_Occurred()) rethrow();
  }
  if (PyErr_Occurred()) rethrow();
  return src;
}

}  // namespace

const ClassSpec& geometric_transformation_class() {
  static const ClassSpec spec{
      "GeometricTransformation",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("rotate", rotate, {{"src", nullptr}, {"angle", 90}, {"scale", 1.0}}),
          keywords("flip", flip, {{"src", nullptr}, {"mode", 1}}),
          keywords("resize", resize, {{"src", nullptr}, {"scale", 3}}),
          keywords("crop", crop,
                   {{"src", nullptr}, {"start_x", 0}, {"start_y", 0}, {"width", 1}, {"height", 1}}),
          keywords("crop_return", crop_return,
                   {{"src", nullptr}, {"start_x", 0}, {"start_y", 0}, {"width", 1}, {"height", 1}}),
      }};
  return spec;
}

}  // namespace pictor
