// Filters of the enhancer computed natively where OpenCV's result is exact
// integer arithmetic, so that any order of computation gives its bytes.
#pragma once
#include "frame/pycall.h"

namespace pictor {

// cv2.filter2D(src, -1, relief kernel) for C-contiguous 8- or 16-bit images
// of one to four channels; an empty Ref for anything else, which OpenCV then
// filters (and refuses) itself.
Ref native_relief(PyObject* src, Where where = Where::current());

// The restored cv2.blur(working copy, (ksize, ksize)) of 8- or 16-bit images
// of one to four channels, in one pass, for a plain odd int ksize within
// kernels::kWidestBox, while the module's cv2 is the OpenCV module itself (a
// rebound cv2 is called as before); an empty Ref for anything else.
Ref native_box_blur(PyObject* src, const Ref& ksize, Where where = Where::current());

// The restored cv2.GaussianBlur(working copy, (ksize, ksize), 0) of the same
// images, in one pass, for a plain odd int ksize in [3,
// kernels::kWidestGaussian], with the fixed-point weights the installed
// OpenCV itself uses; an empty Ref for anything else.
Ref native_gaussian_blur(PyObject* src, const Ref& ksize, Where where = Where::current());

// The restored cv2.medianBlur(working copy, ksize) of the same images, in one
// pass, for the plain int sides kernels::fused_median_takes; an empty Ref for
// anything else.
Ref native_median_blur(PyObject* src, const Ref& ksize, Where where = Where::current());

}  // namespace pictor
