#include "features/keypoint_index.h"

#include <cstring>

namespace quorl {
namespace {

void FreeAnnObjects(KeypointIndex& index) {
  if (index.points != nullptr) {
    annDeallocPts(index.points);
    index.points = nullptr;
  }
  delete index.tree;  // the tree does not read its points while it is destroyed
  index.tree = nullptr;
  index.pointCount = 0;
}

}  // namespace

KeypointIndex::~KeypointIndex() { FreeAnnObjects(*this); }

void BuildIndex(const std::vector<KeypointDescriptor>& descriptors, KeypointIndex& index) {
  FreeAnnObjects(index);
  index.matchIndices.clear();
  const int n = static_cast<int>(descriptors.size());
  // An empty point array cannot be freed by the library (it reads its first point), so a model
  // without points keeps `points` null and gets a tree over zero points.
  if (n > 0) index.points = annAllocPts(n, kDescriptorSize);
  for (int i = 0; i < n; ++i) std::memcpy(index.points[i], descriptors[i].data(), sizeof(KeypointDescriptor));
  index.tree = new ANNkd_tree(index.points, n, kDescriptorSize, 1, ANN_KD_SUGGEST);
  index.pointCount = n;
}

void SearchIndex(KeypointIndex& index, const std::vector<KeypointDescriptor>& queries) {
  index.matchIndices.clear();
  if (index.tree == nullptr || index.pointCount < 2) {
    index.matchIndices.assign(queries.size(), -1);
    return;
  }
  ANNpoint query = annAllocPt(kDescriptorSize, 0.0);
  ANNidx indices[2];
  ANNdist distances[2];
  index.matchIndices.reserve(queries.size());
  for (const KeypointDescriptor& q : queries) {
    std::memcpy(query, q.data(), sizeof(KeypointDescriptor));
    index.tree->annkSearch(query, 2, indices, distances, 0.0);
    index.matchIndices.push_back(AcceptMatch(indices[0], distances[0], distances[1]));
  }
  annDeallocPt(query);
}

int32_t AcceptMatch(int32_t nearest, double nearestDistance, double secondDistance) {
  if (nearestDistance > kMatchMaxDistance) return -1;
  if (secondDistance < kMatchMinRatio * nearestDistance) return -1;
  return nearest;
}

void ClearIndex(KeypointIndex& index) {
  FreeAnnObjects(index);
  index.matchIndices.clear();
}

void ReleaseIndex(KeypointIndex& index) {
  ClearIndex(index);
  annClose();
}

}  // namespace quorl
