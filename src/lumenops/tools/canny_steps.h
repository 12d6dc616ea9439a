// The steps of Canny on row stripes in pictor._chunked: the cells of a
// window, a stripe's summary for the seams, and its edges seeded at its ends.
#pragma once
#include "frame/ref.h"

namespace pictor::canny_steps {

extern const char kCellsDoc[];
extern const char kStripeSummaryDoc[];
extern const char kStripeEdgesDoc[];

Ref canny_cells(PyObject* window, PyObject* low_thr, PyObject* high_thr, PyObject* full_depth);
Ref canny_stripe_summary(PyObject* cells_array);
Ref canny_stripe_edges(PyObject* cells_array, PyObject* top_seeds_array, PyObject* bottom_seeds_array);

}  // namespace pictor::canny_steps
