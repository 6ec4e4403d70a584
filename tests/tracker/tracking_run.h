#pragma once
// A frame loop driven as the desktop drives it, on synthetic scenes, for the end-to-end tracking tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture/synthetic_scene.h"
#include "fake_platform.h"
#include "tracker/tracker.h"

namespace quorl::testing {

// A frame loop with its host, timing every tick and registration. Closes the ANN library at the end.
class TrackingRun {
 public:
  TrackingRun(int width, int height) {
    loadCamera(state, std::string(QUORL_SOURCE_DIR) + "/Data/camera_param.dat", width, height, platform);
    initialise(state, width, height);
  }
  ~TrackingRun() { ReleaseIndex(state.model.keypointIndex); }
  TrackingRun(const TrackingRun&) = delete;
  TrackingRun& operator=(const TrackingRun&) = delete;

  void Tick(std::vector<uint8_t> packed) {
    platform.frames.push_back(std::move(packed));
    const int barrier = platform.values.barrier;
    const auto start = std::chrono::steady_clock::now();
    tick(state, platform);
    if (Time(start, "tick")) {
      slowestTickSize_[0] = state.frame.width();
      slowestTickSize_[1] = state.frame.height();
      slowestTickBarrier_ = barrier;
    }
  }

  // A live tick on `packed`, then Register Frame and four clicks on it.
  void Register(std::vector<uint8_t> packed, const Quad& corners) {
    Tick(std::move(packed));
    const auto start = std::chrono::steady_clock::now();
    beginRegistration(state, platform);
    for (const CornerPoint& c : corners.pt) addClick(state, c.x, c.y, platform);
    Time(start, "registration");
  }

  bool Tracked() const { return state.modelActive == 1 && state.trackingState == TrackingState::Tracking; }

  // Prints the slowest tick and registration and records them as test properties.
  void Report() const {
    std::printf("slowest tick %.2f ms (%dx%d, barrier %d), slowest registration %.2f ms\n", slowest_[0],
                slowestTickSize_[0], slowestTickSize_[1], slowestTickBarrier_, slowest_[1]);
    ::testing::Test::RecordProperty("slowest_tick_ms", std::to_string(slowest_[0]));
    ::testing::Test::RecordProperty("slowest_registration_ms", std::to_string(slowest_[1]));
  }

  TrackerState state;
  FakePlatform platform;

 private:
  // Keeps the longest duration of each kind; true when this one is the new longest.
  bool Time(std::chrono::steady_clock::time_point start, const std::string& what) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    double& slowest = slowest_[what == "tick" ? 0 : 1];
    if (ms <= slowest) return false;
    slowest = ms;
    return true;
  }
  double slowest_[2] = {0.0, 0.0};
  int slowestTickSize_[2] = {0, 0};
  int slowestTickBarrier_ = 0;
};

inline std::unique_ptr<SyntheticScene> Scene(MotionProfile profile, int width = 320, int height = 240) {
  SceneSettings settings;
  settings.profile = profile;
  settings.width = width;
  settings.height = height;
  std::string error;
  auto scene = SyntheticScene::Create(settings, error);
  EXPECT_TRUE(scene) << error;
  return scene;
}

inline std::vector<uint8_t> Frame(SyntheticScene& scene, int index) {
  scene.seek(index);
  std::vector<uint8_t> packed;
  EXPECT_TRUE(scene.read(packed));
  return packed;
}

inline Quad Rounded(const FrameCorners& c) {
  Quad q;
  for (int i = 0; i < 4; ++i)
    q.pt[i] = {static_cast<int32_t>(std::lround(c[i].x)), static_cast<int32_t>(std::lround(c[i].y))};
  return q;
}

inline double CornerError(const Quad& quad, const FrameCorners& truth) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += std::hypot(quad.pt[i].x - truth[i].x, quad.pt[i].y - truth[i].y);
  return sum / 4.0;
}

// Ticks frames first..last of `scene` and counts those tracked within 10 px of the truth.
inline int TrackWithin10(TrackingRun& s, SyntheticScene& scene, int first, int last) {
  int good = 0;
  for (int i = first; i <= last; ++i) {
    s.Tick(Frame(scene, i));
    good += s.Tracked() && CornerError(s.state.model.currentQuad, scene.cornersAt(i)) < 10.0;
  }
  return good;
}

// A run registered on frame 0 of `scene` at its true corners.
inline std::unique_ptr<TrackingRun> RegisteredOnFrame0(SyntheticScene& scene) {
  auto s = std::make_unique<TrackingRun>(scene.width(), scene.height());
  s->Register(Frame(scene, 0), Rounded(scene.cornersAt(0)));
  return s;
}

}  // namespace quorl::testing
