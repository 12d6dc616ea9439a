#include "kernels/tone.h"

namespace pictor::kernels {

void u8_to_unit_float32(const std::uint8_t* image, float* out, std::ptrdiff_t size) {
  float unit[256];
  for (int value = 0; value < 256; ++value) unit[value] = static_cast<float>(value) / 255.0f;
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = unit[image[i]];
}

void map_samples(const std::uint8_t* src, const std::uint16_t* table, std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[src[i]];
}

void map_samples(const std::uint16_t* src, const std::uint16_t* table, std::uint16_t* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = table[src[i]];
}

}  // namespace pictor::kernels
