#include "quorl/tracker.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "camera/camera_setup.h"
#include "camera/shipped_files.h"
#include "capture/frame_source.h"
#include "features/keypoint_index.h"
#include "geometry/quad.h"
#include "tracker/headless_platform.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

// The option limits of the headless tool.
constexpr int kMaxCornerType = 3;
constexpr int kMaxBarrier = 255;
constexpr int kMaxWarmup = 100000;

void CheckRange(const char* name, int value, int low, int high) {
  if (value < low || value > high)
    throw std::invalid_argument(std::string("quorl::TrackerOptions: ") + name + " must be " + std::to_string(low) +
                                ".." + std::to_string(high) + ", not " + std::to_string(value));
}

std::string Describe(const cv::Mat& image) {
  if (image.empty()) return "an empty image";
  if (image.dims != 2) return "an image of " + std::to_string(image.dims) + " dimensions";
  return "a " + std::to_string(image.cols) + "x" + std::to_string(image.rows) + " " + cv::typeToString(image.type()) +
         " image";
}

// The image as the packed bitmap the frame loop reads; throws for anything but 8-bit BGR or gray of a
// size the loop takes.
void Pack(const cv::Mat& image, const char* caller, std::vector<uint8_t>& packed) {
  const std::string prefix = std::string("quorl::Tracker::") + caller + ": ";
  if (image.empty() || image.dims != 2 || (image.type() != CV_8UC3 && image.type() != CV_8UC1))
    throw std::invalid_argument(prefix + "wants a CV_8UC3 (BGR) or CV_8UC1 image, was given " + Describe(image));
  if (!IsValidFrameSize(image.cols, image.rows))
    throw std::invalid_argument(prefix + "was given " + Describe(image) + "; " + FrameSizeRule());
  if (image.type() == CV_8UC3) {
    PackBgrFrame(image, packed);
  } else {
    cv::Mat bgr;
    cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
    PackBgrFrame(bgr, packed);
  }
}

}  // namespace

struct Tracker::State {
  explicit State(TrackerOptions given) : options(std::move(given)), platform("quorl") {
    CheckRange("cornerType", options.cornerType, 0, kMaxCornerType);
    CheckRange("barrier", options.barrier, -kMaxBarrier, kMaxBarrier);
    CheckRange("warmup", options.warmup, 0, kMaxWarmup);
    calibration = ReadTrackCalibration(options.cameraParams);
    if (!calibration.param && !options.cameraParams.empty())
      throw std::invalid_argument("quorl::TrackerOptions: cameraParams: " + calibration.problem);
    platform.values.cornerType = options.cornerType;
    platform.values.barrier = options.barrier;
    loop.robustMode = options.robust;
  }

  // Stores the frame for the next tick; the first frame sizes the pictures, every new size the camera.
  void Take(const cv::Mat& image, const char* caller) {
    Pack(image, caller, platform.packed);
    if (image.cols == width && image.rows == height) return;
    if (calibration.param) setCameraParams(*calibration.param, image.cols, image.rows, loop.camera);
    if (width == 0) initialise(loop, image.cols, image.rows);
    width = image.cols;
    height = image.rows;
  }

  TrackerOptions options;
  TrackCalibration calibration;
  HeadlessPlatform platform;
  TrackerState loop;
  int width = 0, height = 0;  // of the last frame; 0 before the first
};

Tracker::Tracker(TrackerOptions options) : state_(std::make_unique<State>(std::move(options))) { CloseAnnAtExit(); }

Tracker::~Tracker() = default;
Tracker::Tracker(Tracker&&) noexcept = default;
Tracker& Tracker::operator=(Tracker&&) noexcept = default;

const TrackerOptions& Tracker::options() const { return state_->options; }

int Tracker::registerTarget(const cv::Mat& image, const std::array<cv::Point2f, 4>& corners) {
  Quad clicks;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2f& c = corners[i];
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || std::fabs(c.x) > 1e6f || std::fabs(c.y) > 1e6f)
      throw std::invalid_argument("quorl::Tracker::registerTarget: corner " + std::to_string(i) + " is (" +
                                  std::to_string(c.x) + ", " + std::to_string(c.y) + ")");
    clicks.pt[i] = CornerPoint{static_cast<int32_t>(std::lround(c.x)), static_cast<int32_t>(std::lround(c.y))};
  }
  State& s = *state_;
  s.Take(image, "registerTarget");
  if (!QuadCoversFramePixel(clicks, image.cols, image.rows))
    throw std::invalid_argument("quorl::Tracker::registerTarget: the corners leave no part of the target inside the " +
                                std::to_string(image.cols) + "x" + std::to_string(image.rows) + " image");
  // As the headless tool does: watch the picture for a while, then Register Frame and four clicks.
  s.loop.frame.SetPackedDib(s.platform.packed.data(), s.platform.packed.size());
  s.loop.display = s.loop.frame;
  for (int w = 0; w < s.options.warmup; ++w) tick(s.loop, s.platform);
  beginRegistration(s.loop, s.platform);
  for (const CornerPoint& c : clicks.pt) addClick(s.loop, c.x, c.y, s.platform);
  return static_cast<int>(s.loop.model.modelKeypoints.size());
}

TrackResult Tracker::track(const cv::Mat& image) {
  State& s = *state_;
  s.Take(image, "track");
  FrameTimer timer;
  timer.Start();
  tick(s.loop, s.platform);
  timer.Stop();

  const TrackerState& loop = s.loop;
  TrackResult r;
  r.state = TrackingStateName(loop.trackingState);
  r.ms = timer.ElapsedMs();
  r.keypoints = s.platform.values.keypointCount;
  const bool registered = loop.model.isRegistered();
  if (registered && loop.robustMode) {
    r.matches = loop.robust.stats.matches;
    r.inliers = loop.robust.stats.inliers;
  } else if (registered) {
    r.matches = static_cast<int>(loop.model.matchMap.size());
    r.inliers = static_cast<int>(loop.model.inlierMap.size());
  }
  r.quad.fill(cv::Point2f(kLostCoordinate, kLostCoordinate));
  if (loop.trackingState != TrackingState::Tracking && loop.trackingState != TrackingState::Holding) return r;

  std::array<cv::Point2f, 4> registeredCorners;
  for (int i = 0; i < 4; ++i) {
    r.quad[i] = cv::Point2f(static_cast<float>(loop.quadCorners[i].x), static_cast<float>(loop.quadCorners[i].y));
    registeredCorners[i] = cv::Point2f(static_cast<float>(loop.clicks.pt[i].x), static_cast<float>(loop.clicks.pt[i].y));
  }
  r.homography = cv::Matx33d(cv::getPerspectiveTransform(registeredCorners.data(), r.quad.data()));
  const cv::Matx44d pose(loop.pose.modelview.data());
  bool finite = true;
  for (double v : pose.val) finite = finite && std::isfinite(v);
  if (s.calibration.param && finite) r.pose = pose;
  return r;
}

void Tracker::reset() { state_ = std::make_unique<State>(state_->options); }

}  // namespace quorl
