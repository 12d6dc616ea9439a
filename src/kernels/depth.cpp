#include "kernels/depth.h"

#include <cstring>

namespace pictor::kernels {

void to_working_u8(const std::uint8_t* src, std::uint8_t* out, std::ptrdiff_t size, double max_value) {
  if (max_value != kFullScale8) return to_working_u8<std::uint8_t>(src, out, size, max_value);
  // x / 255. * 255. is x again for every 8-bit x.
  if (size > 0) std::memcpy(out, src, static_cast<std::size_t>(size));
}

void to_working_u8(const std::uint16_t* src, std::uint8_t* out, std::ptrdiff_t size, double max_value) {
  if (max_value != kFullScale16) return to_working_u8<std::uint16_t>(src, out, size, max_value);
  // trunc(x / 65535. * 255.) equals x / 257 in integers for every 16-bit x.
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(src[i] / kLevelsPer8BitStep);
}

void restore_u16(const std::uint8_t* result, std::uint16_t* out, std::ptrdiff_t size) {
  // trunc(w / 255 * 65535.) equals 257 * w for every 8-bit w.
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = static_cast<std::uint16_t>(result[i] * kLevelsPer8BitStep);
}

}  // namespace pictor::kernels
