#include <cstdio>

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
    platform.report(kMsgCameraFileNotFound);
    return false;
  }
  return loadCameraParams(file, width, height, state.camera,
                          [&](const std::string& text) { platform.report(text); }) == 0;
}

void beginRegistration(TrackerState& state, TrackerPlatform& platform) {
  platform.stopTick();
  ResetModel(state.model);
  state.trackingState = TrackingState::Detecting;
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
  if (!gray.empty()) RegisterFrame(state.model, state.clicks, gray, platform.settings());
  state.clickMode = 0;
  state.clickCount = 0;
  platform.startTick();
}

int processTrackedFrame(TrackerState& state, TrackerPlatform& platform) {
  if (!state.model.isRegistered()) return 0;
  FrameTimer timer;
  timer.Start();
  GrayImage gray;
  DibToGray(state.frame, gray);
  TrackerSettings& settings = platform.settings();
  TrackFrame(state.model, gray, settings);
  EstimateHomography(state.model);
  const bool accepted = IsConsensusAcceptable(state.model.matchMap.size(), state.model.inlierMap.size());
  state.trackingState = TrackingStateOf(updateQuad(state.clicks, state.model, state.display, accepted));

  // Pose input: the quad's corners relative to the frame centre (integer halves), y still downwards.
  const int cx = state.frame.width() / 2;
  const int cy = state.frame.height() / 2;
  CornerSet centred{};
  for (int i = 0; i < 4; ++i) {
    const CornerPoint& c = state.model.currentQuad.pt[i];
    centred[i] = PlanePoint{static_cast<double>(int64_t{c.x} - cx), static_cast<double>(int64_t{c.y} - cy)};
  }
  estimateSquareHomography(state.pose, kModelSquare, centred);
  poseFromHomography(state.camera.cameraParams.mat[0][0], state.camera.cameraParams.mat[1][1], state.pose);
  timer.Stop();
  state.elapsedMs = timer.ElapsedMs();
  settings.frameRate = FrameRateFromElapsed(state.elapsedMs, settings.frameRate);
  platform.refreshSettingsDisplay();
  return 1;
}

}  // namespace quorl
