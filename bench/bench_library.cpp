// Picture libraries: preparing a 1000-pixel picture on one core, building a library on every core, and loading a
// library of 1000 pictures into a set (the file read and checked, the records decoded, the set's search structure
// built), with the file's bytes per picture. The pictures are procedural (MakeSamplePicture), 1000 pixels on their
// longer side in four shapes; the 1000-picture library is built once and kept in the system's temporary folder
// (QUORL_BENCH_LIBRARY names another file).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "features/picture_target.h"
#include "library/picture_library.h"
#include "tests/library/sample_pictures.h"

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

// Loading the 1000 pictures into an empty set: the file read and decoded, then the set's search structure built.
void BM_Load1000Pictures(benchmark::State& state) {
  const std::string& file = LibraryFile();
  double readMs = 0.0, indexMs = 0.0;
  std::size_t pictures = 0;
  for (auto _ : state) {
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::vector<PictureTarget>> targets = ReadPictureLibrary(file, error);
    readMs += MsSince(start);
    if (!targets) {
      state.SkipWithError(error.c_str());
      return;
    }
    pictures = targets->size();
    const auto indexing = std::chrono::steady_clock::now();
    TargetSet set;
    set.AddPrepared(std::move(*targets));
    indexMs += MsSince(indexing);
    state.PauseTiming();
    set.Clear();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["pictures"] = static_cast<double>(pictures);
  state.counters["read_ms"] = readMs / n;
  state.counters["index_ms"] = indexMs / n;
  state.counters["kB_per_picture"] =
      static_cast<double>(fs::file_size(file)) / 1024.0 / static_cast<double>(std::max<std::size_t>(1, pictures));
}
BENCHMARK(BM_Load1000Pictures)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace quorl

BENCHMARK_MAIN();
