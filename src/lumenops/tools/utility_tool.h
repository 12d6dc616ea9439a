// The UtilityTool methods other tools reach through their `tool` attribute.
// A tool that finds one of them unreplaced on its `tool` (bound_body_of in
// frame/method.h returns the body below) may do the method's work natively.
#pragma once
#include "frame/method.h"

namespace pictor::utility_tool {

Ref normalize_and_calculate_variance(const Args& args);
Ref get_boundary(const Args& args);
Ref calculate_entropy(const Args& args);

}  // namespace pictor::utility_tool
