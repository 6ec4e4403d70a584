// quorl-track: the tracker without a window. Feeds frames from a source through the frame loop the way a
// user at the desktop would (live detection, Register Frame with four clicks, then tracking) and reports
// per-frame results and a summary.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "camera/camera_setup.h"
#include "capture/open_source.h"
#include "geometry/homography.h"
#include "tools/track_options.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

constexpr const char* kUsage = R"(Usage: quorl-track [options]
Runs the tracker headless: detection ticks up to the registration frame, Register Frame with four
corners, then one tracked tick per frame. Prints a summary; optionally a per-frame CSV and pictures.

  --source S          synthetic[:PROFILE] (default synthetic), camera:N, auto, a video file,
                      or an image pattern such as frames/%04d.png
  --size WxH          frame size (default 320x240)
  --frames N          frames to process (default 300; files and sequences: to their end)
  --seed S            seed of the synthetic scene (default 1)
  --register-frame K  frame to register the target on (default 0)
  --warmup N          detection ticks on frame K before registering (default 30)
  --corners x0,y0,x1,y1,x2,y2,x3,y3
                      the target's corners on frame K, clockwise (default for the synthetic scene:
                      its true corners)
  --camera-params P   camera parameter file (default Data/camera_param.dat)
  --corner-type T     FAST variant 0..3 for FAST-9..FAST-12 (default 1)
  --barrier B         initial detector threshold (default 40)
  --reregister-every N  register again every N frames after K (default never)
  --csv PATH          one row per frame from frame K on
  --save-display DIR  PNG of each displayed picture, with its green quad
  --quiet             no summary
  --help              this text
)";

struct Args {
  std::string source = "synthetic";
  FrameSize size{320, 240};
  std::optional<long long> frames;
  uint32_t seed = 1;
  long long registerFrame = 0;
  long long warmup = 30;
  std::optional<Quad> corners;
  std::string cameraParams = "Data/camera_param.dat";
  int cornerType = 1;
  int barrier = 40;
  long long reregisterEvery = 0;
  std::string csv;
  std::string saveDisplay;
  bool quiet = false;
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
      std::cout << kUsage;
      return 0;
    }
    if (opt == "--quiet") {
      a.quiet = true;
      continue;
    }
    static const char* const kValueOptions[] = {"--source", "--size", "--frames", "--seed", "--register-frame",
                                                "--warmup", "--corners", "--camera-params", "--corner-type",
                                                "--barrier", "--reregister-every", "--csv", "--save-display"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), opt) == std::end(kValueOptions))
      return usageError("unknown option " + opt);
    if (i + 1 >= argc) return usageError("option " + opt + " needs a value");
    const std::string v = argv[++i];
    auto count = [&](long long limit, long long& out) {
      const auto c = ParseCount(v, limit);
      if (c) out = *c;
      return c.has_value();
    };
    long long n = 0;
    if (opt == "--source") {
      a.source = v;
    } else if (opt == "--size") {
      const auto s = ParseFrameSize(v);
      if (!s) return usageError("--size wants WxH with sides of " + std::to_string(kMinFrameSide) + " to " +
                                std::to_string(kMaxFrameSide) + ", not '" + v + "'");
      a.size = *s;
    } else if (opt == "--frames") {
      if (!count(1LL << 40, n)) return usageError("--frames wants a count, not '" + v + "'");
      a.frames = n;
    } else if (opt == "--seed") {
      if (!count(0xFFFFFFFFLL, n)) return usageError("--seed wants a number 0..4294967295, not '" + v + "'");
      a.seed = static_cast<uint32_t>(n);
    } else if (opt == "--register-frame") {
      if (!count(1LL << 40, a.registerFrame)) return usageError("--register-frame wants a frame number, not '" + v + "'");
    } else if (opt == "--warmup") {
      if (!count(100000, a.warmup)) return usageError("--warmup wants a count up to 100000, not '" + v + "'");
    } else if (opt == "--corners") {
      a.corners = ParseCorners(v);
      if (!a.corners) return usageError("--corners wants eight integers x0,y0,x1,y1,x2,y2,x3,y3, not '" + v + "'");
    } else if (opt == "--camera-params") {
      a.cameraParams = v;
    } else if (opt == "--corner-type") {
      if (!count(3, n)) return usageError("--corner-type wants 0..3, not '" + v + "'");
      a.cornerType = static_cast<int>(n);
    } else if (opt == "--barrier") {
      const auto b = ParseCount(v[0] == '-' ? v.substr(1) : v, 255);
      if (!b) return usageError("--barrier wants an integer -255..255, not '" + v + "'");
      a.barrier = static_cast<int>(v[0] == '-' ? -*b : *b);
    } else if (opt == "--reregister-every") {
      if (!count(1LL << 40, a.reregisterEvery)) return usageError("--reregister-every wants a count, not '" + v + "'");
    } else if (opt == "--csv") {
      a.csv = v;
    } else if (opt == "--save-display") {
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

double cornerError(const Quad& quad, const FrameCorners& truth) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += std::hypot(quad.pt[i].x - truth[i].x, quad.pt[i].y - truth[i].y);
  return sum / 4.0;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  const auto k = static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
  return v[k];
}

Quad roundedCorners(const FrameCorners& c) {
  Quad q;
  for (int i = 0; i < 4; ++i)
    q.pt[i] = {static_cast<int32_t>(std::floor(c[i].x + 0.5)), static_cast<int32_t>(std::floor(c[i].y + 0.5))};
  return q;
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
  FrameSourceOptions options;
  options.width = a.size.width;
  options.height = a.size.height;
  options.seed = a.seed;
  options.loop = false;
  if (auto param = CameraParam{}; readCameraParamPath(a.cameraParams, param) == CameraFileStatus::Ok) {
    if (const auto k = cameraIntrinsicsForFrame(param, a.size.width, a.size.height))
      options.intrinsics = PinholeIntrinsics{k->fx, k->fy, k->cx, k->cy};
  }
  std::unique_ptr<FrameSource> source = OpenFrameSource(a.source, options, error);
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

  std::ofstream csv;
  if (!a.csv.empty()) {
    csv.open(a.csv);
    if (!csv) {
      std::cerr << "quorl-track: cannot write " << a.csv << "\n";
      return 1;
    }
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

  bool headerWritten = false;
  auto writeRow = [&](long long index, const Quad& quad, std::size_t keypoints, std::size_t matches,
                      std::size_t inliers, float ms, const std::optional<FrameCorners>& truth) {
    if (!csv.is_open()) return;
    if (!headerWritten) {
      csv << "frame,modelActive,quad_x0,quad_y0,quad_x1,quad_y1,quad_x2,quad_y2,quad_x3,quad_y3,"
             "keypoints,matches,inliers,barrier,ms,frameRate";
      if (truth) csv << ",gt_x0,gt_y0,gt_x1,gt_y1,gt_x2,gt_y2,gt_x3,gt_y3,err_px";
      csv << "\n";
      headerWritten = true;
    }
    csv << index << ',' << state.modelActive;
    for (const CornerPoint& c : quad.pt) csv << ',' << c.x << ',' << c.y;
    csv << ',' << keypoints << ',' << matches << ',' << inliers << ',' << platform.values.barrier << ',' << ms
        << ',' << platform.values.frameRate;
    if (truth) {
      for (const cv::Point2d& c : *truth) csv << ',' << c.x << ',' << c.y;
      csv << ',' << cornerError(quad, *truth);
    }
    csv << "\n";
  };

  auto registerOn = [&](long long index) -> bool {
    Quad corners;
    if (a.corners && index == a.registerFrame) {
      corners = *a.corners;
    } else if (const auto truth = source->trueCorners()) {
      corners = roundedCorners(*truth);
    } else {
      std::cerr << "quorl-track: this source does not know where the target is; give --corners\n";
      return false;
    }
    for (long long w = 0; w < a.warmup; ++w) tick(state, platform);
    beginRegistration(state, platform);
    for (const CornerPoint& c : corners.pt) addClick(state, c.x, c.y, platform);
    writeRow(index, state.clicks, state.model.modelKeypoints.size(), 0, 0, 0.0f, source->trueCorners());
    return true;
  };

  long long tracked = 0, within5 = 0, within10 = 0, withTruth = 0;
  std::vector<double> errors, times;
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
      const auto truth = source->trueCorners();
      const bool ok = state.model.missCount == 0;
      tracked += ok;
      times.push_back(state.elapsedMs);
      if (truth) {
        const double err = cornerError(state.model.currentQuad, *truth);
        ++withTruth;
        within5 += err < 5.0;
        within10 += err < 10.0;
        if (ok) errors.push_back(err);
      }
      writeRow(index, state.model.currentQuad, static_cast<std::size_t>(platform.values.keypointCount),
               state.model.matchMap.size(), state.model.inlierMap.size(), state.elapsedMs, truth);
    }
    if (!a.saveDisplay.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "%06lld.png", index);
      const cv::Mat picture = UnpackFrame(state.display.dib(), static_cast<std::size_t>(state.display.dibSize()));
      cv::imwrite((std::filesystem::path(a.saveDisplay) / name).string(), picture);
    }
    progress.update(index + 1);
  }
  if (index <= a.registerFrame) {
    std::cerr << "quorl-track: the source ended after " << index << " frames, before the registration frame "
              << a.registerFrame << "\n";
    return 1;
  }
  ReleaseIndex(state.model.keypointIndex);
  if (!a.quiet) {
    const long long after = static_cast<long long>(times.size());
    std::printf("source: %s\n", source->description().c_str());
    std::printf("frames: %lld, registered on frame %lld with %zu model points\n", index, a.registerFrame,
                state.model.modelKeypoints.size());
    std::printf("tracked: %lld of %lld frames after registration\n", tracked, after);
    if (withTruth > 0) {
      std::printf("within 5 px: %lld (%.1f%%), within 10 px: %lld (%.1f%%)\n", within5, 100.0 * within5 / withTruth,
                  within10, 100.0 * within10 / withTruth);
      double mean = 0.0;
      for (double e : errors) mean += e;
      std::printf("corner error of tracked frames: mean %.2f px, 95th percentile %.2f px\n",
                  errors.empty() ? std::nan("") : mean / static_cast<double>(errors.size()), percentile(errors, 0.95));
    }
    std::printf("ms per tracked frame: median %.2f, 95th percentile %.2f\n", percentile(times, 0.5),
                percentile(times, 0.95));
  }
  return 0;
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  quorl::Args args;
  if (const auto code = quorl::parseArgs(argc, argv, args)) return *code;
  return quorl::run(args);
}
