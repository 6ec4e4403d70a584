// Picture targets at 640x480 on one thread: adding a 1000-pixel picture, and a frame of the picture scene
// with 3 visible pictures among 3 to 10 known ones (the other pictures are absent), as median and 95th
// percentile milliseconds per frame. The pictures are opencv-doc's samples; without them nothing runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/picture_scene.h"
#include "features/robust_model.h"
#include "tracker/target_set.h"

namespace quorl {
namespace {

const std::string kData = "/usr/share/doc/opencv-doc/examples/data/";
// Shown on the table, then known but absent.
const char* const kVisible[] = {"graf1.png", "box.png", "butterfly.jpg"};
const char* const kAbsent[] = {"messi5.jpg", "baboon.jpg", "fruits.jpg", "home.jpg", "building.jpg", "aero1.jpg",
                               "starry_night.jpg"};

cv::Mat Read(const char* name) { return cv::imread(kData + name, cv::IMREAD_COLOR); }

struct SceneFrames {
  std::vector<GrayImage> gray;
  bool ok = false;
};

const SceneFrames& TableFrames() {
  static const SceneFrames frames = [] {
    SceneFrames out;
    std::vector<cv::Mat> pictures;
    std::vector<std::string> names;
    for (const char* name : kVisible) {
      pictures.push_back(Read(name));
      names.push_back(std::filesystem::path(name).stem().string());
      if (pictures.back().empty()) return out;
    }
    std::string error;
    auto scene = PictureScene::Create(640, 480, PictureProfile::kTable, 1, pictures, names, error);
    std::vector<TargetTruth> truth;
    cv::Mat bgr, gray;
    for (int i = 0; i < 300; ++i) {
      scene->render(i, bgr, truth);
      cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
      out.gray.push_back(ToGrayImage(gray));
    }
    out.ok = true;
    return out;
  }();
  return frames;
}

void Add(TargetSet& set, const char* name) {
  const cv::Mat picture = Read(name);
  std::string error;
  const cv::Mat gray = PrepareTargetPicture(picture, name, error);
  if (!gray.empty()) set.Add(std::filesystem::path(name).stem().string(), gray, picture.size(), 0.0, 10);
}

void BM_AddPicture1000(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat picture = Read("graf1.png");
  if (picture.empty()) {
    state.SkipWithError("opencv-doc is not installed");
    return;
  }
  cv::resize(picture, picture, cv::Size(1000, 800), 0, 0, cv::INTER_AREA);
  std::string error;
  for (auto _ : state) {
    TargetSet set;
    set.Add("graf1", PrepareTargetPicture(picture, "graf1", error), picture.size(), 0.0, 10);
    benchmark::DoNotOptimize(set);
  }
}
BENCHMARK(BM_AddPicture1000)->Unit(benchmark::kMillisecond);

// A frame of the table scene with range(0) known pictures, 3 of them visible.
void BM_PictureFrame(benchmark::State& state) {
  cv::setNumThreads(1);
  const SceneFrames& frames = TableFrames();
  if (!frames.ok) {
    state.SkipWithError("opencv-doc is not installed");
    return;
  }
  TargetSet set;
  for (const char* name : kVisible) Add(set, name);
  for (int i = 0; i < state.range(0) - 3; ++i) Add(set, kAbsent[i]);
  DibImage display;
  display.CreateRgbDib(640, 480);
  const CameraSetup camera;
  std::vector<double> ms;
  std::size_t next = 0;
  int found = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    set.Track(frames.gray[next], display, camera);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    ms.push_back(1000.0 * elapsed);
    found += set.found();
    next = (next + 1) % frames.gray.size();
  }
  std::sort(ms.begin(), ms.end());
  state.counters["known"] = static_cast<double>(set.targets().size());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p95_ms"] = ms[ms.size() * 95 / 100];
  state.counters["found_per_frame"] = static_cast<double>(found) / static_cast<double>(ms.size());
}
BENCHMARK(BM_PictureFrame)->Arg(3)->Arg(10)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
