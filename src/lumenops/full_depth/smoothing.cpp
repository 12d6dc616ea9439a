// Blurs, denoising and Canny edges at 16 bits.
#include "frame/module_functions.h"
#include "frame/pycall.h"
#include "full_depth/families.h"
#include "tool/keywords.h"

namespace pictor::full_depth {
namespace {

// OpenCV filters 16-bit images itself: its call is the recipe.
Ref gaussian_blur(PyObject* src, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return cv2("GaussianBlur", src, tuple(side, side), 0);
}

Ref mean_blur(PyObject* src, PyObject* ksize) {
  Ref side = odd_value(Ref::borrow(ksize));
  return cv2("blur", src, tuple(side, side));
}

}  // namespace

PyMethodDef smoothing_functions[] = {
    {"gaussian_blur", fastcall_function<2, gaussian_blur>(), METH_FASTCALL,
     "gaussian_blur(src, ksize): cv2.GaussianBlur at the image's depth."},
    {"mean_blur", fastcall_function<2, mean_blur>(), METH_FASTCALL, "mean_blur(src, ksize): cv2.blur at the image's depth."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
