#include "tracker/tracker.h"

#include "geometry/quad.h"

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
  }
  return true;
}

}  // namespace

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
}

FrameReport reportFrame(const TrackerState& state, const TrackerSettings& settings) {
  FrameReport r;
  r.state = state.trackingState;
  r.modelActive = state.modelActive;
  r.keypoints = settings.keypointCount;
  r.barrier = settings.barrier;
  r.frameRate = settings.frameRate;
  r.ms = state.elapsedMs;
  if (state.model.isRegistered() && state.robustMode) {
    r.matches = state.robust.stats.matches;
    r.inliers = state.robust.stats.inliers;
  } else if (state.model.isRegistered()) {
    r.matches = static_cast<int>(state.model.matchMap.size());
    r.inliers = static_cast<int>(state.model.inlierMap.size());
  }
  const bool shown = r.state == TrackingState::Tracking || r.state == TrackingState::Holding;
  for (int i = 0; i < 4; ++i)
    r.corners[i] = shown ? state.quadCorners[i] : cv::Point2d(kLostCoordinate, kLostCoordinate);
  return r;
}

bool tick(TrackerState& state, TrackerPlatform& platform) {
  if (!takeFrame(state, platform)) return false;
  if (state.model.isRegistered()) {
    state.modelActive = processTrackedFrame(state, platform);
  } else {
    processDetectOnly(state, platform);
  }
  platform.requestRepaint();
  return true;
}

void processDetectOnly(TrackerState& state, TrackerPlatform& platform) {
  state.trackingState = TrackingState::Detecting;
  GrayImage gray;
  DibToGray(state.frame, gray);
  TrackerSettings& settings = platform.settings();
  const CornerList corners = DetectCorners(gray, settings.cornerType + 9, settings.barrier);
  if (settings.plotKeypoints != 0) {
    for (const CornerPoint& c : corners) MarkCorner(state.display, c);
  }
  AdaptBarrier(settings, static_cast<int>(corners.size()), kDetectBandLow, kDetectBandHigh);
  platform.refreshSettingsDisplay();
}

}  // namespace quorl
