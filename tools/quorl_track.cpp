// quorl-track: the tracker without a window. Feeds frames from a source through the frame loop the way a
// user at the desktop would (live detection, Register Frame with four clicks, then tracking) and reports
// per-frame results and a summary.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "capture/open_source.h"
#include "geometry/homography.h"
#include "tools/track_options.h"
#include "tools/track_report.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

constexpr const char* kUsageHead = R"(Usage: quorl-track [options]
Runs the tracker headless: detection ticks up to the registration frame, Register Frame with four
corners, then one tracked tick per frame. Prints a summary; optionally a per-frame CSV and pictures.

)";
constexpr const char* kUsageOwn = R"(  --warmup N          detection ticks on frame K before registering (default 30)
  --corner-type T     FAST variant 0..3 for FAST-9..FAST-12 (default 1)
  --barrier B         initial detector threshold (default 40)
  --reregister-every N  register again every N frames after K (default never)
  --memory-every N    print the resident memory every N frames and at the end
  --save-display DIR  PNG of each displayed picture, with its green quad
  --list-profiles     the synthetic scene's motion profiles, one per line
  --help              this text
)";

struct Args : TrackArgs {
  long long warmup = 30;
  int cornerType = 1;
  int barrier = 40;
  long long reregisterEvery = 0;
  long long memoryEvery = 0;
  std::string saveDisplay;
};

int usageError(const std::string& text) {
  std::cerr << "quorl-track: " << text << "\nTry 'quorl-track --help'.\n";
  return 2;
}

// Returns an exit code when the program should stop (help or a bad option), else nothing.
std::optional<int> parseArgs(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::cout << kUsageHead << TrackArgsUsage() << kUsageOwn << "\n" << kTrackCsvUsage;
      return 0;
    }
    if (opt == "--list-profiles") {
      for (const MotionProfile profile : AllMotionProfiles()) std::cout << MotionProfileName(profile) << "\n";
      return 0;
    }
    if (const auto message = ReadTrackOption(argc, argv, i, a)) {
      if (!message->empty()) return usageError(*message);
      continue;
    }
    static const char* const kOwnOptions[] = {"--warmup", "--corner-type", "--barrier", "--reregister-every",
                                              "--memory-every", "--save-display"};
    if (std::find(std::begin(kOwnOptions), std::end(kOwnOptions), opt) == std::end(kOwnOptions))
      return usageError("unknown option " + opt);
    if (i + 1 >= argc) return usageError("option " + opt + " needs a value");
    const std::string v = argv[++i];
    long long n = 0;
    auto count = [&](long long limit) {
      const auto c = ParseCount(v, limit);
      if (c) n = *c;
      return c.has_value();
    };
    if (opt == "--warmup") {
      if (!count(100000)) return usageError("--warmup wants a count up to 100000, not '" + v + "'");
      a.warmup = n;
    } else if (opt == "--corner-type") {
      if (!count(3)) return usageError("--corner-type wants 0..3, not '" + v + "'");
      a.cornerType = static_cast<int>(n);
    } else if (opt == "--barrier") {
      const bool negative = !v.empty() && v[0] == '-';
      const auto b = ParseCount(negative ? v.substr(1) : v, 255);
      if (!b) return usageError("--barrier wants an integer -255..255, not '" + v + "'");
      a.barrier = static_cast<int>(negative ? -*b : *b);
    } else if (opt == "--reregister-every") {
      if (!count(1LL << 40)) return usageError("--reregister-every wants a count, not '" + v + "'");
      a.reregisterEvery = n;
    } else if (opt == "--memory-every") {
      if (!count(1LL << 40) || n == 0) return usageError("--memory-every wants a positive count, not '" + v + "'");
      a.memoryEvery = n;
    } else {
      a.saveDisplay = v;
    }
  }
  return std::nullopt;
}

// The host of the frame loop: hands over the frame read last and prints messages on standard error.
class HeadlessPlatform final : public TrackerPlatform {
 public:
  std::vector<uint8_t> packed;
  TrackerSettings values;

  bool hasCapture() const override { return true; }
  bool grabFrame(const uint8_t*& data, std::size_t& byteCount) override {
    if (packed.empty()) return false;
    data = packed.data();
    byteCount = packed.size();
    return true;
  }
  void startTick() override {}
  void stopTick() override {}
  void requestRepaint() override {}
  TrackerSettings& settings() override { return values; }
  void refreshSettingsDisplay() override {}
  void report(const std::string& text) override { std::cerr << "quorl-track: " << text << "\n"; }
};

// Resident set size of this process in KiB (second field of /proc/self/statm, in pages); -1 if unreadable.
long long residentKiB() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long long size = 0, resident = -1;
  if (std::fscanf(statm, "%lld %lld", &size, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident memory, and the bytes the C heap has handed out and not had back (growth there is a leak or a
// growing container; resident memory also grows as big buffers are first touched).
void printMemory(long long frames) {
  const struct mallinfo2 heap = mallinfo2();
  std::printf("memory: %lld frames, resident %lld KiB, heap in use %zu KiB\n", frames, residentKiB(),
              (heap.uordblks + heap.hblkhd) / 1024);
  std::fflush(stdout);
}

class ProgressBar {
 public:
  explicit ProgressBar(long long total) : total_(total), enabled_(total > 0 && isatty(STDERR_FILENO)) {}
  void update(long long done) {
    if (!enabled_) return;
    const int percent = static_cast<int>(100 * done / total_);
    if (percent == last_) return;
    last_ = percent;
    const int filled = percent / 4;
    std::fprintf(stderr, "\r[%-25s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(), percent);
    if (done >= total_) std::fputc('\n', stderr);
  }

 private:
  long long total_;
  bool enabled_;
  int last_ = -1;
};

int run(const Args& a) {
  std::string error;
  std::unique_ptr<FrameSource> source =
      OpenTrackSource(a.source, a.size.width, a.size.height, a.seed, a.targetImage, a.cameraParams, error);
  if (!source) {
    std::cerr << "quorl-track: " << error << "\n";
    return 1;
  }
  const int known = source->frameCount();
  long long total = a.frames.value_or(known >= 0 ? known : 300);
  if (known >= 0) total = std::min<long long>(total, known);
  if (a.registerFrame >= total) {
    std::cerr << "quorl-track: registration frame " << a.registerFrame << " is past the end (" << total
              << " frames)\n";
    return 1;
  }
  TrackCsv csv;
  if (!a.csv.empty() && !csv.Open(a.csv)) {
    std::cerr << "quorl-track: cannot write " << a.csv << "\n";
    return 1;
  }
  if (!a.saveDisplay.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(a.saveDisplay, ec);
    if (ec) {
      std::cerr << "quorl-track: cannot create " << a.saveDisplay << ": " << ec.message() << "\n";
      return 1;
    }
  }

  HeadlessPlatform platform;
  platform.values.cornerType = a.cornerType;
  platform.values.barrier = a.barrier;
  TrackerState state;
  loadCamera(state, a.cameraParams, source->width(), source->height(), platform);
  initialise(state, source->width(), source->height());

  // Every frame from the registration frame on is one CSV row and one count of the summary. The summary
  // keeps every frame's time and error; a quiet run prints none and keeps none.
  TrackSummary summary;
  auto record = [&](const TrackRow& row, bool registration) {
    csv.Write(row);
    if (!a.quiet) summary.Add(row, registration);
  };

  // As at the desktop: watch the live picture for a while, then Register Frame and four clicks.
  auto registerOn = [&](long long index) -> bool {
    Quad corners;
    if (a.corners && index == a.registerFrame) {
      corners = *a.corners;
    } else if (const auto truth = source->trueCorners()) {
      corners = RoundedCorners(*truth);
    } else {
      std::cerr << "quorl-track: this source does not know where the target is; give --corners\n";
      return false;
    }
    for (long long w = 0; w < a.warmup; ++w) tick(state, platform);
    beginRegistration(state, platform);
    for (const CornerPoint& c : corners.pt) addClick(state, c.x, c.y, platform);
    record(TrackRow{index, state.modelActive, state.clicks, state.model.modelKeypoints.size(), 0, 0,
                    platform.values.barrier, 0.0f, platform.values.frameRate, state.trackingState,
                    source->trueCorners()},
           true);
    return true;
  };

  ProgressBar progress(total);
  long long index = 0;
  for (; index < total; ++index) {
    if (!source->read(platform.packed)) break;
    const bool registering =
        index == a.registerFrame ||
        (a.reregisterEvery > 0 && index > a.registerFrame && (index - a.registerFrame) % a.reregisterEvery == 0);
    if (registering) {
      if (!state.frame.SetPackedDib(platform.packed.data(), platform.packed.size())) continue;
      state.display = state.frame;
      if (!registerOn(index)) return 1;
    } else {
      tick(state, platform);
    }
    if (index > a.registerFrame && !registering) {
      record(TrackRow{index, state.modelActive, state.model.currentQuad,
                      static_cast<std::size_t>(platform.values.keypointCount), state.model.matchMap.size(),
                      state.model.inlierMap.size(), platform.values.barrier, state.elapsedMs,
                      platform.values.frameRate, state.trackingState, source->trueCorners()},
             false);
    }
    if (!a.saveDisplay.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "%06lld.png", index);
      const cv::Mat picture = UnpackFrame(state.display.dib(), static_cast<std::size_t>(state.display.dibSize()));
      cv::imwrite((std::filesystem::path(a.saveDisplay) / name).string(), picture);
    }
    progress.update(index + 1);
    if (a.memoryEvery > 0 && (index + 1) % a.memoryEvery == 0) printMemory(index + 1);
  }
  if (index <= a.registerFrame) {
    std::cerr << "quorl-track: the source ended after " << index << " frames, before the registration frame "
              << a.registerFrame << "\n";
    return 1;
  }
  ReleaseIndex(state.model.keypointIndex);
  if (a.memoryEvery > 0 && index % a.memoryEvery != 0) printMemory(index);
  if (!a.quiet) summary.Print(source->description(), index, a.registerFrame, state.model.modelKeypoints.size());
  return 0;
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  quorl::Args args;
  if (const auto code = quorl::parseArgs(argc, argv, args)) return *code;
  return quorl::run(args);
}
