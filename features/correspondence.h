#pragma once
// Model-to-frame correspondences: one record per accepted match.

#include <cstdint>
#include <vector>

namespace quorl {

// One match: the model keypoint in registered-frame pixels, then the matched corner of the current frame.
struct Correspondence {
  int32_t modelX;
  int32_t modelY;
  int32_t frameX;
  int32_t frameY;
};
static_assert(sizeof(Correspondence) == 16);

// Ordered, growable list of correspondences. The nominal capacity is a warning threshold only.
using CorrespMap = std::vector<Correspondence>;
inline constexpr std::size_t kCorrespMapCapacity = 1000;

// Appends (modelX, modelY, frameX, frameY); note the argument order frame first, model second.
// At or beyond kCorrespMapCapacity records it first prints a three-line warning on standard output.
void UpdateCorrespMap(CorrespMap& corspMap, int32_t frameX, int32_t frameY, int32_t modelX, int32_t modelY);

}  // namespace quorl
