#include "features/keypoint_index.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

namespace quorl {
namespace {

// ANN keeps process-wide state: the search's query and distance globals, and a shared empty leaf that
// tree construction creates, tree destruction compares against and annClose frees.
std::mutex& AnnMutex() {
  static std::mutex mutex;
  return mutex;
}

void CloseAnn() {
  const std::lock_guard lock(AnnMutex());
  annClose();
}

void FreeAnnObjects(KeypointIndex& index) {
  if (index.points != nullptr) {
    annDeallocPts(index.points);
    index.points = nullptr;
  }
  if (index.tree != nullptr) {
    const std::lock_guard lock(AnnMutex());
    delete index.tree;  // the tree does not read its points while it is destroyed
    index.tree = nullptr;
  }
  index.pointCount = 0;
}

// Lower bounds on a distance may carry rounding error; a subtree is skipped only when its bound exceeds
// the second-nearest distance by more than this relative margin, so no point at that distance is missed.
constexpr double kPruneMargin = 1e-9;

}  // namespace

// Search state of one query. `offset[d]` is the query's distance along d to the current cell, whose
// squared distance from the query (a lower bound for all its points) is kept incrementally.
struct ExactKdTree::Search {
  const ExactKdTree& tree;
  const double* query;
  NearestPair best{{-1, -1}, {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()}};
  double smallestTie = std::numeric_limits<double>::infinity();  // smallest distance met twice
  double offset[kDescriptorSize] = {};

  void Visit(int32_t nodeId, double cellDistance) {
    const Node& node = tree.nodes_[nodeId];
    if (node.cutDim < 0) {
      for (int32_t i = node.low; i < node.high; ++i) Consider(i);
      return;
    }
    const int d = node.cutDim;
    const double diff = query[d] - node.cutValue;
    Visit(diff < 0 ? node.low : node.high, cellDistance);
    const double previous = offset[d];
    const double farDistance = cellDistance + diff * diff - previous * previous;
    if (farDistance * (1.0 - kPruneMargin) > best.distance[1]) return;
    offset[d] = std::fabs(diff);
    Visit(diff < 0 ? node.high : node.low, farDistance);
    offset[d] = previous;
  }

  // Sums the squared differences in dimension order, as ANN does, leaving early once the sum exceeds
  // the second-nearest distance (the partial sums never decrease, so nothing nearer is dropped).
  void Consider(int32_t slot) {
    const double* p = tree.points_[slot].data();
    const double bound = best.distance[1];
    double dist = 0.0;
    for (int d = 0; d < kDescriptorSize; ++d) {
      const double t = query[d] - p[d];
      dist = dist + t * t;
      if (dist > bound) return;
    }
    const int32_t id = tree.ids_[slot];
    if (dist == bound) {
      smallestTie = std::min(smallestTie, dist);
    } else if (dist < best.distance[0]) {
      best.index[1] = best.index[0];
      best.distance[1] = best.distance[0];
      best.index[0] = id;
      best.distance[0] = dist;
    } else {
      if (dist == best.distance[0]) smallestTie = std::min(smallestTie, dist);
      best.index[1] = id;
      best.distance[1] = dist;
    }
  }
};

void ExactKdTree::Build(const std::vector<KeypointDescriptor>& points) {
  Clear();
  if (points.empty()) return;
  std::vector<int32_t> ids(points.size());
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int32_t>(i);
  points_.reserve(points.size());
  ids_.reserve(points.size());
  BuildNode(ids, 0, static_cast<int32_t>(ids.size()), points);
}

int32_t ExactKdTree::BuildNode(std::vector<int32_t>& ids, int32_t begin, int32_t end,
                               const std::vector<KeypointDescriptor>& points) {
  const int32_t nodeId = static_cast<int32_t>(nodes_.size());
  nodes_.push_back(Node{-1, 0.0, 0, 0});
  int bestDim = 0;
  double bestSpread = 0.0;
  for (int d = 0; d < kDescriptorSize; ++d) {
    double lo = points[ids[begin]][d], hi = lo;
    for (int32_t i = begin + 1; i < end; ++i) {
      lo = std::min(lo, points[ids[i]][d]);
      hi = std::max(hi, points[ids[i]][d]);
    }
    if (hi - lo > bestSpread) {
      bestSpread = hi - lo;
      bestDim = d;
    }
  }
  if (end - begin <= kLeafSize || bestSpread == 0.0) {
    nodes_[nodeId].low = static_cast<int32_t>(points_.size());
    for (int32_t i = begin; i < end; ++i) {
      points_.push_back(points[ids[i]]);
      ids_.push_back(ids[i]);
    }
    nodes_[nodeId].high = static_cast<int32_t>(points_.size());
    return nodeId;
  }
  // Median split: the low side holds coordinates <= cutValue, the high side coordinates >= cutValue.
  const int32_t mid = begin + (end - begin) / 2;
  std::nth_element(ids.begin() + begin, ids.begin() + mid, ids.begin() + end,
                   [&](int32_t a, int32_t b) { return points[a][bestDim] < points[b][bestDim]; });
  const double cutValue = points[ids[mid]][bestDim];
  const int32_t low = BuildNode(ids, begin, mid, points);
  const int32_t high = BuildNode(ids, mid, end, points);
  nodes_[nodeId].cutDim = bestDim;
  nodes_[nodeId].cutValue = cutValue;
  nodes_[nodeId].low = low;
  nodes_[nodeId].high = high;
  return nodeId;
}

void ExactKdTree::Clear() {
  nodes_.clear();
  points_.clear();
  ids_.clear();
}

bool ExactKdTree::FindTwoNearest(const KeypointDescriptor& query, NearestPair& out) const {
  Search search{*this, query.data()};
  search.Visit(0, 0.0);
  out = search.best;
  return search.smallestTie > out.distance[1];
}

KeypointIndex::~KeypointIndex() { FreeAnnObjects(*this); }

void BuildIndex(const std::vector<KeypointDescriptor>& descriptors, KeypointIndex& index) {
  ClearIndex(index);
  const int n = static_cast<int>(descriptors.size());
  // An empty point array cannot be freed by the library (it reads its first point), so a model
  // without points keeps `points` null and gets a tree over zero points.
  if (n > 0) index.points = annAllocPts(n, kDescriptorSize);
  for (int i = 0; i < n; ++i) std::memcpy(index.points[i], descriptors[i].data(), sizeof(KeypointDescriptor));
  {
    const std::lock_guard lock(AnnMutex());
    index.tree = new ANNkd_tree(index.points, n, kDescriptorSize, 1, ANN_KD_SUGGEST);
  }
  index.pointCount = n;
  index.fastTree.Build(descriptors);
}

NearestPair FindTwoNearestAnn(const KeypointIndex& index, const KeypointDescriptor& query) {
  NearestPair out;
  const std::lock_guard lock(AnnMutex());
  // The library takes a non-const point but only reads it.
  index.tree->annkSearch(const_cast<double*>(query.data()), 2, out.index, out.distance, 0.0);
  return out;
}

NearestPair FindTwoNearest(const KeypointIndex& index, const KeypointDescriptor& query) {
  NearestPair out;
  if (index.fastTree.FindTwoNearest(query, out)) return out;
  return FindTwoNearestAnn(index, query);
}

int32_t AcceptMatch(int32_t nearest, double nearestDistance, double secondDistance) {
  if (nearestDistance > kMatchMaxDistance) return -1;
  if (secondDistance < kMatchMinRatio * nearestDistance) return -1;
  return nearest;
}

void SearchIndex(KeypointIndex& index, const std::vector<KeypointDescriptor>& queries) {
  index.matchIndices.clear();
  if (index.tree == nullptr || index.pointCount < 2) {
    index.matchIndices.assign(queries.size(), -1);
    return;
  }
  index.matchIndices.reserve(queries.size());
  for (const KeypointDescriptor& q : queries) {
    const NearestPair pair = FindTwoNearest(index, q);
    index.matchIndices.push_back(AcceptMatch(pair.index[0], pair.distance[0], pair.distance[1]));
  }
}

void ClearIndex(KeypointIndex& index) {
  FreeAnnObjects(index);
  index.fastTree.Clear();
  index.matchIndices.clear();
}

void ReleaseIndex(KeypointIndex& index) {
  ClearIndex(index);
  CloseAnn();
}

void CloseAnnAtExit() {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(CloseAnn); });
}

}  // namespace quorl
