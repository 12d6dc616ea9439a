// pictor._volumes: the N-D filters of pictor.gaussian_filter, pictor.uniform_filter and pictor.median_filter.
#pragma once

namespace pictor {

// Creates the module and enters it in sys.modules as "pictor._volumes".
void register_volumes_module();

}  // namespace pictor
