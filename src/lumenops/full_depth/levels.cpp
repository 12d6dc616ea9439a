// Equalisation, stretching and threshold searches over 65,536 levels.
#include "full_depth/families.h"

namespace pictor::full_depth {

PyMethodDef levels_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
