// Time of the descriptor per keypoint, and of model registration and frame matching.
#include <benchmark/benchmark.h>

#include <vector>

#include "features/descriptor.h"
#include "features/matching.h"
#include "features/registration.h"
#include "image/corners.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

void BM_DescribeKeypoint(benchmark::State& state) {
  const GrayImage image = scene::MakeTexturedImage(640, 480, 1);
  const CornerList corners = DetectCorners(image, 10, 20);
  InitDescriptorTables();
  KeypointDescriptor out;
  for (auto _ : state) {
    for (const CornerPoint& c : corners) {
      DescribeKeypoint(image, c.x, c.y, out);
      benchmark::DoNotOptimize(out.data());
    }
  }
  // Seconds per keypoint, printed with an SI prefix (n = nanoseconds).
  state.counters["per_keypoint"] = benchmark::Counter(
      static_cast<double>(corners.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["keypoints"] = static_cast<double>(corners.size());
}
BENCHMARK(BM_DescribeKeypoint)->Unit(benchmark::kMicrosecond);

// A textured frame of the given size, the settings the detection ticks would have reached on it
// (barrier adapted until the corner count is inside the detection band), and a centred target quad
// covering half the picture.
struct Setup {
  GrayImage frame;
  GrayImage nextFrame;  // the target slightly rotated and shifted
  TrackerSettings settings;
  Quad quad;
};

Setup MakeSetup(int width, int height) {
  Setup s;
  s.frame = scene::MakeTexturedImage(width, height, 3);
  s.nextFrame = scene::WarpImage(s.frame, width, height,
                                 scene::InvertAffine(scene::RotationShift(0.04, width / 2.0, height / 2.0, 5, -3)));
  for (int tick = 0; tick < 100; ++tick) {
    const int before = s.settings.barrier;
    const int count = static_cast<int>(DetectCorners(s.frame, s.settings.cornerType + 9, s.settings.barrier).size());
    AdaptBarrier(s.settings, count, kDetectBandLow, kDetectBandHigh);
    if (s.settings.barrier == before) break;
  }
  const int hw = static_cast<int>(width * 0.3536), hh = static_cast<int>(height * 0.3536);  // sqrt(0.5) / 2
  const int cx = width / 2, cy = height / 2;
  s.quad = Quad{{{{cx - hw, cy - hh}, {cx + hw, cy - hh}, {cx + hw, cy + hh}, {cx - hw, cy + hh}}}};
  return s;
}

void BM_RegisterFrame(benchmark::State& state) {
  const Setup s = MakeSetup(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  ModelRecord model;
  for (auto _ : state) {
    ResetModel(model);
    RegisterFrame(model, s.quad, s.frame, s.settings);
  }
  state.counters["barrier"] = s.settings.barrier;
  state.counters["model_points"] = static_cast<double>(model.modelKeypoints.size());
}
BENCHMARK(BM_RegisterFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

void BM_TrackFrame(benchmark::State& state) {
  const Setup s = MakeSetup(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  ModelRecord model;
  RegisterFrame(model, s.quad, s.frame, s.settings);
  for (auto _ : state) {
    TrackerSettings settings = s.settings;
    TrackFrame(model, s.nextFrame, settings);
  }
  state.counters["model_points"] = static_cast<double>(model.modelKeypoints.size());
  state.counters["frame_corners"] = static_cast<double>(model.frameCorners.size());
  state.counters["matches"] = static_cast<double>(model.matchMap.size());
}
BENCHMARK(BM_TrackFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
