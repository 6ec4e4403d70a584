// The robust mode's stages on the synthetic scene: registration, a tracked frame (flow, guided matching,
// estimation, refinement) and a re-detection frame (global matching with pose votes), at two sizes.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/synthetic_scene.h"
#include "features/robust_model.h"
#include "image/dib_image.h"
#include "tracker/robust_tracker.h"

namespace quorl {
namespace {

struct Frames {
  std::vector<GrayImage> gray;
  std::array<cv::Point2f, 4> corners{};
};

// Frames 0..count-1 of the orbit profile as gray pictures, and the target's corners on frame 0; filmed through `lens`
// when one is given.
Frames Orbit(int width, int height, int count, const std::optional<CameraLens>& lens = std::nullopt) {
  SceneSettings settings;
  settings.width = width;
  settings.height = height;
  settings.lens = lens;
  std::string error;
  auto scene = SyntheticScene::Create(settings, error);
  Frames out;
  std::vector<uint8_t> packed;
  for (int i = 0; i < count && scene->read(packed); ++i) {
    DibImage dib;
    dib.SetPackedDib(packed.data(), packed.size());
    DibToGray(dib, out.gray.emplace_back());
  }
  const FrameCorners truth = scene->cornersAt(0);
  for (int i = 0; i < 4; ++i) out.corners[i] = cv::Point2f(std::lround(truth[i].x), std::lround(truth[i].y));
  return out;
}

void Counters(benchmark::State& state, const RobustTracker& t) {
  const RobustFrameStats& s = t.stats;
  state.counters["model_points"] = static_cast<double>(t.model.points.size());
  state.counters["corners"] = s.corners;
  state.counters["matches"] = s.matches;
  state.counters["flow_points"] = s.flowPoints;
  state.counters["inliers"] = s.inliers;
}

void BM_RegisterRobust(benchmark::State& state) {
  const Frames f = Orbit(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 1);
  RobustTracker t;
  for (auto _ : state) RegisterRobust(t, f.gray[0], f.corners, 10);
  state.counters["model_points"] = static_cast<double>(t.model.points.size());
  state.counters["track_points"] = static_cast<double>(t.model.trackPoints.size());
  state.counters["barrier"] = t.model.barrier;
}
BENCHMARK(BM_RegisterRobust)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

// Tracked frames: the tracker goes back and forth between frames 10 and 11 after following 1..10.
void BM_TrackedFrame(benchmark::State& state) {
  const Frames f = Orbit(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 12);
  RobustTracker t;
  RegisterRobust(t, f.gray[0], f.corners, 10);
  int corners = 0;
  for (int i = 1; i <= 10; ++i) TrackRobust(t, f.gray[i], 40, corners);
  int next = 11;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TrackRobust(t, f.gray[next], 40, corners));
    next = 21 - next;
  }
  Counters(state, t);
  state.counters["flow_ms"] = t.stats.flowMs;
  state.counters["detect_ms"] = t.stats.detectMs;
  state.counters["refine_ms"] = t.stats.refineMs;
}
BENCHMARK(BM_TrackedFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

// Re-detection frames: the target counts as lost before every frame, so the global search runs.
void BM_RedetectionFrame(benchmark::State& state) {
  const Frames f = Orbit(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 31);
  RobustTracker t;
  RegisterRobust(t, f.gray[0], f.corners, 10);
  int corners = 0;
  for (auto _ : state) {
    t.acceptedRun = 0;
    benchmark::DoNotOptimize(TrackRobust(t, f.gray[30], 40, corners));
  }
  Counters(state, t);
  state.counters["match_ms"] = t.stats.matchMs;
}
BENCHMARK(BM_RedetectionFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

// The same tracked frames filmed through opencv-doc's left camera at 640x480, tracked in frame pixels (0) and through
// the lens (1): the difference is what working through the lens costs.
void BM_TrackedFrameThroughLens(benchmark::State& state) {
  std::string error;
  const cv::Matx33d k(535.916, 0, 342.283, 0, 535.916, 235.571, 0, 0, 1);
  const std::optional<CameraLens> lens =
      CameraLens::FromOpenCV(k, {-0.26637, -0.038589, 0.0017832, -0.00028122, 0.23839}, cv::Size(640, 480), error);
  const Frames f = Orbit(640, 480, 12, lens);
  const FrameLens frameLens(*lens);
  const FrameLens* through = state.range(0) != 0 ? &frameLens : nullptr;
  RobustTracker t;
  RegisterRobust(t, f.gray[0], f.corners, 10, through);
  int corners = 0;
  for (int i = 1; i <= 10; ++i) TrackRobust(t, f.gray[i], 40, corners, through);
  int next = 11;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TrackRobust(t, f.gray[next], 40, corners, through));
    next = 21 - next;
  }
  Counters(state, t);
  state.counters["flow_ms"] = t.stats.flowMs;
  state.counters["detect_ms"] = t.stats.detectMs;
  state.counters["refine_ms"] = t.stats.refineMs;
}
BENCHMARK(BM_TrackedFrameThroughLens)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Making the lens table of a 640x480 frame (once per calibration and frame size).
void BM_FrameLensTable(benchmark::State& state) {
  std::string error;
  const cv::Matx33d k(535.916, 0, 342.283, 0, 535.916, 235.571, 0, 0, 1);
  const std::optional<CameraLens> lens =
      CameraLens::FromOpenCV(k, {-0.26637, -0.038589, 0.0017832, -0.00028122, 0.23839}, cv::Size(640, 480), error);
  for (auto _ : state) benchmark::DoNotOptimize(FrameLens(*lens));
}
BENCHMARK(BM_FrameLensTable)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
