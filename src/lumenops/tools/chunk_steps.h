// pictor._chunked: the per-chunk steps of pictor.dask that need a statistic of
// the whole image (not a public API; the tool classes are unchanged).
#pragma once

namespace pictor {

// Creates the module and enters it in sys.modules as "pictor._chunked".
void register_chunked_module();

}  // namespace pictor
