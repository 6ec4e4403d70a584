// orb-track: a reference tracker built from OpenCV's ORB features, to compare quorl-track against. It reads
// the same sources, registers the same corners on the same frame, applies the same quad mapping, check and
// hold rule, and writes the same CSV columns and summary lines.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera/camera_param.h"
#include "camera/camera_setup.h"
#include "capture/open_source.h"
#include "geometry/quad.h"
#include "tools/track_options.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

// ORB features kept per picture, for the registered region and for every frame alike.
constexpr int kOrbFeatures = 1000;
// Lowe's ratio test: a match counts when its best Hamming distance is below this share of the second best.
constexpr float kRatio = 0.8f;
// RANSAC inlier threshold of cv::findHomography, in frame pixels.
constexpr double kRansacThreshold = 3.0;
// Fewest ratio-test matches a homography is estimated from.
constexpr std::size_t kMinMatches = 4;

constexpr const char* kUsage = R"(Usage: orb-track [options]
Tracks the target with OpenCV's ORB features (Hamming k-NN matching with a ratio test, RANSAC
homography) for comparison with quorl-track: same sources, same registration, same quad check,
same CSV and summary. OpenCV runs on one thread, as quorl-track does.

  --source S          synthetic[:PROFILE] (default synthetic), camera:N, auto, a video file,
                      or an image pattern such as frames/%04d.png
  --size WxH          frame size (default 320x240)
  --frames N          frames to process (default 300; files and sequences: to their end)
  --seed S            seed of the synthetic scene (default 1)
  --register-frame K  frame to register the target on (default 0)
  --corners x0,y0,x1,y1,x2,y2,x3,y3
                      the target's corners on frame K, clockwise (default for the synthetic scene:
                      its true corners)
  --camera-params P   camera parameter file (default Data/camera_param.dat)
  --csv PATH          one row per frame from frame K on
  --quiet             no summary
  --help              this text
)";

struct Args {
  std::string source = "synthetic";
  FrameSize size{320, 240};
  std::optional<long long> frames;
  uint32_t seed = 1;
  long long registerFrame = 0;
  std::optional<Quad> corners;
  std::string cameraParams = "Data/camera_param.dat";
  std::string csv;
  bool quiet = false;
};

int usageError(const std::string& text) {
  std::cerr << "orb-track: " << text << "\nTry 'orb-track --help'.\n";
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
    if (i + 1 >= argc) return usageError("option " + opt + " needs a value");
    const std::string v = argv[++i];
    if (opt == "--source") {
      a.source = v;
    } else if (opt == "--size") {
      const auto s = ParseFrameSize(v);
      if (!s) return usageError("--size wants WxH with sides of " + std::to_string(kMinFrameSide) + " to " +
                                std::to_string(kMaxFrameSide) + ", not '" + v + "'");
      a.size = *s;
    } else if (opt == "--frames") {
      a.frames = ParseCount(v, 1LL << 40);
      if (!a.frames) return usageError("--frames wants a count, not '" + v + "'");
    } else if (opt == "--seed") {
      const auto n = ParseCount(v, 0xFFFFFFFFLL);
      if (!n) return usageError("--seed wants a number 0..4294967295, not '" + v + "'");
      a.seed = static_cast<uint32_t>(*n);
    } else if (opt == "--register-frame") {
      const auto n = ParseCount(v, 1LL << 40);
      if (!n) return usageError("--register-frame wants a frame number, not '" + v + "'");
      a.registerFrame = *n;
    } else if (opt == "--corners") {
      a.corners = ParseCorners(v);
      if (!a.corners) return usageError("--corners wants eight integers x0,y0,x1,y1,x2,y2,x3,y3, not '" + v + "'");
    } else if (opt == "--camera-params") {
      a.cameraParams = v;
    } else if (opt == "--csv") {
      a.csv = v;
    } else {
      return usageError("unknown option " + opt);
    }
  }
  return std::nullopt;
}

// Counts of one tracked frame, in the CSV's terms.
struct FrameStats {
  std::size_t keypoints = 0;  // ORB keypoints in the frame
  std::size_t matches = 0;    // matches that pass the ratio test
  std::size_t inliers = 0;    // RANSAC inliers of the homography estimated in this frame
};

// The ORB model of the registered region and the quad state, with the same rules as the tracker: the
// clicked corners are mapped through the newest homography (the previous one when estimation fails), then
// checked; a failing quad shows the last valid one for up to kMaxHeldFrames frames, then is lost.
class OrbTracker {
 public:
  OrbTracker() : orb_(cv::ORB::create(kOrbFeatures)), matcher_(cv::NORM_HAMMING) {}

  // ORB features of `gray` inside the polygon `clicks`; returns the number of model keypoints.
  std::size_t registerModel(const cv::Mat& gray, const Quad& clicks) {
    clicks_ = clicks;
    cv::Mat mask = cv::Mat::zeros(gray.size(), CV_8UC1);
    std::vector<cv::Point> polygon;
    for (const CornerPoint& c : clicks.pt) polygon.emplace_back(c.x, c.y);
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
    std::vector<cv::KeyPoint> keypoints;
    orb_->detectAndCompute(gray, mask, keypoints, modelDescriptors_);
    modelPoints_.clear();
    for (const cv::KeyPoint& k : keypoints) modelPoints_.push_back(k.pt);
    modelToFrame_ = cv::Matx33d::eye();
    currentQuad_ = clicks;
    return keypoints.size();
  }

  FrameStats trackFrame(const cv::Mat& gray) {
    FrameStats stats;
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    orb_->detectAndCompute(gray, cv::noArray(), keypoints, descriptors);
    stats.keypoints = keypoints.size();
    std::vector<cv::Point2f> from, to;
    if (!descriptors.empty() && !modelDescriptors_.empty()) {
      std::vector<std::vector<cv::DMatch>> knn;
      matcher_.knnMatch(descriptors, modelDescriptors_, knn, 2);
      for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2 || !(m[0].distance < kRatio * m[1].distance)) continue;
        from.push_back(modelPoints_[static_cast<std::size_t>(m[0].trainIdx)]);
        to.push_back(keypoints[static_cast<std::size_t>(m[0].queryIdx)].pt);
      }
    }
    stats.matches = from.size();
    if (from.size() >= kMinMatches) {
      std::vector<uchar> inlierMask;
      const cv::Mat h = cv::findHomography(from, to, cv::RANSAC, kRansacThreshold, inlierMask);
      if (!h.empty()) {
        modelToFrame_ = cv::Matx33d(h);
        stats.inliers = static_cast<std::size_t>(std::count(inlierMask.begin(), inlierMask.end(), uchar{1}));
      }
    }
    updateQuad();
    return stats;
  }

  const Quad& currentQuad() const { return currentQuad_; }
  bool tracking() const { return missCount_ == 0; }

 private:
  // Corner i := modelToFrame (x_i, y_i, 1), each coordinate + 0.5 truncated toward zero. False when a
  // corner is not finite or not an int32.
  bool mapCorners(Quad& out) const {
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d p = modelToFrame_ * cv::Vec3d(clicks_.pt[i].x, clicks_.pt[i].y, 1.0);
      const double x = p[0] / p[2] + 0.5;
      const double y = p[1] / p[2] + 0.5;
      constexpr double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
      if (!(x > lo - 1.0 && x < hi + 1.0 && y > lo - 1.0 && y < hi + 1.0)) return false;
      out.pt[i] = CornerPoint{static_cast<int32_t>(x), static_cast<int32_t>(y)};
    }
    return true;
  }

  void updateQuad() {
    Quad candidate;
    if (mapCorners(candidate) && isQuadValid(candidate)) {
      currentQuad_ = lastValidQuad_ = candidate;
      missCount_ = 0;
    } else if (missCount_ < kMaxHeldFrames) {
      currentQuad_ = lastValidQuad_;
      ++missCount_;
    } else {
      for (CornerPoint& p : currentQuad_.pt) p = CornerPoint{kLostCoordinate, kLostCoordinate};
    }
  }

  cv::Ptr<cv::ORB> orb_;
  cv::BFMatcher matcher_;
  cv::Mat modelDescriptors_;
  std::vector<cv::Point2f> modelPoints_;
  cv::Matx33d modelToFrame_ = cv::Matx33d::eye();
  Quad clicks_;
  Quad currentQuad_;
  Quad lastValidQuad_;
  int32_t missCount_ = 0;
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

int run(const Args& a) {
  cv::setNumThreads(1);
  std::string error;
  FrameSourceOptions options;
  options.width = a.size.width;
  options.height = a.size.height;
  options.seed = a.seed;
  options.loop = false;
  CameraParam param;
  if (const CameraFileStatus status = readCameraParamPath(a.cameraParams, param); status == CameraFileStatus::Ok) {
    if (const auto k = cameraIntrinsicsForFrame(param, a.size.width, a.size.height))
      options.intrinsics = PinholeIntrinsics{k->fx, k->fy, k->cx, k->cy};
  } else {
    std::cerr << "orb-track: " << cameraFileMessage(status) << "\n";
  }
  std::unique_ptr<FrameSource> source = OpenFrameSource(a.source, options, error);
  if (!source) {
    std::cerr << "orb-track: " << error << "\n";
    return 1;
  }
  const int known = source->frameCount();
  long long total = a.frames.value_or(known >= 0 ? known : 300);
  if (known >= 0) total = std::min<long long>(total, known);
  if (a.registerFrame >= total) {
    std::cerr << "orb-track: registration frame " << a.registerFrame << " is past the end (" << total
              << " frames)\n";
    return 1;
  }
  std::ofstream csv;
  if (!a.csv.empty()) {
    csv.open(a.csv);
    if (!csv) {
      std::cerr << "orb-track: cannot write " << a.csv << "\n";
      return 1;
    }
  }

  bool headerWritten = false;
  auto writeRow = [&](long long index, int modelActive, const Quad& quad, const FrameStats& s, float ms,
                      int frameRate, const std::optional<FrameCorners>& truth) {
    if (!csv.is_open()) return;
    if (!headerWritten) {
      csv << "frame,modelActive,quad_x0,quad_y0,quad_x1,quad_y1,quad_x2,quad_y2,quad_x3,quad_y3,"
             "keypoints,matches,inliers,barrier,ms,frameRate";
      if (truth) csv << ",gt_x0,gt_y0,gt_x1,gt_y1,gt_x2,gt_y2,gt_x3,gt_y3,err_px";
      csv << "\n";
      headerWritten = true;
    }
    csv << index << ',' << modelActive;
    for (const CornerPoint& c : quad.pt) csv << ',' << c.x << ',' << c.y;
    csv << ',' << s.keypoints << ',' << s.matches << ',' << s.inliers << ",0," << ms << ',' << frameRate;
    if (truth) {
      for (const cv::Point2d& c : *truth) csv << ',' << c.x << ',' << c.y;
      csv << ',' << cornerError(quad, *truth);
    }
    csv << "\n";
  };

  OrbTracker tracker;
  std::vector<uint8_t> packed;
  cv::Mat gray;
  std::size_t modelPoints = 0;
  int frameRate = 0;
  long long tracked = 0, within5 = 0, within10 = 0, withTruth = 0;
  std::vector<double> errors, times;
  long long index = 0;
  for (; index < total; ++index) {
    if (!source->read(packed)) break;
    if (index < a.registerFrame) continue;
    const cv::Mat bgr = UnpackFrame(packed);
    const auto truth = source->trueCorners();
    if (bgr.empty()) {
      std::cerr << "orb-track: frame " << index << " is not a 24-bit picture\n";
      return 1;
    }
    if (index == a.registerFrame) {
      Quad corners;
      if (a.corners) {
        corners = *a.corners;
      } else if (truth) {
        corners = roundedCorners(*truth);
      } else {
        std::cerr << "orb-track: this source does not know where the target is; give --corners\n";
        return 1;
      }
      cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
      modelPoints = tracker.registerModel(gray, corners);
      writeRow(index, 0, corners, FrameStats{modelPoints, 0, 0}, 0.0f, frameRate, truth);
      continue;
    }
    // Timed like the tracked-frame processing: from the gray conversion to the checked quad.
    FrameTimer timer;
    timer.Start();
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    const FrameStats stats = tracker.trackFrame(gray);
    timer.Stop();
    frameRate = FrameRateFromElapsed(timer.ElapsedMs(), frameRate);
    tracked += tracker.tracking();
    times.push_back(timer.ElapsedMs());
    if (truth) {
      const double err = cornerError(tracker.currentQuad(), *truth);
      ++withTruth;
      within5 += err < 5.0;
      within10 += err < 10.0;
      if (tracker.tracking()) errors.push_back(err);
    }
    writeRow(index, 1, tracker.currentQuad(), stats, timer.ElapsedMs(), frameRate, truth);
  }
  if (index <= a.registerFrame) {
    std::cerr << "orb-track: the source ended after " << index << " frames, before the registration frame "
              << a.registerFrame << "\n";
    return 1;
  }
  if (!a.quiet) {
    const long long after = static_cast<long long>(times.size());
    std::printf("source: %s\n", source->description().c_str());
    std::printf("frames: %lld, registered on frame %lld with %zu model points\n", index, a.registerFrame,
                modelPoints);
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
