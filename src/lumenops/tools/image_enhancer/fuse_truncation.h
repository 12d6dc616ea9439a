// How multi_scale_fuse_enhancement bounds its two coarsest detail levels
// (mode_truncation 0: by the level's mean, 1: by its maximum). A whole call
// takes them from its own levels. Chunked execution runs the call on a row
// stripe of the image, where the stripe's own levels would give other bounds:
// it first records the stripe's levels (to reduce them over the whole image),
// then calls again with the whole image's bounds given.
#pragma once
#include <array>

#include "frame/ref.h"

namespace pictor::enhancer {

struct FuseTruncation {
  enum class Mode { Own, Record, Given };
  Mode mode = Mode::Own;
  std::array<Ref, 2> recorded;      // Record: levels 3 and 4 after their gains, before truncation
  std::array<double, 2> bounds{};   // Given: the upper bounds of levels 3 and 4
};

// The truncation of multi_scale_fuse_enhancement calls made on this thread
// while the scope lives (a Record call returns None once it has recorded).
class FuseTruncationScope {
 public:
  explicit FuseTruncationScope(FuseTruncation& truncation);
  ~FuseTruncationScope();
  FuseTruncationScope(const FuseTruncationScope&) = delete;
  FuseTruncationScope& operator=(const FuseTruncationScope&) = delete;

 private:
  FuseTruncation* previous_;
};

}  // namespace pictor::enhancer
