#include "features/correspondence.h"

#include <cstdio>

namespace quorl {

void UpdateCorrespMap(CorrespMap& corspMap, int32_t frameX, int32_t frameY, int32_t modelX, int32_t modelY) {
  if (corspMap.size() >= kCorrespMapCapacity) {
    std::printf("UpdateCorrespMap called on a full corspMap\n");
    std::printf("Next positions of correspondences will be overwritten\n");
    std::printf("in the current correspondence \n");
  }
  corspMap.push_back(Correspondence{modelX, modelY, frameX, frameY});
}

}  // namespace quorl
