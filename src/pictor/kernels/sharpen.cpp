#include "kernels/sharpen.h"

namespace pictor::kernels {

void map_sample_pairs(const std::uint8_t* first, const std::uint8_t* second, const std::uint16_t* table,
                      std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[first[i] << 8 | second[i]];
}

}  // namespace pictor::kernels
