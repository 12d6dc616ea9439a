// Sharpening, tone effects and super-resolution at 16 bits.
#include "full_depth/families.h"

namespace pictor::full_depth {

PyMethodDef tone_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
