// pictor._full_depth: the operations of the 8-bit working copy computed at the
// image's own depth, for pictor's checked functions (`depth="full"`). The
// tool classes are unchanged. Each function takes a uint16 image and the
// method's keywords, positionally in the method's order, already checked and
// with their defaults filled in; each family of methods has its own source.
#pragma once
#include <Python.h>

#include "frame/ndarray.h"
#include "kernels/canny.h"
#include "kernels/histogram16.h"

namespace pictor::full_depth {

// Each family's functions, ending with a zeroed entry.
extern PyMethodDef smoothing_functions[];   // blurs, denoising, Canny edges
extern PyMethodDef levels_functions[];      // equalisation, stretch, thresholds
extern PyMethodDef tone_functions[];        // sharpening, tone, super-resolution

// canny_edge's thresholds as the detector applies them to the L1 magnitude
// of range levels (kernels::LevelRange) spanning `span`: given on 0..255,
// scaled by span / 255 (257 for a range of 65,535 levels), ordered, floored,
// and clamped beyond the largest magnitude (where they act like it).
kernels::CannyThresholds canny_level_thresholds(PyObject* low_thr, PyObject* high_thr, long span);

// A uint16 image on its own range: the range of all its samples, and the
// image of its range levels (the image itself where they are its levels).
struct RangeImage {
  kernels::LevelRange range;
  Array levels;
};
RangeImage on_own_range(const Array& image);

// Creates the module and enters it in sys.modules as "pictor._full_depth".
void register_module();

}  // namespace pictor::full_depth
