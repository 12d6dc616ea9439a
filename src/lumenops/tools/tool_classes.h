// The tool classes, in the order the module builds them.
#pragma once
#include "frame/method.h"

namespace pictor {

const ClassSpec& utility_tool_class();
const ClassSpec& image_enhancer_class();
const ClassSpec& image_fusion_class();
const ClassSpec& image_smoother_class();
const ClassSpec& image_segmenter_class();
const ClassSpec& deep_learning_class();
const ClassSpec& feature_detection_class();
const ClassSpec& geometric_transformation_class();

}  // namespace pictor
