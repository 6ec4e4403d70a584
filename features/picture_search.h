#pragma once
// A search over many pictures whose cost per frame does not grow with their number: a forest of randomised
// kd-trees over every model point of every picture, searched for each frame corner with a fixed number of
// point comparisons (best bin first over all trees at once). A corner's nearest points, up to kForestNeighbours
// of them, are candidate matches for their models: among many pictures a true corner's very nearest point is
// often another picture's. The pictures whose candidates agree on a pose are then matched and verified as one
// picture alone is.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "features/descriptor.h"
#include "features/robust_matching.h"
#include "features/robust_model.h"
#include "features/robust_params.h"

namespace quorl {

// kForestTrees trees, leaves of at most kForestLeafSize points; each split on a dimension drawn from the
// kForestSplitChoices of largest variance (over at most kForestSplitSample of its points), at their mean. A query
// compares at most kForestChecks points and keeps its kForestNeighbours nearest. Measured on 100 and 1000
// procedural pictures, table and return scenes (bench_library, BM_SearchFrame): with only the nearest point kept, a
// picture in view had no candidate cluster on most frames; with four, it ranked among the first three. Three trees
// found as four did in all four runs, the forest built in three quarters of the time; two let a returning picture
// wait 39 frames instead of 33 at 1000 pictures.
inline constexpr int kForestNeighbours = 4;
inline constexpr int kForestTrees = 3;
inline constexpr int kForestLeafSize = 16;
inline constexpr int kForestSplitChoices = 5;
inline constexpr int kForestSplitSample = 128;
// The top kForestSampledDepth levels of a tree are split on kForestSplitSample << kForestSampledDepth points.
inline constexpr int kForestSampledDepth = 10;
inline constexpr int kForestChecks = 64;
// Points of tilted views foreshortened to under kForestFlattestView (the cosine of 65 degrees) stay out of the forest;
// a candidate picture is still matched with all of its points. Measured on the deck scene at 640x480 with 1000
// procedural pictures: with the points of 70-degree views up to 640 pixels long in the forest, 77.4 % of the frames
// in view were tracked instead of 94.2 %, their many near matches taking the true pictures' candidates.
inline constexpr double kForestFlattestView = 0.42;

// Ownership: the search keeps its own copy of the points (as floats) and which model each belongs to; the
// models themselves are only read while it is built.
class PictureSearch {
 public:
  struct Node {
    int32_t dim = -1;  // -1 for a leaf
    float cut = 0.0f;
    // A split's children, after it, the second the node after the first; a leaf's range [low, high) of `order`.
    int32_t low = 0, high = 0;
  };
  struct Tree {
    std::vector<Node> nodes;     // the root first
    std::vector<int32_t> order;  // point ids in leaf order
  };

  // Over `models`, in that order; the same models always give the same forest.
  void Build(const std::vector<const RobustModel*>& models);
  // Over `models` with the trees of a Build over the first `built` of them (as a picture library keeps them), so
  // that the search is that Build's without its time; the points of the models after those are put into the leaves
  // they fall in (which then hold more than kForestLeafSize), and points the trees hold past the first models' are
  // taken out first (a search's trees given back by TakeTrees). False, the search cleared, when `trees` do not fit
  // the first models' points (ForestProblem).
  bool Adopt(const std::vector<const RobustModel*>& models, std::vector<Tree> trees, std::size_t built);
  // The trees, the search cleared.
  std::vector<Tree> TakeTrees();
  // Per view of `model` (0: straight on), whether the search takes its points: all but those of views foreshortened
  // to under kForestFlattestView; and how many of its points it takes.
  static std::vector<uint8_t> SearchedViews(const RobustModel& model);
  static std::size_t PointsOf(const RobustModel& model);
  // What makes `trees` unusable over `points` points ("" when nothing): a search over them then never reads
  // outside them and always ends.
  static std::string ForestProblem(const std::vector<Tree>& trees, std::size_t points);
  const std::vector<Tree>& trees() const { return trees_; }
  void Clear();
  bool empty() const { return owner_.size() < 2; }

  // Candidate matches of `frame`'s corners, those of models[m] in element m: each corner with each of its
  // kForestNeighbours nearest points (found approximately) that lies within params.matchDistance, once per
  // model, the nearest of that model. Only models with `wanted[m]` set get any.
  std::vector<std::vector<PointMatch>> Candidates(const std::vector<const RobustModel*>& models,
                                                  const FrameFeatures& frame, const std::vector<uint8_t>& wanted,
                                                  const RobustParams& params) const;

 private:
  using Point = std::array<float, kDescriptorSize>;
  // Clears the search, then takes every point of `models`.
  void Gather(const std::vector<const RobustModel*>& models);
  void BuildTree(Tree& tree, uint64_t& rng) const;
  // Makes node `id` over the points pool[ids[begin, end)], whose places in the tree's order are offset + begin
  // onwards, at `depth`, splitting it (and its children) further while it holds more than a leaf. With `cells`, a
  // node at kForestSampledDepth is not split, and every leaf is added to `cells`.
  void Split(Tree& tree, const std::vector<Point>& pool, std::vector<int32_t>& ids, int32_t id, int32_t begin,
             int32_t end, int32_t offset, int depth, uint64_t& rng, std::vector<int32_t>* cells) const;
  // The up to kForestNeighbours nearest points of `query` met in kForestChecks comparisons, nearest first; returns
  // how many.
  int FindNearest(const Point& query, std::array<std::pair<float, int32_t>, kForestNeighbours>& nearest) const;

  std::vector<Point> points_;
  std::vector<std::pair<int32_t, int32_t>> owner_;  // (model, point) of each point
  std::vector<Tree> trees_;
};

}  // namespace quorl
