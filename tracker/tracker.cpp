#include "tracker/tracker.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "geometry/quad.h"
#include "image/picture_header.h"

namespace quorl {

void MarkCorner(DibImage& display, const CornerPoint& c) {
  const int w = display.width(), h = display.height();
  if (c.x < 0 || c.y < 0 || c.x >= w || c.y >= h || display.rows24() == nullptr) return;
  auto mark = [&](int x, int y) {
    uint8_t* p = display.rows24()[y] + 3 * x;
    p[0] = 0;
    p[1] = 255;
    p[2] = 255;
  };
  if (c.x > 0 && c.x < w - 1 && c.y > 0 && c.y < h - 1) {
    for (int y = c.y - 1; y <= c.y + 1; ++y)
      for (int x = c.x - 1; x <= c.x + 1; ++x) mark(x, y);
  } else {
    mark(c.x, c.y);
  }
}

void initialise(TrackerState& state, int width, int height) {
  state.frame.CreateRgbDib(width, height);
  state.display = state.frame;
  state.clicks.pt.fill(CornerPoint{-1, -1});
  state.clickCount = 0;
  state.clickMode = 0;
}

namespace {

// The platform's current frame into state.frame and state.display; false when there is none.
bool takeFrame(TrackerState& state, TrackerPlatform& platform) {
  if (!platform.hasCapture()) return false;
  const uint8_t* packed = nullptr;
  std::size_t byteCount = 0;
  if (!platform.grabFrame(packed, byteCount)) return false;
  const int width = state.frame.width(), height = state.frame.height();
  if (!state.frame.SetPackedDib(packed, byteCount)) return false;
  state.display = state.frame;
  if (state.frame.width() != width || state.frame.height() != height) {
    if (hasCalibration(state.camera))
      setCameraParams(state.camera.cameraParams, state.frame.width(), state.frame.height(), state.camera);
    RestartRobustMotion(state.robust);
    state.pictures.RestartMotion();
  }
  const cv::Size size(state.frame.width(), state.frame.height());
  if (state.calibration && (!state.lens || state.lens->size() != size)) {
    const std::optional<CameraLens> resized = state.calibration->Resized(size.width, size.height);
    state.lens = resized ? std::make_shared<const FrameLens>(*resized) : nullptr;
  }
  return true;
}

}  // namespace

bool setCalibration(TrackerState& state, const CameraLens& calibration) {
  const CameraParam param = calibration.cameraParam();
  const int w = state.frame.width() > 0 ? state.frame.width() : param.xsize;
  const int h = state.frame.height() > 0 ? state.frame.height() : param.ysize;
  if (!setCameraParams(param, w, h, state.camera)) return false;
  state.calibration = calibration;
  state.lens.reset();  // made for the next frame's size
  RestartRobustMotion(state.robust);
  state.pictures.RestartMotion();
  return true;
}

bool registerWithCorners(TrackerState& state, const Quad& corners, long long warmup, TrackerPlatform& platform) {
  if (!takeFrame(state, platform)) return false;
  for (long long w = 0; w < warmup; ++w) tick(state, platform);
  beginRegistration(state, platform);
  for (const CornerPoint& c : corners.pt) addClick(state, c.x, c.y, platform);
  return true;
}

void setRobustMode(TrackerState& state, bool on) {
  if (state.robustMode == on) return;
  state.robustMode = on;
  ResetRobust(state.robust);
}

void recoverFromError(TrackerState& state) {
  state.clickMode = 0;
  state.clickCount = 0;
  ResetRobust(state.robust);
  state.pictures.RestartMotion();
}

namespace {

// The clicked target's record: -1 corners and zero homography unless it is shown.
TargetReport ClickedReport(const TrackerState& state) {
  TargetReport r;
  r.name = kClickedTargetName;
  r.state = state.trackingState;
  if (state.model.isRegistered() && state.robustMode) {
    r.matches = state.robust.stats.matches;
    r.inliers = state.robust.stats.inliers;
  } else if (state.model.isRegistered()) {
    r.matches = static_cast<int>(state.model.matchMap.size());
    r.inliers = static_cast<int>(state.model.inlierMap.size());
  }
  const bool shown = IsShown(r.state);
  for (int i = 0; i < 4; ++i)
    r.corners[i] = shown ? state.quadCorners[i] : cv::Point2d(kLostCoordinate, kLostCoordinate);
  if (!shown) return r;
  std::array<cv::Point2f, 4> clicked, shownAt;
  for (int i = 0; i < 4; ++i) {
    clicked[i] = cv::Point2f(static_cast<float>(state.clicks.pt[i].x), static_cast<float>(state.clicks.pt[i].y));
    shownAt[i] = cv::Point2f(static_cast<float>(r.corners[i].x), static_cast<float>(r.corners[i].y));
  }
  r.homography = cv::Matx33d(cv::getPerspectiveTransform(clicked.data(), shownAt.data()));
  if (hasCalibration(state.camera)) r.pose = RigidPose(state.pose.modelview, 1.0);
  return r;
}

TargetReport PictureReport(const TrackerState& state, const PictureTarget& t) {
  TargetReport r{t.name, t.state, t.corners, t.homography, std::nullopt, t.matches, t.inliers};
  if (IsShown(t.state) && hasCalibration(state.camera))
    r.pose = RigidPose(t.pose.modelview, t.width > 0.0 ? t.width / (2 * kModelSquare[1].x) : 1.0);
  return r;
}

}  // namespace

FrameReport reportFrame(const TrackerState& state, const TrackerSettings& settings) {
  FrameReport r;
  r.keypoints = settings.keypointCount;
  r.barrier = settings.barrier;
  r.modelActive = state.modelActive;
  r.ms = state.elapsedMs;
  r.frameRate = settings.frameRate;
  if (state.model.isRegistered()) r.targets.push_back(ClickedReport(state));
  for (const PictureTarget& t : state.pictures.targets()) r.targets.push_back(PictureReport(state, t));
  return r;
}

TargetReport FrameReport::Clicked() const {
  if (!targets.empty() && targets.front().name == kClickedTargetName) return targets.front();
  TargetReport r;
  r.name = kClickedTargetName;
  r.corners.fill(cv::Point2d(kLostCoordinate, kLostCoordinate));
  return r;
}

namespace {

// `picture` checked under `label` (the name or the file, for `error`), then added under `name` made unique.
const PictureTarget* AddChecked(TrackerState& state, const std::string& name, const std::string& label,
                                const cv::Mat& picture, double width, int arc, std::string& error) {
  const cv::Mat gray = PrepareTargetPicture(picture, label, error);
  if (gray.empty()) return nullptr;
  return &state.pictures.Add(state.pictures.UniqueName(name), gray, picture.size(), width, arc);
}

}  // namespace

const PictureTarget* addPictureTarget(TrackerState& state, const std::string& name, const cv::Mat& picture, double width,
                                      int arc, std::string& error) {
  return AddChecked(state, name, name, picture, width, arc, error);
}

cv::Mat readPictureFile(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    error = path + ": no such file";
    return {};
  }
  // The size its header gives is checked before anything is decoded.
  const std::optional<PictureHeader> header = ReadPictureHeader(path, error);
  if (!error.empty()) {
    error = path + ": cannot be read: " + error;
    return {};
  }
  if (header) {
    if (const std::string problem = PictureSizeProblem(header->width, header->height); !problem.empty()) {
      error = path + ": " + problem;
      return {};
    }
  }
  cv::Mat picture;
  try {
    picture = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    picture.release();  // a file the decoder refuses (OpenCV's own size limit among others)
  }
  if (picture.empty()) error = path + ": not a picture that can be read";
  return picture;
}

const PictureTarget* addPictureFile(TrackerState& state, const std::string& path, double width, int arc,
                                    std::string& error) {
  const cv::Mat picture = readPictureFile(path, error);
  if (!error.empty()) return nullptr;
  return AddChecked(state, std::filesystem::path(path).stem().string(), path, picture, width, arc, error);
}

std::optional<cv::Matx44d> RigidPose(const std::array<double, 16>& modelview, double unit) {
  cv::Matx44d pose(modelview.data());
  for (const double v : pose.val)
    if (!std::isfinite(v)) return std::nullopt;
  const cv::Matx33d r = pose.get_minor<3, 3>(0, 0);
  cv::Matx33d u, vt;
  cv::Matx31d w;
  cv::SVD::compute(r, w, u, vt);
  cv::Matx33d rotation = u * vt;
  if (cv::determinant(rotation) < 0) rotation = u * cv::Matx33d::diag(cv::Vec3d(1, 1, -1)) * vt;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) pose(i, j) = rotation(i, j);
    pose(i, 3) *= unit;
  }
  return pose;
}

bool tick(TrackerState& state, TrackerPlatform& platform) {
  if (!takeFrame(state, platform)) return false;
  // A tick that tracks something is timed whole, and gives the frame rate; detection alone is not timed (0 ms).
  const bool tracks = state.model.isRegistered() || !state.pictures.empty();
  FrameTimer timer;
  timer.Start();
  if (state.model.isRegistered()) {
    state.modelActive = processTrackedFrame(state, platform);
  } else {
    processDetectOnly(state, platform);
  }
  if (!state.pictures.empty()) state.pictures.Track(state.gray, state.display, state.camera, state.lens.get());
  if (tracks) {
    timer.Stop();
    state.elapsedMs = timer.ElapsedMs();
    TrackerSettings& settings = platform.settings();
    settings.frameRate = FrameRateFromElapsed(state.elapsedMs, settings.frameRate);
    platform.refreshSettingsDisplay();
  } else {
    state.elapsedMs = 0.0f;
  }
  platform.requestRepaint();
  return true;
}

void processDetectOnly(TrackerState& state, TrackerPlatform& platform) {
  state.trackingState = TrackingState::Detecting;
  DibToGray(state.frame, state.gray);
  const GrayImage& gray = state.gray;
  TrackerSettings& settings = platform.settings();
  const CornerList corners = DetectCorners(gray, settings.cornerType + 9, settings.barrier);
  if (settings.plotKeypoints != 0) {
    for (const CornerPoint& c : corners) MarkCorner(state.display, c);
  }
  AdaptBarrier(settings, static_cast<int>(corners.size()), kDetectBandLow, kDetectBandHigh);
  platform.refreshSettingsDisplay();
}

}  // namespace quorl
