// FeatureDetection's keyword rules that pictor._chunked applies as well.
#pragma once
#include <optional>

#include "frame/ref.h"
#include "kernels/canny.h"

namespace pictor {

// canny_edge's thresholds as OpenCV applies them to the L1 magnitude: swapped
// when out of order, then floored; nothing for values the native detector
// leaves to OpenCV's own conversion and errors (anything but an exact Python
// int or float, and magnitudes beyond 2^30, NaN, infinities).
std::optional<kernels::CannyThresholds> canny_working_thresholds(const Ref& low_thr, const Ref& high_thr);

}  // namespace pictor
