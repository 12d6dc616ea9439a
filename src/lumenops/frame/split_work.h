// Kernels run over one call's rows on the threads the caller allows.
//
// The thread count of a call is cv2.getNumThreads() (cv2 as the module
// namespace has it at call time), the one setting users already turn for the
// OpenCV steps of the same recipe; cv2.setNumThreads(1) makes every call run on
// the caller's thread. Small images never ask.
#pragma once
#include <cstddef>
#include <utility>

#include "frame/ndarray.h"
#include "kernels/parallel.h"

namespace pictor {

// cv2.getNumThreads() for a call over `samples` samples; 1 when the work is too
// small to split, or when the module's cv2 has no usable getNumThreads.
int call_threads(std::ptrdiff_t samples);

// kernel(begin, end, part) over samples [0, size), with the GIL released, split
// at multiples of kernels::kSplitAlignment over the call's threads.
template <class F>
void split_samples_without_gil(std::ptrdiff_t size, F&& kernel) {
  const int threads = call_threads(size);
  without_gil([&] { kernels::split_samples(size, threads, std::forward<F>(kernel)); });
}

// kernel(begin, end, part) over rows [0, rows) of `row_samples` samples each,
// with the GIL released, split over the call's threads.
template <class F>
void split_rows_without_gil(std::ptrdiff_t rows, std::ptrdiff_t row_samples, F&& kernel) {
  const int threads = call_threads(rows * row_samples);
  without_gil([&] { kernels::split_rows(rows, row_samples, threads, std::forward<F>(kernel)); });
}

}  // namespace pictor
