// Picture libraries: preparing a 1000-pixel picture on one core, building a library on every core, and loading a
// library of 1000 pictures into a set (the file read and checked, the records decoded, the set's search structure
// built), with the file's bytes per picture; and a frame of the picture scene at 640x480 on one core, three of the
// library's pictures in view among 10 to 1000 known. The pictures are procedural (MakeSamplePicture), 1000 pixels
// on their longer side in four shapes; the 1000-picture library is built once and kept in the system's temporary
// folder (QUORL_BENCH_LIBRARY names another file).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/picture_scene.h"

#include "features/picture_target.h"
#include "library/picture_library.h"
#include "tests/library/sample_pictures.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

namespace fs = std::filesystem;

constexpr int kLibraryPictures = 1000;

cv::Mat Picture(int i) {
  const cv::Size shapes[] = {{1000, 750}, {750, 1000}, {1000, 1000}, {1000, 560}};
  return MakeSamplePicture(static_cast<uint32_t>(i), shapes[i % 4]);
}

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The process's processor time in ms, over all its threads: on a machine others use, what the work itself took.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// Pictures 0..n-1 as PNG files in a folder of their own.
std::vector<LibraryInput> PictureFiles(const fs::path& dir, int n) {
  fs::create_directories(dir);
  std::vector<LibraryInput> inputs;
  for (int i = 0; i < n; ++i) {
    const fs::path file = dir / ("picture" + std::to_string(i) + ".png");
    if (!fs::exists(file)) cv::imwrite(file.string(), Picture(i));
    inputs.push_back({file.string(), file.stem().string(), 0.0});
  }
  return inputs;
}

// One picture's target on one core, as adding it builds it.
void BM_PreparePicture(benchmark::State& state) {
  cv::setNumThreads(1);
  std::vector<cv::Mat> gray;
  for (int i = 0; i < 8; ++i) {
    std::string error;
    gray.push_back(PrepareTargetPicture(Picture(i), "bench", error));
  }
  InitDescriptorTables();
  std::size_t k = 0;
  for (auto _ : state) {
    const cv::Mat& g = gray[k++ % gray.size()];
    benchmark::DoNotOptimize(BuildPictureTarget("bench", g, g.size(), 0.0, 10));
  }
  state.SetLabel("ms per picture, one core");
}
BENCHMARK(BM_PreparePicture)->Unit(benchmark::kMillisecond)->Iterations(16)->UseRealTime();

// quorl-library build's work for 16 picture files (read, prepared, encoded) on `jobs` threads: wall time per picture.
void BM_BuildLibrary(benchmark::State& state) {
  const auto inputs = PictureFiles(fs::temp_directory_path() / "quorl-bench-library-pictures", 16);
  const int jobs = static_cast<int>(state.range(0));
  double ms = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(EncodePictureLibrary(BuildLibraryTargets(inputs, 10, jobs, nullptr)));
    ms += MsSince(start);
  }
  state.counters["ms_per_picture"] = ms / static_cast<double>(state.iterations() * inputs.size());
  state.SetLabel(std::to_string(jobs) + " jobs on " + std::to_string(std::thread::hardware_concurrency()) + " cores");
}
BENCHMARK(BM_BuildLibrary)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The 1000-picture library, built on every core when it is not there yet.
const std::string& LibraryFile() {
  static const std::string path = [] {
    const char* given = std::getenv("QUORL_BENCH_LIBRARY");
    const std::string file =
        given ? given : (fs::temp_directory_path() / "quorl-bench-1000.qlib").string();
    std::string error;
    if (fs::exists(file) && ReadPictureLibrary(file, error)) return file;
    std::fprintf(stderr, "building %s from %d pictures (once)...\n", file.c_str(), kLibraryPictures);
    const auto inputs = PictureFiles(fs::temp_directory_path() / "quorl-bench-library-pictures", kLibraryPictures);
    const auto targets = BuildLibraryTargets(inputs, 10, static_cast<int>(std::thread::hardware_concurrency()),
                                             [](std::size_t i, const PictureTarget*, const std::string& e) {
                                               if (!e.empty()) std::fprintf(stderr, "%s\n", e.c_str());
                                               if (i % 100 == 0) std::fprintf(stderr, "  picture %zu\n", i);
                                             });
    if (!WritePictureLibrary(file, targets, error)) std::fprintf(stderr, "%s\n", error.c_str());
    return file;
  }();
  return path;
}

// Loading the 1000 pictures into an empty set: the file read and decoded, then the set's search structure built;
// wall and processor (every thread's) time of each.
void BM_Load1000Pictures(benchmark::State& state) {
  const std::string& file = LibraryFile();
  double readMs = 0.0, indexMs = 0.0, readCpu = 0.0, indexCpu = 0.0;
  std::size_t pictures = 0;
  for (auto _ : state) {
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    std::optional<PictureLibrary> library = ReadPictureLibrary(file, error);
    readMs += MsSince(start);
    readCpu += CpuMs() - cpu;
    if (!library) {
      state.SkipWithError(error.c_str());
      return;
    }
    pictures = library->targets.size();
    const auto indexing = std::chrono::steady_clock::now();
    const double indexingCpu = CpuMs();
    TargetSet set;
    set.AddPrepared(std::move(library->targets), std::move(library->forest));
    set.Index();
    indexMs += MsSince(indexing);
    indexCpu += CpuMs() - indexingCpu;
    state.PauseTiming();
    set.Clear();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["pictures"] = static_cast<double>(pictures);
  state.counters["read_ms"] = readMs / n;
  state.counters["index_ms"] = indexMs / n;
  state.counters["read_cpu_ms"] = readCpu / n;
  state.counters["index_cpu_ms"] = indexCpu / n;
  state.counters["kB_per_picture"] =
      static_cast<double>(fs::file_size(file)) / 1024.0 / static_cast<double>(std::max<std::size_t>(1, pictures));
}
BENCHMARK(BM_Load1000Pictures)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Frames of the picture scene with `profile` showing the library's first three pictures, and whether each is
// wholly in view.
struct SceneRun {
  std::vector<GrayImage> gray;
  std::vector<std::vector<uint8_t>> whole;
};
constexpr int kShown = 3, kSceneFrames = 600;
SceneRun RenderScene(PictureProfile profile) {
  std::vector<cv::Mat> pictures;
  std::vector<std::string> names;
  for (int i = 0; i < kShown; ++i) {
    pictures.push_back(Picture(i));
    names.push_back("picture" + std::to_string(i));
  }
  std::string error;
  auto scene = PictureScene::Create(640, 480, profile, 1, pictures, names, error);
  SceneRun out;
  std::vector<TargetTruth> truth;
  cv::Mat bgr, gray;
  for (int f = 0; scene && f < kSceneFrames; ++f) {
    scene->render(f, bgr, truth);
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    out.gray.push_back(ToGrayImage(gray));
    out.whole.emplace_back();
    for (const TargetTruth& t : truth) out.whole.back().push_back(t.whole);
  }
  return out;
}

// 600 frames of the table scene (range(1) 0) or of the return scene (1: the first picture leaves the view and comes
// back every 8 s) showing the library's first three pictures, with its first range(0) pictures known, on one core:
// median and 95th percentile ms per frame (wall and processor time), the frames until each shown picture is first
// found, the most frames a shown picture wholly in view again waited to be found, the shown pictures found per
// frame, and frames on which a picture not in view was reported (false finds).
void BM_SearchFrame(benchmark::State& state) {
  cv::setNumThreads(1);
  static const std::vector<PictureTarget> library = [] {
    std::string error;
    std::optional<PictureLibrary> read = ReadPictureLibrary(LibraryFile(), error);
    if (!read) std::fprintf(stderr, "%s\n", error.c_str());
    return read ? std::move(read->targets) : std::vector<PictureTarget>{};
  }();
  static const SceneRun scenes[] = {RenderScene(PictureProfile::kTable), RenderScene(PictureProfile::kReturn)};
  const SceneRun& run = scenes[state.range(1)];
  const std::size_t known = static_cast<std::size_t>(state.range(0));
  if (library.size() < known || run.gray.empty()) {
    state.SkipWithError("no library or no scene");
    return;
  }
  TargetSet set;
  set.AddPrepared(std::vector<PictureTarget>(library.begin(), library.begin() + static_cast<std::ptrdiff_t>(known)));
  set.Index();
  DibImage display;
  display.CreateRgbDib(640, 480);
  const CameraSetup camera;
  std::vector<double> ms, cpuMs;
  std::vector<int> first(kShown, -1), waiting(kShown, 0);
  int found = 0, falseFrames = 0, frame = 0, longestWait = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    set.Track(run.gray[static_cast<std::size_t>(frame)], display, camera);
    cpuMs.push_back(CpuMs() - cpu);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    ms.push_back(1000.0 * elapsed);
    bool wrong = false;
    for (std::size_t i = 0; i < set.targets().size(); ++i) {
      const bool tracked = set.targets()[i].state == TrackingState::Tracking;
      if (i >= kShown) {
        wrong = wrong || tracked;
        continue;
      }
      found += tracked;
      if (tracked && first[i] < 0) first[i] = frame;
      // Frames in whole view without being found, once it has been found before.
      waiting[i] = tracked || !run.whole[static_cast<std::size_t>(frame)][i] ? 0 : waiting[i] + (first[i] >= 0);
      longestWait = std::max(longestWait, waiting[i]);
    }
    falseFrames += wrong;
    ++frame;
  }
  std::sort(ms.begin(), ms.end());
  std::sort(cpuMs.begin(), cpuMs.end());
  state.counters["known"] = static_cast<double>(known);
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p95_ms"] = ms[ms.size() * 95 / 100];
  state.counters["median_cpu_ms"] = cpuMs[cpuMs.size() / 2];
  state.counters["p95_cpu_ms"] = cpuMs[cpuMs.size() * 95 / 100];
  state.counters["found_per_frame"] = static_cast<double>(found) / static_cast<double>(ms.size());
  state.counters["false_frames"] = falseFrames;
  state.counters["longest_wait"] = longestWait;
  for (int i = 0; i < kShown; ++i) state.counters["first_find_" + std::to_string(i)] = first[i];
}
BENCHMARK(BM_SearchFrame)
    ->ArgsProduct({{10, 100, 1000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(kSceneFrames)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
