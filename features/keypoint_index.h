#pragma once
// Exact 2-nearest-neighbour index over the model descriptors, with the match acceptance rule.

#include <cstdint>
#include <vector>

#include <ANN/ANN.h>

#include "features/descriptor.h"

namespace quorl {

// Ownership: `points` (ANN point array) and `tree` (which refers to `points`) are owned and freed
// together on rebuild, reset and destruction. A non-null `tree` means a model is registered; a model
// of zero points has a tree but no point array.
// `matchIndices` holds, per query of the last search, the accepted model index or -1.
struct KeypointIndex {
  ANNpointArray points = nullptr;
  ANNkd_tree* tree = nullptr;
  std::vector<int32_t> matchIndices;
  int pointCount = 0;

  KeypointIndex() = default;
  KeypointIndex(const KeypointIndex&) = delete;
  KeypointIndex& operator=(const KeypointIndex&) = delete;
  ~KeypointIndex();
};

// Squared-distance acceptance: nearest <= kMatchMaxDistance, and second >= kMatchMinRatio * nearest.
inline constexpr double kMatchMaxDistance = 0.02;
inline constexpr double kMatchMinRatio = 2.0;

// The acceptance rule on the two nearest squared distances: `nearest` if accepted, else -1.
int32_t AcceptMatch(int32_t nearest, double nearestDistance, double secondDistance);

// Replaces any earlier index by one over `descriptors` (point i is descriptor i).
void BuildIndex(const std::vector<KeypointDescriptor>& descriptors, KeypointIndex& index);

// One entry per query in `matchIndices`. An index of fewer than two points answers -1 to every query.
void SearchIndex(KeypointIndex& index, const std::vector<KeypointDescriptor>& queries);

// Frees the points and the tree and empties the match list (the library stays open).
void ClearIndex(KeypointIndex& index);

// Frees the index and closes the ANN library; call once, when the program's last index is gone.
void ReleaseIndex(KeypointIndex& index);

}  // namespace quorl
