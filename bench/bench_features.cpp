// Time of the descriptor per keypoint, and of model registration and frame matching.
#include <benchmark/benchmark.h>

#include <vector>

#include "features/descriptor.h"
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

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
