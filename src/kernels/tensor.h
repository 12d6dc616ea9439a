// Conversions between interleaved 8-bit pictures (rows x columns x channels)
// and planar float tensors (channels x rows x columns), as a network takes and
// returns them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pictor::kernels {

// img.astype(np.float32) / 255.0, then np.transpose(img, (2, 0, 1)).
void to_planar_unit_float(const std::uint8_t* interleaved, float* planar, std::ptrdiff_t rows,
                          std::ptrdiff_t columns, std::ptrdiff_t channels);

// np.transpose(np.clip(tensor, 0, 1), (1, 2, 0)) * 255.0, .round(), .astype(np.uint8).
void to_interleaved_levels(const float* planar, std::uint8_t* interleaved, std::ptrdiff_t channels,
                           std::ptrdiff_t rows, std::ptrdiff_t columns);

}  // namespace pictor::kernels
