// ImageEnhancer: what its method families share.
#pragma once

#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "frame/split_work.h"
#include "tool/depth.h"
#include "tool/keywords.h"
#include "tool/python.h"
#include "tool/scalars.h"

namespace pictor::enhancer {

// `value` as a C-contiguous array of an element type with native kernels
// (TypeError for float16, complex, object, ...).
inline Array real_image(PyObject* value, Where where = Where::current()) {
  Array image = contiguous(value, where);
  if (!visit_real_type(image.type(), [](auto) {})) {
    PyErr_Format(PyExc_TypeError, "no native kernel for images of element type %R",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(image.array())));
    throw PyError{where};
  }
  return image;
}

// int(np.floor(size * fraction)) used as an index of the sorted samples,
// with NumPy's IndexError outside [-size, size).
Py_ssize_t sorted_position(Py_ssize_t size, const Ref& fraction, Where where);

// Plain ndarrays only: subclasses keep their own arithmetic.
inline bool is_float_array(PyObject* value) {
  if (!PyArray_CheckExact(value)) return false;
  const int type = PyArray_TYPE(as_array(value));
  return type == NPY_FLOAT || type == NPY_DOUBLE;
}

// cv2.addWeighted(|d/dx|, 0.5, |d/dy|, 0.5, 0): the mean gradient magnitude.
// If given, `spare`, an 8-bit array of the image's layout that the caller no
// longer needs (the image itself may be), takes |d/dx| and then the result.
Ref mean_gradient_magnitude(const Ref& image, const Ref& spare = Ref());

// The methods, by family.
Ref get_overlay(const Args& args);
Ref hard_light(const Args& args);
Ref image_overlay(const Args& args);
Ref multi_scale_adaptive_hard_light_enhancement(const Args& args);
Ref multi_scale_adaptive_image_overlay_enhancement(const Args& args);

Ref brightness_transfer(const Args& args);
Ref histogram_enhancement(const Args& args);
Ref adaptive_histogram_truncation_stretched(const Args& args);
Ref auto_level(const Args& args);
Ref gamma_stretched(const Args& args);
Ref maximum_gray_level(const Args& args);
Ref maximum_grayscale_value(const Args& args);

Ref laplacian_pyramid(const Args& args);
Ref multi_scale_fuse_enhancement(const Args& args);

Ref unsharpen_mask(const Args& args);
Ref laplacian_enhancement(const Args& args);
Ref enhance_details(const Args& args);

Ref shadows_highlight(const Args& args);
Ref glow(const Args& args);
Ref brightness_contrast(const Args& args);
Ref east(const Args& args);

}  // namespace pictor::enhancer
