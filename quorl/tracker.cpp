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
#include "library/picture_library.h"
#include "tracker/engine.h"

namespace quorl {
namespace {

std::string Describe(const cv::Mat& image) {
  if (image.empty()) return "an empty image";
  if (image.dims != 2) return "an image of " + std::to_string(image.dims) + " dimensions";
  return "a " + std::to_string(image.cols) + "x" + std::to_string(image.rows) + " " + cv::typeToString(image.type()) +
         " image";
}

// The image as the packed bitmap the frame loop reads; throws for anything but 8-bit BGR or gray of a size the loop
// takes.
void Pack(const cv::Mat& image, const std::string& prefix, std::vector<uint8_t>& packed) {
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

EngineOptions EngineOptionsOf(const TrackerOptions& options) {
  EngineOptions engine;
  engine.cornerType = options.cornerType;
  engine.barrier = options.barrier;
  engine.warmup = options.warmup;
  engine.robust = options.robust;
  if (const std::string problem = CheckEngineOptions(engine); !problem.empty())
    throw std::invalid_argument("quorl::TrackerOptions: " + problem);
  return engine;
}

TrackState StateOf(TrackingState state) {
  switch (state) {
    case TrackingState::Detecting:
      return TrackState::Detecting;
    case TrackingState::Tracking:
      return TrackState::Tracking;
    case TrackingState::Holding:
      return TrackState::Holding;
    case TrackingState::Lost:
      break;
  }
  return TrackState::Lost;
}

}  // namespace

const char* stateName(TrackState state) {
  switch (state) {
    case TrackState::Detecting:
      return TrackingStateName(TrackingState::Detecting);
    case TrackState::Tracking:
      return TrackingStateName(TrackingState::Tracking);
    case TrackState::Holding:
      return TrackingStateName(TrackingState::Holding);
    case TrackState::Lost:
      break;
  }
  return TrackingStateName(TrackingState::Lost);
}

struct Tracker::State {
  explicit State(TrackerOptions given)
      : options(std::move(given)),
        calibration(ReadTrackCalibration(options.cameraParams, options.calibration)),
        engine(EngineOptionsOf(options), "quorl", calibration.param) {
    if (!calibration.param && !options.calibration.empty())
      throw std::invalid_argument("quorl::TrackerOptions: calibration: " + calibration.problem);
    if (!calibration.param && !options.cameraParams.empty())
      throw std::invalid_argument("quorl::TrackerOptions: cameraParams: " + calibration.problem);
    if (calibration.lens) engine.SetCalibration(*calibration.lens);
  }

  TrackerOptions options;
  TrackCalibration calibration;
  TrackingEngine engine;
};

Tracker::Tracker(TrackerOptions options) : state_(std::make_unique<State>(std::move(options))) { CloseAnnAtExit(); }

Tracker::~Tracker() = default;
Tracker::Tracker(Tracker&&) noexcept = default;
Tracker& Tracker::operator=(Tracker&&) noexcept = default;

Tracker::State& Tracker::state(const char* caller) const {
  if (!state_) throw std::logic_error(std::string("quorl::Tracker::") + caller + ": the tracker was moved from");
  return *state_;
}

const TrackerOptions& Tracker::options() const { return state("options").options; }

int Tracker::registerTarget(const cv::Mat& image, const std::array<cv::Point2f, 4>& corners) {
  State& s = state("registerTarget");
  Quad clicks;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2f& c = corners[i];
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || std::fabs(c.x) > 1e6f || std::fabs(c.y) > 1e6f)
      throw std::invalid_argument("quorl::Tracker::registerTarget: corner " + std::to_string(i) + " is (" +
                                  std::to_string(c.x) + ", " + std::to_string(c.y) + ")");
    clicks.pt[i] = CornerPoint{static_cast<int32_t>(std::lround(c.x)), static_cast<int32_t>(std::lround(c.y))};
  }
  const std::string prefix = "quorl::Tracker::registerTarget: ";
  Pack(image, prefix, s.engine.frameBuffer());
  if (!QuadCoversFramePixel(clicks, image.cols, image.rows))
    throw std::invalid_argument(prefix + "the corners leave no part of the target inside the " +
                                std::to_string(image.cols) + "x" + std::to_string(image.rows) + " image");
  try {
    s.engine.Register(clicks);
  } catch (const cv::Exception& e) {
    s.engine.RecoverFromError();
    throw std::runtime_error(prefix + e.what());
  }
  return static_cast<int>(s.engine.state().model.modelKeypoints.size());
}

TrackResult Tracker::track(const cv::Mat& image) {
  State& s = state("track");
  const std::string prefix = "quorl::Tracker::track: ";
  Pack(image, prefix, s.engine.frameBuffer());
  try {
    s.engine.Track();
  } catch (const cv::Exception& e) {
    s.engine.RecoverFromError();
    throw std::runtime_error(prefix + e.what());
  }

  const FrameReport report = s.engine.Report();
  const auto quadOf = [](const TargetReport& t) {
    std::array<cv::Point2f, 4> quad{};
    for (int i = 0; i < 4; ++i)
      quad[i] = cv::Point2f(static_cast<float>(t.corners[i].x), static_cast<float>(t.corners[i].y));
    return quad;
  };
  TrackResult r;
  const TargetReport clicked = report.Clicked();
  r.state = StateOf(clicked.state);
  r.quad = quadOf(clicked);
  r.homography = clicked.homography;
  r.pose = clicked.pose;
  r.keypoints = report.keypoints;
  r.matches = clicked.matches;
  r.inliers = clicked.inliers;
  r.ms = report.ms;
  for (const TargetReport& t : report.targets) {
    if (t.name == kClickedTargetName) continue;
    r.targets.push_back(TargetResult{t.name, StateOf(t.state), quadOf(t), t.homography, t.pose, t.matches, t.inliers});
  }
  return r;
}

namespace {

PictureRating RatingOf(const PictureTarget& target) {
  const Trackability& t = target.trackability;
  return PictureRating{t.corners, t.spread, t.distinctness, t.score, t.poor() ? kPoorPictureWarning : ""};
}

void CheckWidth(const char* caller, double width) {
  if (!(width >= 0.0 && width <= 100.0))
    throw std::invalid_argument(std::string("quorl::Tracker::") + caller + ": width must be 0..100 metres, not " +
                                std::to_string(width));
}

}  // namespace

PictureRating Tracker::addPictureTarget(const std::string& name, const cv::Mat& picture, double width) {
  State& s = state("addPictureTarget");
  CheckWidth("addPictureTarget", width);
  std::string error;
  const PictureTarget* added = nullptr;
  try {
    added = s.engine.AddPicture(name, picture, width, error);
  } catch (const cv::Exception& e) {
    throw std::runtime_error(std::string("quorl::Tracker::addPictureTarget: ") + e.what());
  }
  if (added == nullptr) throw std::invalid_argument("quorl::Tracker::addPictureTarget: " + error);
  return RatingOf(*added);
}

PictureRating Tracker::addPictureFile(const std::string& path, double width) {
  State& s = state("addPictureFile");
  CheckWidth("addPictureFile", width);
  std::string error;
  const PictureTarget* added = nullptr;
  try {
    added = s.engine.AddPicture(path, width, error);
  } catch (const cv::Exception& e) {
    throw std::runtime_error(std::string("quorl::Tracker::addPictureFile: ") + e.what());
  }
  if (added == nullptr) throw std::invalid_argument("quorl::Tracker::addPictureFile: " + error);
  return RatingOf(*added);
}

std::vector<PictureRating> Tracker::addPictureLibrary(const std::string& path) {
  TargetSet& set = state("addPictureLibrary").engine.state().pictures;
  const std::size_t before = set.targets().size();
  std::string error;
  if (!AddPictureLibrary(set, path, error)) throw std::invalid_argument("quorl::Tracker::addPictureLibrary: " + error);
  std::vector<PictureRating> ratings;
  for (std::size_t i = before; i < set.targets().size(); ++i) ratings.push_back(RatingOf(set.targets()[i]));
  return ratings;
}

void Tracker::removePictureTargets() { state("removePictureTargets").engine.state().pictures.Clear(); }

void Tracker::reset() { state_ = std::make_unique<State>(state("reset").options); }

}  // namespace quorl
