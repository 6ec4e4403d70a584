// Time per SearchIndex query (the tracker's kd-tree) over models of real-corner descriptors, beside the
// ANN library's search and a plain brute-force 2-NN over the same points.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "features/descriptor.h"
#include "features/keypoint_index.h"
#include "image/corners.h"
#include "image/resize.h"
#include "tests/features/brute_force.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

constexpr int kFastArc = 10;
constexpr int kBarrier = 20;

void AppendDescriptors(const GrayImage& image, std::vector<KeypointDescriptor>& out) {
  for (const CornerPoint& c : DetectCorners(image, kFastArc, kBarrier)) {
    KeypointDescriptor d;
    out.push_back(DescribeKeypoint(image, c.x, c.y, d));
  }
}

// Descriptors of the corners of 640 x 480 textured pictures at the four model scales, until `count`.
std::vector<KeypointDescriptor> ModelDescriptors(int count) {
  std::vector<KeypointDescriptor> model;
  for (uint32_t seed = 1; static_cast<int>(model.size()) < count; ++seed) {
    const GrayImage frame = scene::MakeTexturedImage(640, 480, seed);
    for (double s : {0.5, 0.7, 1.0, 1.4}) {
      GrayImage scaled = frame;
      ResizeBilinear(scaled, ScaledSize(640, s), ScaledSize(480, s));
      AppendDescriptors(scaled, model);
    }
  }
  model.resize(static_cast<std::size_t>(count));
  return model;
}

// Corners of a rotated and shifted view of the first model picture, as a tracked frame would give.
const std::vector<KeypointDescriptor>& Queries() {
  static const std::vector<KeypointDescriptor> queries = [] {
    const GrayImage frame = scene::MakeTexturedImage(640, 480, 1);
    const GrayImage view =
        scene::WarpImage(frame, 640, 480, scene::InvertAffine(scene::RotationShift(0.08, 320, 240, 12, -7)));
    std::vector<KeypointDescriptor> out;
    AppendDescriptors(view, out);
    out.resize(std::min<std::size_t>(out.size(), 400));
    return out;
  }();
  return queries;
}

const std::vector<KeypointDescriptor>& Model(int count) {
  static std::map<int, std::vector<KeypointDescriptor>> cache;
  auto it = cache.find(count);
  if (it == cache.end()) it = cache.emplace(count, ModelDescriptors(count)).first;
  return it->second;
}

void SetCounters(benchmark::State& state, std::size_t queries, int accepted) {
  // Seconds per query, printed with an SI prefix (u = microseconds).
  state.counters["per_query"] = benchmark::Counter(static_cast<double>(queries),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
  state.counters["queries"] = static_cast<double>(queries);
  state.counters["accepted"] = accepted;
}

void BM_SearchIndex(benchmark::State& state) {
  const auto& model = Model(static_cast<int>(state.range(0)));
  const auto& queries = Queries();
  KeypointIndex index;
  BuildIndex(model, index);
  for (auto _ : state) {
    SearchIndex(index, queries);
    benchmark::DoNotOptimize(index.matchIndices.data());
  }
  SetCounters(state, queries.size(),
              static_cast<int>(std::count_if(index.matchIndices.begin(), index.matchIndices.end(),
                                             [](int32_t r) { return r >= 0; })));
}

// The same decisions through the ANN library's kd-tree, the reference of the tracker's search.
void BM_SearchAnn(benchmark::State& state) {
  const auto& model = Model(static_cast<int>(state.range(0)));
  const auto& queries = Queries();
  KeypointIndex index;
  BuildIndex(model, index);
  std::vector<int32_t> matches(queries.size());
  for (auto _ : state) {
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const NearestPair pair = FindTwoNearestAnn(index, queries[q]);
      matches[q] = AcceptMatch(pair.index[0], pair.distance[0], pair.distance[1]);
    }
    benchmark::DoNotOptimize(matches.data());
  }
  SetCounters(state, queries.size(),
              static_cast<int>(std::count_if(matches.begin(), matches.end(), [](int32_t r) { return r >= 0; })));
}

void BM_BruteForce(benchmark::State& state) {
  const auto& model = Model(static_cast<int>(state.range(0)));
  const auto& queries = Queries();
  std::vector<int32_t> matches(queries.size());
  for (auto _ : state) {
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const NearestPair pair = scene::BruteForceTwoNearest(queries[q], model);
      matches[q] = AcceptMatch(pair.index[0], pair.distance[0], pair.distance[1]);
    }
    benchmark::DoNotOptimize(matches.data());
  }
  SetCounters(state, queries.size(),
              static_cast<int>(std::count_if(matches.begin(), matches.end(), [](int32_t r) { return r >= 0; })));
}

BENCHMARK(BM_SearchIndex)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchAnn)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BruteForce)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
