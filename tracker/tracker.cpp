#include "tracker/tracker.h"

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

void tick(TrackerState& state, TrackerPlatform& platform) {
  if (!platform.hasCapture()) return;
  const uint8_t* packed = nullptr;
  std::size_t byteCount = 0;
  if (!platform.grabFrame(packed, byteCount)) return;
  if (!state.frame.SetPackedDib(packed, byteCount)) return;
  state.display = state.frame;
  if (state.model.isRegistered()) {
    state.modelActive = processTrackedFrame(state, platform);
  } else {
    processDetectOnly(state, platform);
  }
  platform.requestRepaint();
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
