// Frame sources: rendering the synthetic scene (the target is a few ms at 640 x 480) and packing frames.

#include <benchmark/benchmark.h>

#include <string>

#include "capture/synthetic_scene.h"

namespace quorl {
namespace {

std::unique_ptr<SyntheticScene> scene(int w, int h, MotionProfile profile, SceneEffects effects = {}) {
  SceneSettings s;
  s.width = w;
  s.height = h;
  s.profile = profile;
  s.effects = effects;
  std::string error;
  return SyntheticScene::Create(s, error);
}

// Frames spread over the first 20 seconds of the path, so that tilted, near and far views all count.
void renderFrames(benchmark::State& state, MotionProfile profile, SceneEffects effects) {
  auto s = scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), profile, effects);
  cv::Mat frame;
  int i = 0;
  for (auto _ : state) {
    s->render(i, frame);
    benchmark::DoNotOptimize(frame.data);
    i = (i + 7) % 600;
  }
}

void BM_RenderOrbit(benchmark::State& state) { renderFrames(state, MotionProfile::kOrbit, {}); }
void BM_RenderShake(benchmark::State& state) { renderFrames(state, MotionProfile::kShake, {}); }
void BM_RenderOrbitNoiseBlurGain(benchmark::State& state) {
  renderFrames(state, MotionProfile::kOrbit, {4.0, 0.7, 0.15});
}

// What a frame source does per frame: render and pack.
void BM_ReadOrbit(benchmark::State& state) {
  auto s = scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), MotionProfile::kOrbit);
  std::vector<uint8_t> packed;
  for (auto _ : state) {
    s->seek(s->nextIndex() % 600);
    benchmark::DoNotOptimize(s->read(packed));
  }
}

void BM_PackBgrFrame(benchmark::State& state) {
  cv::Mat frame(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)), CV_8UC3, cv::Scalar(1, 2, 3));
  std::vector<uint8_t> packed;
  for (auto _ : state) benchmark::DoNotOptimize(PackBgrFrame(frame, packed));
}

#define QUORL_SIZES Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_RenderOrbit)->QUORL_SIZES;
BENCHMARK(BM_RenderShake)->QUORL_SIZES;
BENCHMARK(BM_RenderOrbitNoiseBlurGain)->QUORL_SIZES;
BENCHMARK(BM_ReadOrbit)->QUORL_SIZES;
BENCHMARK(BM_PackBgrFrame)->Args({320, 240})->Args({640, 480})->Args({641, 481})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
