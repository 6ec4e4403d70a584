#pragma once
// Exact 2-nearest-neighbour index over the model descriptors, with the match acceptance rule.

#include <cstdint>
#include <vector>

#include <ANN/ANN.h>

#include "features/descriptor.h"

namespace quorl {

// Two nearest model points of a query: slot 0 the nearest, slot 1 the second; squared distances.
struct NearestPair {
  int32_t index[2];
  double distance[2];
};

// Exact kd-tree over a private copy of the model descriptors, built for speed: median splits on the
// widest dimension, leaves of up to kLeafSize points stored contiguously, and partial-distance early exit.
// Distances are summed in the same order as ANN's, so they are bit-identical to its results.
class ExactKdTree {
 public:
  static constexpr int kLeafSize = 8;  // leaf sizes 4..16 measured within 5% of each other

  void Build(const std::vector<KeypointDescriptor>& points);
  void Clear();
  bool empty() const { return nodes_.empty(); }

  // Fills `out` and returns true, or returns false when several points lie at the nearest or the
  // second-nearest distance, so that the choice among them is left to the caller. Needs >= 2 points.
  bool FindTwoNearest(const KeypointDescriptor& query, NearestPair& out) const;

 private:
  struct Node {
    int32_t cutDim;  // -1 for a leaf
    double cutValue;
    int32_t low, high;  // children; for a leaf, the range [low, high) of the stored points
  };
  struct Search;
  int32_t BuildNode(std::vector<int32_t>& ids, int32_t begin, int32_t end,
                    const std::vector<KeypointDescriptor>& points);

  std::vector<Node> nodes_;
  std::vector<KeypointDescriptor> points_;  // in leaf order
  std::vector<int32_t> ids_;                // model index of each stored point
};

// Ownership: `points` (ANN point array) and `tree` (which refers to `points`) are owned and freed
// together on rebuild, reset and destruction. A non-null `tree` means a model is registered; a model
// of zero points has a tree but no point array. `fastTree` holds its own copy of the same points.
// `matchIndices` holds, per query of the last search, the accepted model index or -1.
struct KeypointIndex {
  ANNpointArray points = nullptr;
  ANNkd_tree* tree = nullptr;
  std::vector<int32_t> matchIndices;
  int pointCount = 0;
  ExactKdTree fastTree;

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

// The two nearest model points by ANN's exact search (eps 0). Needs a tree of at least two points.
// The library searches through process-wide state; its searches, like the building and freeing of its
// trees and its closing, take one process-wide lock, so indexes may be used on several threads at once.
NearestPair FindTwoNearestAnn(const KeypointIndex& index, const KeypointDescriptor& query);

// The same answer as FindTwoNearestAnn, tie order included: the fast tree answers, and ANN decides
// the rare queries with several points at the nearest or second-nearest distance.
NearestPair FindTwoNearest(const KeypointIndex& index, const KeypointDescriptor& query);

// One entry per query in `matchIndices`: the accepted nearest model point or -1. An index of fewer
// than two points (or none) answers -1 to every query.
void SearchIndex(KeypointIndex& index, const std::vector<KeypointDescriptor>& queries);

// Frees the points and the trees and empties the match list (the library stays open).
void ClearIndex(KeypointIndex& index);

// Frees the index and closes the ANN library; call once, when the program's last index is gone.
void ReleaseIndex(KeypointIndex& index);

// For hosts that cannot tell which index is the last (several trackers, on any threads): closes the ANN
// library once, at normal process exit. Call it in the constructor of an owner of indexes: an owner with
// static storage is then destroyed before the library closes.
void CloseAnnAtExit();

}  // namespace quorl
