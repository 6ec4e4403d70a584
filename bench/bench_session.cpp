// Recorded sessions: what a recorded frame costs (PNG at the writer's level, and FFV1 in Matroska for
// comparison), the recording as the caller sees it (AddFrame with the worker writing), and a replayed
// frame read back. Frames of the synthetic scene's orbit, on one thread.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "capture/synthetic_scene.h"
#include "session/session_reader.h"
#include "session/session_writer.h"

namespace quorl {
namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 30;

std::unique_ptr<SyntheticScene> orbit(benchmark::State& state) {
  SceneSettings s;
  s.width = static_cast<int>(state.range(0));
  s.height = static_cast<int>(state.range(1));
  std::string error;
  return SyntheticScene::Create(s, error);
}

std::vector<cv::Mat> frames(benchmark::State& state) {
  auto scene = orbit(state);
  std::vector<cv::Mat> out(kFrames);
  for (int i = 0; i < kFrames; ++i) scene->render(i * 5, out[static_cast<std::size_t>(i)]);
  return out;
}

fs::path scratch(const char* name) {
  return fs::temp_directory_path() / ("quorl_bench_" + std::string(name) + "_" + std::to_string(::getpid()));
}

void BM_PngFrame(benchmark::State& state) {
  const std::vector<cv::Mat> bgr = frames(state);
  std::vector<uchar> png;
  std::size_t bytes = 0;
  int i = 0;
  for (auto _ : state) {
    cv::imencode(".png", bgr[static_cast<std::size_t>(i++ % kFrames)], png,
                 {cv::IMWRITE_PNG_COMPRESSION, SessionWriter::kPngCompression});
    bytes += png.size();
  }
  state.counters["KiB/frame"] = static_cast<double>(bytes) / 1024.0 / static_cast<double>(state.iterations());
}

void BM_Ffv1Frame(benchmark::State& state) {
  const std::vector<cv::Mat> bgr = frames(state);
  const fs::path file = scratch("ffv1").string() + ".mkv";
  cv::VideoWriter writer(file.string(), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 30,
                         bgr[0].size());
  if (!writer.isOpened()) {
    state.SkipWithError("no FFV1 writer in this OpenCV");
    return;
  }
  int i = 0;
  for (auto _ : state) writer.write(bgr[static_cast<std::size_t>(i++ % kFrames)]);
  writer.release();
  state.counters["KiB/frame"] =
      static_cast<double>(fs::file_size(file)) / 1024.0 / static_cast<double>(state.iterations());
  fs::remove(file);
}

// The caller's time per frame with the worker writing: the copy and queueing while the queue has room, the
// worker's pace once it is full.
void BM_RecordFrame(benchmark::State& state) {
  auto scene = orbit(state);
  std::vector<std::vector<uint8_t>> packed(kFrames);
  for (auto& p : packed) scene->read(p);
  const fs::path dir = scratch("record");
  fs::remove_all(dir);
  SessionWriter writer;
  std::string error;
  if (!writer.Open(dir.string(), "bench", error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  int i = 0;
  for (auto _ : state) {
    const auto& p = packed[static_cast<std::size_t>(i++ % kFrames)];
    if (!writer.AddFrame(p.data(), p.size(), *scene, error)) state.SkipWithError(error.c_str());
  }
  if (!writer.Finish(error)) state.SkipWithError(error.c_str());
  fs::remove_all(dir);
}

void BM_ReplayFrame(benchmark::State& state) {
  auto scene = orbit(state);
  const fs::path dir = scratch("replay");
  fs::remove_all(dir);
  std::string error;
  {
    SessionWriter writer;
    writer.Open(dir.string(), "bench", error);
    std::vector<uint8_t> p;
    for (int i = 0; i < kFrames && scene->read(p); ++i) writer.AddFrame(p.data(), p.size(), *scene, error);
    if (!writer.Finish(error)) state.SkipWithError(error.c_str());
  }
  const std::optional<SessionInfo> info = ReadSession(dir.string(), error);
  if (!info) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<SessionSource> source;
  std::vector<uint8_t> packed;
  int i = 0;
  for (auto _ : state) {
    if (i++ % kFrames == 0) source = std::make_unique<SessionSource>(dir.string(), *info);
    source->read(packed);
  }
  fs::remove_all(dir);
}

BENCHMARK(BM_PngFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ffv1Frame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReplayFrame)->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
