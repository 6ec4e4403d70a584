#include "features/picture_search.h"

#include <algorithm>
#include <limits>
#include <queue>

#include <opencv2/core/utility.hpp>

namespace quorl {
namespace {

// A fixed-seed generator, so that the same models always give the same forest.
uint64_t NextRandom(uint64_t& state) {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return state >> 33;
}

}  // namespace

void PictureSearch::Clear() {
  points_.clear();
  owner_.clear();
  trees_.clear();
}

void PictureSearch::Build(const std::vector<const RobustModel*>& models) {
  Clear();
  for (std::size_t m = 0; m < models.size(); ++m)
    for (std::size_t k = 0; k < models[m]->descriptors.size(); ++k) {
      Point p;
      for (int d = 0; d < kDescriptorSize; ++d) p[d] = static_cast<float>(models[m]->descriptors[k][d]);
      points_.push_back(p);
      owner_.emplace_back(static_cast<int32_t>(m), static_cast<int32_t>(k));
    }
  if (empty()) return;
  trees_.resize(kForestTrees);
  // Each dimension's values side by side while the trees are built: a split reads one dimension of many points.
  const std::size_t n = points_.size();
  std::vector<float> columns(n * kDescriptorSize);
  for (std::size_t i = 0; i < n; ++i)
    for (int d = 0; d < kDescriptorSize; ++d) columns[d * n + i] = points_[i][d];
  // The trees on every core, each from its own seed.
  cv::parallel_for_(cv::Range(0, kForestTrees), [&](const cv::Range& r) {
    for (int t = r.start; t < r.end; ++t) {
      Tree& tree = trees_[t];
      tree.order.resize(n);
      for (std::size_t i = 0; i < n; ++i) tree.order[i] = static_cast<int32_t>(i);
      uint64_t rng = 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(t);
      BuildNode(tree, columns, 0, static_cast<int32_t>(n), rng);
    }
  });
}

int32_t PictureSearch::BuildNode(Tree& tree, const std::vector<float>& columns, int32_t begin, int32_t end,
                                 uint64_t& rng) {
  const int32_t id = static_cast<int32_t>(tree.nodes.size());
  tree.nodes.push_back(Node{-1, 0.0f, begin, end});
  if (end - begin <= kForestLeafSize) return id;
  // Mean and variance of each dimension over an even sample of the node's points.
  const int32_t n = end - begin;
  const int32_t step = std::max<int32_t>(1, n / kForestSplitSample);
  std::array<double, kDescriptorSize> sum{}, squares{};
  int count = 0;
  for (int32_t i = begin; i < end; i += step, ++count)
    for (int d = 0; d < kDescriptorSize; ++d) {
      const double v = points_[tree.order[i]][d];
      sum[d] += v;
      squares[d] += v * v;
    }
  std::array<int, kDescriptorSize> dims;
  std::array<double, kDescriptorSize> variance;
  for (int d = 0; d < kDescriptorSize; ++d) {
    dims[d] = d;
    variance[d] = squares[d] / count - (sum[d] / count) * (sum[d] / count);
  }
  std::partial_sort(dims.begin(), dims.begin() + kForestSplitChoices, dims.end(),
                    [&](int a, int b) { return variance[a] > variance[b] || (variance[a] == variance[b] && a < b); });
  const int dim = dims[NextRandom(rng) % kForestSplitChoices];
  const float* value = columns.data() + static_cast<std::size_t>(dim) * points_.size();
  float cut = static_cast<float>(sum[dim] / count);
  auto first = tree.order.begin() + begin, last = tree.order.begin() + end;
  auto middle = std::partition(first, last, [&](int32_t p) { return value[p] < cut; });
  if (middle == first || middle == last) {  // the mean splits off nothing: at the median instead
    const auto less = [&](int32_t a, int32_t b) { return value[a] < value[b]; };
    const auto [lowest, highest] = std::minmax_element(first, last, less);
    if (value[*lowest] == value[*highest]) return id;  // all alike along it: a leaf
    middle = first + n / 2;
    std::nth_element(first, middle, last, less);
    cut = value[*middle];
  }
  const int32_t split = static_cast<int32_t>(middle - tree.order.begin());
  const int32_t low = BuildNode(tree, columns, begin, split, rng);
  const int32_t high = BuildNode(tree, columns, split, end, rng);
  tree.nodes[id] = Node{dim, cut, low, high};
  return id;
}

// Best bin first over every tree at once: branches wait in one queue by their distance from the query along the
// cuts taken, and the search stops after kForestChecks points. A point met again in another tree is skipped.
int PictureSearch::FindNearest(const Point& query,
                               std::array<std::pair<float, int32_t>, kForestNeighbours>& nearest) const {
  int found = 0;
  const auto worst = [&] { return found < kForestNeighbours ? std::numeric_limits<float>::infinity() : nearest[found - 1].first; };
  struct Branch {
    float bound;
    int32_t tree, node;
    bool operator>(const Branch& o) const { return bound > o.bound; }
  };
  std::priority_queue<Branch, std::vector<Branch>, std::greater<>> queue;
  for (int32_t t = 0; t < static_cast<int32_t>(trees_.size()); ++t) queue.push(Branch{0.0f, t, 0});
  int checks = 0;
  while (!queue.empty() && checks < kForestChecks) {
    const Branch b = queue.top();
    queue.pop();
    if (b.bound > worst()) break;
    const Tree& tree = trees_[b.tree];
    int32_t node = b.node;
    while (tree.nodes[node].dim >= 0) {
      const Node& n = tree.nodes[node];
      const float diff = query[n.dim] - n.cut;
      queue.push(Branch{b.bound + diff * diff, b.tree, diff < 0 ? n.high : n.low});
      node = diff < 0 ? n.low : n.high;
    }
    for (int32_t i = tree.nodes[node].low; i < tree.nodes[node].high; ++i) {
      const int32_t p = tree.order[i];
      if (std::any_of(nearest.begin(), nearest.begin() + found, [&](const auto& e) { return e.second == p; })) continue;
      ++checks;
      float dist = 0.0f;
      for (int d = 0; d < kDescriptorSize; ++d) dist += (query[d] - points_[p][d]) * (query[d] - points_[p][d]);
      if (!(dist < worst())) continue;
      int at = std::min(found, kForestNeighbours - 1);
      for (; at > 0 && nearest[at - 1].first > dist; --at) nearest[at] = nearest[at - 1];
      nearest[at] = {dist, p};
      found = std::min(found + 1, kForestNeighbours);
    }
  }
  return found;
}

std::vector<std::vector<PointMatch>> PictureSearch::Candidates(const std::vector<const RobustModel*>& models,
                                                              const FrameFeatures& frame,
                                                              const std::vector<uint8_t>& wanted,
                                                              const RobustParams& params) const {
  std::vector<std::vector<PointMatch>> out(models.size());
  if (empty()) return out;
  std::array<std::pair<float, int32_t>, kForestNeighbours> nearest;
  for (std::size_t i = 0; i < frame.descriptors.size(); ++i) {
    Point query;
    for (int d = 0; d < kDescriptorSize; ++d) query[d] = static_cast<float>(frame.descriptors[i][d]);
    const int found = FindNearest(query, nearest);
    for (int k = 0; k < found && nearest[k].first <= params.matchDistance; ++k) {
      const auto [m, point] = owner_[nearest[k].second];
      const bool again = std::any_of(nearest.begin(), nearest.begin() + k,
                                     [&](const auto& e) { return owner_[e.second].first == m; });
      if (again || !wanted[static_cast<std::size_t>(m)]) continue;
      out[m].push_back(PointMatch{models[m]->points[point].position, frame.positions[i], point,
                                  static_cast<int32_t>(i)});
    }
  }
  return out;
}

}  // namespace quorl
