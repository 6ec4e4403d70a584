#include <cerrno>
#include <cstdio>
#include <cstring>

#include "features/matching.h"
#include "features/registration.h"
#include "geometry/homography.h"
#include "geometry/quad.h"
#include "tracker/tracker.h"

namespace quorl {

TrackingState TrackingStateOf(QuadState quad) {
  switch (quad) {
    case QuadState::Tracking: return TrackingState::Tracking;
    case QuadState::Holding: return TrackingState::Holding;
    case QuadState::Lost: break;
  }
  return TrackingState::Lost;
}

const char* TrackingStateName(TrackingState state) {
  switch (state) {
    case TrackingState::Detecting: return "detecting";
    case TrackingState::Tracking: return "tracking";
    case TrackingState::Holding: return "holding";
    case TrackingState::Lost: break;
  }
  return "lost";
}

void FrameTimer::Start() { start_ = std::chrono::steady_clock::now(); }

void FrameTimer::Stop() {
  elapsedMs_ = std::chrono::duration<float, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

int FrameRateFromElapsed(float elapsedMs, int previous) {
  const int rounded = static_cast<int>(elapsedMs + 0.5f);
  return rounded > 0 ? 1000 / rounded : previous;
}

bool loadCamera(TrackerState& state, const std::string& path, int width, int height, TrackerPlatform& platform) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    platform.report(kMsgCameraFileNotFound, path + ": " + std::strerror(errno));
    return false;
  }
  return loadCameraParams(file, width, height, state.camera, [&](const std::string& text, const std::string& reason) {
           platform.report(text, path + ": " + reason);
         }) == 0;
}

namespace {

std::array<cv::Point2f, 4> ClickPoints(const Quad& clicks) {
  std::array<cv::Point2f, 4> points;
  for (int i = 0; i < 4; ++i)
    points[i] = cv::Point2f(static_cast<float>(clicks.pt[i].x), static_cast<float>(clicks.pt[i].y));
  return points;
}

// The state's lens when it is made for pictures of `gray`'s size (the robust mode works through it).
const FrameLens* LensFor(const TrackerState& state, const GrayImage& gray) {
  return state.lens && state.lens->size() == cv::Size(gray.width, gray.height) ? state.lens.get() : nullptr;
}

// Robust tracking of the current frame: the quad and its sub-pixel corners, drawn into the display.
void TrackRobustFrame(TrackerState& state, const GrayImage& gray, TrackerSettings& settings) {
  RobustTracker& robust = state.robust;
  if (!robust.registered()) {
    // Switched on after registration: build from the registered frame, then search this frame globally.
    RegisterRobust(robust, state.model.modelImage, ClickPoints(state.clicks), settings.cornerType + 9,
                   LensFor(state, state.model.modelImage));
    robust.acceptedRun = 0;
  }
  int corners = 0;
  const FrameLens* lens = LensFor(state, gray);
  const bool accepted = TrackRobust(robust, gray, settings.barrier, corners, lens);
  if (corners > 0) AdaptBarrier(settings, corners, kTrackBandLow, kTrackBandHigh);
  const QuadState quadState = AdvanceRobustQuad(robust, accepted, lens, state.model.currentQuad,
                                                state.model.lastValidQuad, state.model.missCount);
  DrawQuadOutline(state.model.currentQuad, state.display);
  state.trackingState = TrackingStateOf(quadState);
  if (quadState == QuadState::Tracking) {
    state.quadCorners = FrameCornersOf(robust, lens);
  } else if (quadState == QuadState::Lost) {
    state.quadCorners.fill(cv::Point2d(kLostCoordinate, kLostCoordinate));
  }
}

}  // namespace

void beginRegistration(TrackerState& state, TrackerPlatform& platform) {
  platform.stopTick();
  ResetModel(state.model);
  state.trackingState = TrackingState::Detecting;
  ResetRobust(state.robust);
  state.clickMode = 1;
  state.clickCount = 0;
}

void addClick(TrackerState& state, int x, int y, TrackerPlatform& platform) {
  if (state.clickMode != 1) return;
  state.clicks.pt[state.clickCount] = CornerPoint{x, y};
  ++state.clickCount;
  if (state.clickCount < 4) return;
  GrayImage gray;
  DibToGray(state.frame, gray);
  if (!gray.empty()) {
    RegisterFrame(state.model, state.clicks, gray, platform.settings());
    if (state.robustMode)
      RegisterRobust(state.robust, gray, ClickPoints(state.clicks), platform.settings().cornerType + 9,
                     LensFor(state, gray));
  }
  state.clickMode = 0;
  state.clickCount = 0;
  platform.startTick();
}

int processTrackedFrame(TrackerState& state, TrackerPlatform& platform) {
  if (!state.model.isRegistered()) return 0;
  DibToGray(state.frame, state.gray);
  const GrayImage& gray = state.gray;
  TrackerSettings& settings = platform.settings();
  if (state.robustMode) {
    TrackRobustFrame(state, gray, settings);
  } else {
    TrackFrame(state.model, gray, settings);
    EstimateHomography(state.model, state.sampler);
    const bool accepted = IsConsensusAcceptable(state.model.matchMap.size(), state.model.inlierMap.size());
    state.trackingState = TrackingStateOf(updateQuad(state.clicks, state.model, state.display, accepted));
    for (int i = 0; i < 4; ++i) {
      const CornerPoint& c = state.model.currentQuad.pt[i];
      state.quadCorners[i] = cv::Point2d(c.x, c.y);
    }
  }

  // The default mode's pose takes the frame centre as the principal point whatever the lens; the robust mode's goes
  // through the lens when there is one.
  ComputeTargetPose(state.camera, state.robustMode ? LensFor(state, gray) : nullptr, state.frame.width(),
                    state.frame.height(), kModelSquare, state.quadCorners, state.pose);
  return 1;
}

}  // namespace quorl
