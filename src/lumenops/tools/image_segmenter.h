// ImageSegmenter's threshold searches from level counts, for chunked
// execution: the counts of every chunk add up to the image's, and the level
// found from them is the one the whole-image call finds.
#pragma once
#include "frame/ref.h"

#include "kernels/histogram.h"

namespace pictor::segmenter {

// local_histogram_threshold_segmentation's threshold level (best_index +
// low_thr) from the working-level counts of channel 0 and an integer low_thr
// in [-65536, 251); `self` is the ImageSegmenter whose tool the walk asks.
long long local_histogram_level(PyObject* self, const kernels::LevelCounts& channel_counts, long long low);

// maximum_entropy_threshold_segmentation's threshold level from the
// working-level counts of a non-empty image.
int maximum_entropy_level(PyObject* self, const kernels::LevelCounts& counts);

}  // namespace pictor::segmenter
