#include "tests/features/brute_force.h"

#include <cmath>

namespace quorl::scene {

NearestPair BruteForceTwoNearest(const KeypointDescriptor& query, const std::vector<KeypointDescriptor>& model) {
  NearestPair pair{{-1, -1}, {INFINITY, INFINITY}};
  for (std::size_t p = 0; p < model.size(); ++p) {
    double d = 0.0;
    for (int i = 0; i < kDescriptorSize; ++i) d += (query[i] - model[p][i]) * (query[i] - model[p][i]);
    if (d < pair.distance[0]) {
      pair.index[1] = pair.index[0];
      pair.distance[1] = pair.distance[0];
      pair.index[0] = static_cast<int32_t>(p);
      pair.distance[0] = d;
    } else if (d < pair.distance[1]) {
      pair.index[1] = static_cast<int32_t>(p);
      pair.distance[1] = d;
    }
  }
  return pair;
}

}  // namespace quorl::scene
