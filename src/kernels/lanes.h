// Sixteen 16-bit lanes, the vector type of the window filters whose
// arithmetic stays in 16 bits (GCC vector extensions: SSE2 in the default
// build, one AVX2 register in the AVX2 clone, and the same code on any CPU).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/depth.h"

namespace pictor::kernels::lanes {

constexpr std::ptrdiff_t kLanes = 16;
using Lanes = std::uint16_t __attribute__((vector_size(kLanes * sizeof(std::uint16_t))));

// Lanes at any 16-bit sample, without copying them through a function's
// vector argument (whose passing differs between the AVX2 and default builds).
using UnalignedLanes = std::uint16_t __attribute__((vector_size(sizeof(Lanes)), aligned(2), may_alias));

inline const UnalignedLanes& lanes_at(const std::uint16_t* sample) {
  return *reinterpret_cast<const UnalignedLanes*>(sample);
}

inline UnalignedLanes& lanes_at(std::uint16_t* sample) { return *reinterpret_cast<UnalignedLanes*>(sample); }

// The length of a row of `size` samples rounded up to whole blocks of lanes.
inline std::ptrdiff_t whole_blocks(std::ptrdiff_t size) { return (size + kLanes - 1) / kLanes * kLanes; }

// The length of one row's slot in a ring of rows of `size` samples: whole
// blocks and an odd number of 64-byte cache lines, so that the rows of a
// ring (read together, block by block) fall in different cache sets, as
// rows a multiple of 4 KiB apart would not.
inline std::ptrdiff_t ring_slot_length(std::ptrdiff_t size) {
  constexpr std::ptrdiff_t kLineLanes = 64 / sizeof(std::uint16_t);
  const std::ptrdiff_t lines = (whole_blocks(size) + kLineLanes - 1) / kLineLanes;
  return (lines | 1) * kLineLanes;
}

// The levels of `count` lanes, restored to 16 bits or as 8-bit levels (a
// whole block as one store, the last one of a row as a copy of its lanes).
__attribute__((always_inline)) inline void store_levels(Lanes levels, std::uint16_t* out, std::ptrdiff_t count) {
  const Lanes restored = levels * static_cast<std::uint16_t>(kLevelsPer8BitStep);
  if (count == kLanes) {
    lanes_at(out) = restored;
    return;
  }
  std::memcpy(out, &restored, static_cast<std::size_t>(count) * sizeof(std::uint16_t));
}

__attribute__((always_inline)) inline void store_levels(Lanes levels, std::uint8_t* out, std::ptrdiff_t count) {
  using Bytes = std::uint8_t __attribute__((vector_size(kLanes)));
  using UnalignedBytes = std::uint8_t __attribute__((vector_size(kLanes), aligned(1), may_alias));
  const Bytes bytes = __builtin_convertvector(levels, Bytes);
  if (count == kLanes) {
    *reinterpret_cast<UnalignedBytes*>(out) = bytes;
    return;
  }
  std::memcpy(out, &bytes, static_cast<std::size_t>(count));
}

}  // namespace pictor::kernels::lanes
