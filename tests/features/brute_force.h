#pragma once
// Plain exact 2-nearest-neighbour search over descriptors: the reference for the index in tests and
// the baseline in the benchmarks.

#include <vector>

#include "features/keypoint_index.h"

namespace quorl::scene {

// Squared distances; a later point replaces an equal nearest one only when strictly closer.
NearestPair BruteForceTwoNearest(const KeypointDescriptor& query, const std::vector<KeypointDescriptor>& model);

}  // namespace quorl::scene
