#include "features/picture_search.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>
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

std::vector<uint8_t> PictureSearch::SearchedViews(const RobustModel& model) {
  std::vector<uint8_t> searched(model.tilts.size() + 1, 1);
  for (std::size_t v = 0; v < model.tilts.size(); ++v) {
    cv::Matx21f w;
    cv::SVD::compute(model.tilts[v].map, w);
    searched[v + 1] = w(1) >= kForestFlattestView * w(0);
  }
  return searched;
}

std::size_t PictureSearch::PointsOf(const RobustModel& model) {
  const std::vector<uint8_t> searched = SearchedViews(model);
  return static_cast<std::size_t>(std::count_if(model.points.begin(), model.points.end(),
                                                [&](const ModelPoint& p) { return searched[p.view] != 0; }));
}

void PictureSearch::Gather(const std::vector<const RobustModel*>& models) {
  Clear();
  std::size_t n = 0;
  for (const RobustModel* m : models) n += m->descriptors.size();
  points_.reserve(n);
  owner_.reserve(n);
  for (std::size_t m = 0; m < models.size(); ++m) {
    const RobustModel& model = *models[m];
    const std::vector<uint8_t> searched = SearchedViews(model);
    for (std::size_t k = 0; k < model.descriptors.size(); ++k) {
      if (!searched[model.points[k].view]) continue;
      Point p;
      for (int d = 0; d < kDescriptorSize; ++d) p[d] = static_cast<float>(model.descriptors[k][d]);
      points_.push_back(p);
      owner_.emplace_back(static_cast<int32_t>(m), static_cast<int32_t>(k));
    }
  }
}

namespace {

// Lays `tree`'s leaves out again in node order, each with the points of its old range that `keep` accepts, then
// its points of `added` (per node). False when a leaf's range lies outside the order.
template <class Keep>
bool Relayout(PictureSearch::Tree& tree, const Keep& keep, const std::vector<std::vector<int32_t>>& added) {
  std::vector<int32_t> order;
  order.reserve(tree.order.size());
  for (std::size_t id = 0; id < tree.nodes.size(); ++id) {
    PictureSearch::Node& leaf = tree.nodes[id];
    if (leaf.dim != -1) continue;
    if (leaf.low < 0 || leaf.low > leaf.high || static_cast<std::size_t>(leaf.high) > tree.order.size()) return false;
    const auto low = static_cast<int32_t>(order.size());
    std::copy_if(tree.order.begin() + leaf.low, tree.order.begin() + leaf.high, std::back_inserter(order), keep);
    if (!added.empty()) order.insert(order.end(), added[id].begin(), added[id].end());
    leaf.low = low;
    leaf.high = static_cast<int32_t>(order.size());
  }
  tree.order = std::move(order);
  return true;
}

}  // namespace

bool PictureSearch::Adopt(const std::vector<const RobustModel*>& models, std::vector<Tree> trees, std::size_t built) {
  Gather(models);
  // The gathered points of the first `built` models, which come first.
  const std::size_t covered = static_cast<std::size_t>(std::count_if(
      owner_.begin(), owner_.end(), [&](const auto& o) { return static_cast<std::size_t>(o.first) < built; }));
  bool fits = covered >= 2;
  // Trees given back by TakeTrees hold the points added to them too: those are taken out.
  const auto first = [&](int32_t p) { return p >= 0 && static_cast<std::size_t>(p) < covered; };
  for (Tree& tree : trees) fits = fits && (tree.order.size() == covered || Relayout(tree, first, {}));
  if (!fits || !ForestProblem(trees, covered).empty()) {
    Clear();
    return false;
  }
  // Each later point goes down to its leaf in every tree, after the points the leaf had.
  for (Tree& tree : trees) {
    if (points_.size() == covered) break;
    std::vector<std::vector<int32_t>> added(tree.nodes.size());
    for (std::size_t i = covered; i < points_.size(); ++i) {
      int32_t node = 0;
      while (tree.nodes[node].dim >= 0)
        node = points_[i][tree.nodes[node].dim] < tree.nodes[node].cut ? tree.nodes[node].low : tree.nodes[node].high;
      added[node].push_back(static_cast<int32_t>(i));
    }
    Relayout(tree, [](int32_t) { return true; }, added);
  }
  trees_ = std::move(trees);
  return true;
}

std::vector<PictureSearch::Tree> PictureSearch::TakeTrees() {
  std::vector<Tree> trees = std::move(trees_);
  Clear();
  return trees;
}

std::string PictureSearch::ForestProblem(const std::vector<Tree>& trees, std::size_t points) {
  if (trees.size() != kForestTrees) return std::to_string(trees.size()) + " trees, not " + std::to_string(kForestTrees);
  for (const Tree& tree : trees) {
    if (tree.nodes.empty()) return "a tree without nodes";
    if (tree.order.size() != points) return "a tree over " + std::to_string(tree.order.size()) + " points, not " +
                                            std::to_string(points);
    for (const int32_t p : tree.order)
      if (p < 0 || static_cast<std::size_t>(p) >= points) return "a tree over a point that is not there";
    const auto nodes = static_cast<int64_t>(tree.nodes.size());
    for (int64_t id = 0; id < nodes; ++id) {
      const Node& n = tree.nodes[id];
      const bool fits = n.dim == -1
                            ? 0 <= n.low && n.low <= n.high && static_cast<std::size_t>(n.high) <= points
                            : n.dim >= 0 && n.dim < kDescriptorSize && std::isfinite(n.cut) && id < n.low &&
                                  n.low < nodes && id < n.high && n.high < nodes;
      if (!fits) return "node " + std::to_string(id) + " out of its tree";
    }
  }
  return "";
}

void PictureSearch::Build(const std::vector<const RobustModel*>& models) {
  Gather(models);
  if (empty()) return;
  trees_.resize(kForestTrees);
  // The trees on every core, each from its own seed.
  cv::parallel_for_(cv::Range(0, kForestTrees), [&](const cv::Range& r) {
    for (int t = r.start; t < r.end; ++t) {
      uint64_t rng = 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(t);
      BuildTree(trees_[t], rng);
    }
  });
}

// The top kForestSampledDepth levels are split on an even sample of the points, whose leaves are cells; every
// point then goes down to its cell, and each cell (a few thousand points at most) is split on its own. Each split
// works on a copy of its points side by side, so that it reads memory in order.
void PictureSearch::BuildTree(Tree& tree, uint64_t& rng) const {
  const std::size_t n = points_.size();
  const std::size_t sampled = std::size_t{kForestSplitSample} << kForestSampledDepth;
  const std::size_t step = std::max<std::size_t>(1, n / sampled);
  std::vector<Point> pool;
  for (std::size_t i = 0; i < n; i += step) pool.push_back(points_[i]);
  std::vector<int32_t> ids(pool.size());
  std::iota(ids.begin(), ids.end(), 0);
  std::vector<int32_t> cells;  // node of each cell
  tree.nodes.assign(1, Node{});
  Split(tree, pool, ids, 0, 0, static_cast<int32_t>(ids.size()), 0, 0, rng, &cells);
  // Each point's cell, then the points laid out cell by cell.
  std::vector<int32_t> cellOf(tree.nodes.size(), -1), where(n);
  for (std::size_t c = 0; c < cells.size(); ++c) cellOf[cells[c]] = static_cast<int32_t>(c);
  std::vector<int32_t> start(cells.size() + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    int32_t node = 0;
    while (tree.nodes[node].dim >= 0)
      node = points_[i][tree.nodes[node].dim] < tree.nodes[node].cut ? tree.nodes[node].low : tree.nodes[node].high;
    where[i] = cellOf[node];
    ++start[where[i] + 1];
  }
  for (std::size_t c = 0; c < cells.size(); ++c) start[c + 1] += start[c];
  tree.order.resize(n);
  std::vector<int32_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) tree.order[fill[where[i]]++] = static_cast<int32_t>(i);
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const int32_t count = start[c + 1] - start[c];
    pool.resize(count);
    ids.resize(count);
    for (int32_t k = 0; k < count; ++k) pool[k] = points_[tree.order[start[c] + k]];
    std::iota(ids.begin(), ids.end(), 0);
    Split(tree, pool, ids, cells[c], 0, count, start[c], 0, rng, nullptr);
    std::vector<int32_t> cell(tree.order.begin() + start[c], tree.order.begin() + start[c + 1]);
    for (int32_t k = 0; k < count; ++k) tree.order[start[c] + k] = cell[ids[k]];
  }
}

void PictureSearch::Split(Tree& tree, const std::vector<Point>& pool, std::vector<int32_t>& ids, int32_t id,
                          int32_t begin, int32_t end, int32_t offset, int depth, uint64_t& rng,
                          std::vector<int32_t>* cells) const {
  tree.nodes[id] = Node{-1, 0.0f, offset + begin, offset + end};
  const auto leaf = [&] {
    if (cells != nullptr) cells->push_back(id);
  };
  if (end - begin <= kForestLeafSize || (cells != nullptr && depth == kForestSampledDepth)) return leaf();
  // Mean and variance of each dimension over an even sample of the node's points.
  const int32_t n = end - begin;
  const int32_t step = std::max<int32_t>(1, n / kForestSplitSample);
  std::array<double, kDescriptorSize> sum{}, squares{};
  int count = 0;
  for (int32_t i = begin; i < end; i += step, ++count)
    for (int d = 0; d < kDescriptorSize; ++d) {
      const double v = pool[ids[i]][d];
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
  float cut = static_cast<float>(sum[dim] / count);
  const auto first = ids.begin() + begin, last = ids.begin() + end;
  auto middle = std::partition(first, last, [&](int32_t p) { return pool[p][dim] < cut; });
  if (middle == first || middle == last) {  // the mean splits off nothing: at the median instead
    const auto less = [&](int32_t a, int32_t b) { return pool[a][dim] < pool[b][dim]; };
    const auto [lowest, highest] = std::minmax_element(first, last, less);
    if (pool[*lowest][dim] == pool[*highest][dim]) return leaf();  // all alike along it
    middle = first + n / 2;
    std::nth_element(first, middle, last, less);
    cut = pool[*middle][dim];
  }
  const int32_t split = static_cast<int32_t>(middle - ids.begin());
  const int32_t low = static_cast<int32_t>(tree.nodes.size());
  tree.nodes.resize(tree.nodes.size() + 2);
  tree.nodes[id] = Node{dim, cut, low, low + 1};
  Split(tree, pool, ids, low, begin, split, offset, depth + 1, rng, cells);
  Split(tree, pool, ids, low + 1, split, end, offset, depth + 1, rng, cells);
}

// Best bin first over every tree at once: branches wait in one queue by their distance from the query along the
// cuts taken, and the search stops after kForestChecks points. A point met again in another tree is skipped.
int PictureSearch::FindNearest(const Point& query,
                               std::array<std::pair<float, int32_t>, kForestNeighbours>& nearest) const {
  int found = 0;
  const auto worst = [&] {
    return found < kForestNeighbours ? std::numeric_limits<float>::infinity() : nearest[found - 1].first;
  };
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
      const int32_t m = owner_[nearest[k].second].first, point = owner_[nearest[k].second].second;
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
