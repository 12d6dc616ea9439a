// Filters of the enhancer computed natively where OpenCV's result is exact
// integer arithmetic, so that any order of computation gives its bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "frame/ndarray.h"
#include "frame/pycall.h"
#include "frame/split_work.h"

namespace pictor {

// A plain native-order uint8 or uint16 array of one to four channels and no
// empty axis, whose rows OpenCV indexes with an int, while the module's cv2
// is the OpenCV module itself: an image whose OpenCV filtering the row
// kernels reproduce.
bool is_native_filter_image(PyObject* src, Where where = Where::current());

// An (h, w, 1) array, whose filtering OpenCV gives back as (h, w): the
// recipes' arithmetic then broadcasts the two, which the one-pass filters
// that combine them with the source leave to the recipe.
inline bool is_single_channel_stack(PyObject* src) {
  return PyArray_Check(src) && PyArray_NDIM(as_array(src)) == 3 && PyArray_DIM(as_array(src), 2) == 1;
}

// f(T{}) for T the sample type of a native filter image: uint8 or uint16.
template <class F>
void visit_native_sample(int type, F&& f) {
  if (type == NPY_UBYTE) {
    f(std::uint8_t{});
  } else {
    f(std::uint16_t{});
  }
}

// The layout of a native filter image as the row kernels take it.
struct ImageRows {
  std::ptrdiff_t rows;
  std::ptrdiff_t cols;
  std::ptrdiff_t channels;
};

// A new image of `output_type` and src's shape (a native filter image), its
// rows written by filter_rows(T{}, input, output, layout, begin, end) for T
// the sample type (uint8 or uint16), split over the call's threads.
template <class FilterRows>
Ref filter_image(PyObject* src, int output_type, FilterRows&& filter_rows, Where where = Where::current()) {
  Array input = contiguous(src, where);
  Array output = new_array_like(input, output_type, where);
  const ImageRows layout{input.shape()[0], input.shape()[1], input.ndim() == 3 ? input.shape()[2] : 1};
  visit_native_sample(input.type(), [&](auto zero) {
    split_rows_without_gil(layout.rows, layout.cols * layout.channels,
                           [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
                             filter_rows(zero, input, output, layout, begin, end);
                           });
  });
  return output.object;
}

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

// cv2.GaussianBlur(levels, (ksize, ksize), 0) of a native filter image of
// 8-bit levels, for a plain odd int ksize in [3, kernels::kWidestLevelGaussian];
// an empty Ref for anything else.
Ref native_gaussian_of_levels(PyObject* levels, const Ref& ksize, Where where = Where::current());

// The restored np.clip((w - g) * alpha + w, 0, 255) of the working levels w
// of a native filter image and their cv2.GaussianBlur(w, (ksize, ksize), 0)
// g, in one pass, for a plain odd int ksize in [3, kernels::kWidestGaussian]:
// restored_pairs() gives the result of every pair at index w << 8 | g (it is
// called only for such images, and may raise). An empty Ref for anything else.
Ref native_unsharp_mask(PyObject* src, const Ref& ksize,
                        const std::function<std::vector<std::uint16_t>()>& restored_pairs,
                        Where where = Where::current());

// 65535 where w - coef * cv2.boxFilter(w, cv2.CV_32F, (ksize, ksize)) >= 0 in
// float32, else 0, for the working levels w of a native filter image, in one
// pass, for a plain odd int ksize in [1, kernels::kWidestBox]. coef32() gives
// the float32 coefficient, or nothing where NumPy would not compute in
// float32 (it is called only for such images, and may raise). An empty Ref
// for anything else, and where some sample lies too close to its threshold
// for the window sums alone to decide which mean OpenCV gave it.
Ref native_adaptive_threshold(PyObject* src, const Ref& ksize, const std::function<std::optional<float>()>& coef32,
                              Where where = Where::current());

// The restored cv2.medianBlur(working copy, ksize) of the same images, in one
// pass, for the plain int sides kernels::fused_median_takes; an empty Ref for
// anything else.
Ref native_median_blur(PyObject* src, const Ref& ksize, Where where = Where::current());

// The result of ImageEnhancer.enhance_details (the working copy, its 3 x 3
// Gaussian and Sobel gradients, the weighted sums and the restore) for native
// filter images, in one pass; an empty Ref for anything else.
Ref native_enhance_details(PyObject* src, Where where = Where::current());

// The mean gradient magnitude of the working copy of a native filter image
// (cv2.addWeighted(|Sobel x|, 0.5, |Sobel y|, 0.5, 0), as 8-bit levels), in
// one pass; an empty Ref for anything else.
Ref native_mean_gradient_magnitude(PyObject* src, Where where = Where::current());

// cv2.addWeighted(working copy, 1, halo, 1, 0) restored to 16 bits, for a
// native filter image and an 8-bit halo of its shape, in one pass; an empty
// Ref for other images.
Ref native_add_halo(PyObject* src, const Array& halo, Where where = Where::current());

}  // namespace pictor
