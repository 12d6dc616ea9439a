// pictor._segmentation: automatic thresholds and connected components.
#pragma once

namespace pictor::segmentation {

// Creates the module and enters it in sys.modules as "pictor._segmentation".
void register_module();

}  // namespace pictor::segmentation
