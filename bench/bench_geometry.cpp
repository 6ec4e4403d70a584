// EstimateHomography per frame for 100, 300 and 1000 matches at 30 % outliers, and the pose from four corners.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "geometry/homography.h"
#include "geometry/pose.h"

namespace {

// Matches under a mild perspective mapping, rounded to whole pixels; 30 % of them random.
quorl::CorrespMap MakeMatches(int count) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> x(0, 639), y(0, 479);
  std::bernoulli_distribution outlier(0.3);
  quorl::CorrespMap matches;
  for (int i = 0; i < count; ++i) {
    const int fx = x(rng), fy = y(rng);
    const double w = 1.0 + 1e-4 * fx - 5e-5 * fy;
    int mx = static_cast<int>(std::lround((0.95 * fx - 0.2 * fy + 30.0) / w));
    int my = static_cast<int>(std::lround((0.2 * fx + 0.95 * fy - 10.0) / w));
    if (outlier(rng)) {
      mx = x(rng);
      my = y(rng);
    }
    matches.push_back({mx, my, fx, fy});
  }
  return matches;
}

void BM_EstimateHomography(benchmark::State& state) {
  quorl::ModelRecord model;
  model.matchMap = MakeMatches(static_cast<int>(state.range(0)));
  quorl::HomographySampler sampler;
  int64_t hypotheses = 0;
  for (auto _ : state) {
    quorl::EstimateHomography(model, sampler);
    hypotheses += sampler.stats.hypotheses;
    benchmark::DoNotOptimize(model.frameToModel.data);
  }
  state.counters["hypotheses"] =
      benchmark::Counter(static_cast<double>(hypotheses), benchmark::Counter::kAvgIterations);
  state.counters["inliers"] = static_cast<double>(model.inlierMap.size());
}

void BM_PoseFromCorners(benchmark::State& state) {
  const quorl::CornerSet image = {{{-130.0, -95.0}, {120.0, -80.0}, {105.0, 125.0}, {-110.0, 90.0}}};
  quorl::PoseEstimate pose;
  for (auto _ : state) {
    quorl::estimateSquareHomography(pose, quorl::kModelSquare, image);
    quorl::poseFromHomography(800.0, 800.0, pose);
    benchmark::DoNotOptimize(pose.modelview.data());
  }
}

BENCHMARK(BM_EstimateHomography)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PoseFromCorners)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
