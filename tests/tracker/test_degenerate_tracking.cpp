// Degenerate runs end to end, through the frame loop as the desktop drives it: blank and single-corner
// registrations, clicks outside the picture, a target that leaves the picture and returns, runs of black
// frames, and frame sizes that change mid-run. Each test prints its slowest tick.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture/synthetic_scene.h"
#include "tracking_run.h"
#include "geometry/quad.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

using namespace quorl::testing;

const Quad kCentreSquare{{{{80, 60}, {240, 60}, {240, 180}, {80, 180}}}};

// A packed frame of one grey level, with bright 1-pixel dots at `dots`.
std::vector<uint8_t> FlatFrame(int width, int height, uint8_t level, const std::vector<CornerPoint>& dots = {}) {
  DibImage d;
  d.CreateRgbDib(width, height);
  for (int y = 0; y < height; ++y) std::fill(d.rows24()[y], d.rows24()[y] + 3 * width, level);
  for (const CornerPoint& c : dots) std::fill(d.rows24()[c.y] + 3 * c.x, d.rows24()[c.y] + 3 * c.x + 3, uint8_t{220});
  return packedBytes(d);
}

TEST(DegenerateTracking, BlankRegionGivesAnEmptyModelThatMatchesNothing) {
  TrackingRun s(320, 240);
  s.Register(FlatFrame(320, 240, 128), kCentreSquare);
  EXPECT_TRUE(s.state.model.modelKeypoints.empty());
  auto scene = Scene(MotionProfile::kOrbit);
  // Nothing is matched, so the homography and with it the quad stay as they were.
  for (int i = 0; i < 40; ++i) {
    s.Tick(Frame(*scene, i));
    EXPECT_TRUE(s.state.model.matchMap.empty()) << i;
    EXPECT_TRUE(s.state.model.inlierMap.empty()) << i;
  }
  // A new registration on a textured frame recovers.
  s.Register(Frame(*scene, 40), Rounded(scene->cornersAt(40)));
  EXPECT_GT(s.state.model.modelKeypoints.size(), 50u);
  s.Tick(Frame(*scene, 41));
  EXPECT_TRUE(s.Tracked());
  s.Report();
}

TEST(DegenerateTracking, SingleCornerRegionMatchesWithoutAHomography) {
  TrackingRun s(320, 240);
  // Dots outside the square give the suppression stage its five candidates; one dot lies inside.
  const std::vector<CornerPoint> dots = {{20, 20}, {300, 20}, {160, 120}, {20, 220}, {300, 220}, {60, 200}};
  s.Register(FlatFrame(320, 240, 20, dots), kCentreSquare);
  const CornerList& model = s.state.model.modelKeypoints;
  ASSERT_GE(model.size(), 1u);
  ASSERT_LE(model.size(), 4u);  // the same dot, found at up to four scales
  for (int32_t i = 0; i < static_cast<int32_t>(model.size()); ++i) {
    const CornerPoint p = RegisteredFramePosition(model[i], ModelScale(s.state.model, i));
    EXPECT_LE(std::abs(p.x - 160) + std::abs(p.y - 120), 4) << p.x << "," << p.y;
  }
  for (int i = 0; i < 20; ++i) {
    s.Tick(FlatFrame(320, 240, 20, dots));
    EXPECT_LT(s.state.model.inlierMap.size(), 4u);  // too few for a homography
  }
  auto scene = Scene(MotionProfile::kOrbit);
  for (int i = 0; i < 20; ++i) s.Tick(Frame(*scene, i));
  s.Report();
}

TEST(DegenerateTracking, ClicksOutsideThePicture) {
  auto scene = Scene(MotionProfile::kOrbit);
  const std::vector<Quad> clickSets = {
      Quad{{{{-40, -30}, {360, -30}, {360, 270}, {-40, 270}}}},  // around the whole picture
      Quad{{{{INT_MIN, INT_MIN}, {INT_MAX, INT_MIN}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MAX}}}},
      Quad{{{{-500, -500}, {-400, -500}, {-400, -400}, {-500, -400}}}},  // nothing of the picture inside
      Quad{{{{1000, 1000}, {1000, 1000}, {1000, 1000}, {1000, 1000}}}},  // one point
  };
  for (const Quad& clicks : clickSets) {
    TrackingRun s(320, 240);
    s.Register(Frame(*scene, 0), clicks);
    const bool coversPicture = clicks.pt[0].x < 0 && clicks.pt[2].x > 320 && clicks.pt[2].y > 240;
    EXPECT_EQ(s.state.model.modelKeypoints.empty(), !coversPicture) << clicks.pt[0].x;
    for (int i = 1; i <= 30; ++i) {
      s.Tick(Frame(*scene, i));
      // Corners far outside cannot be a valid quad of this picture; they are held or lost instead.
      if (!s.Tracked()) continue;
      for (const CornerPoint& c : s.state.model.currentQuad.pt)
        EXPECT_TRUE(std::abs(c.x) < 100000 && std::abs(c.y) < 100000) << c.x << "," << c.y;
    }
    EXPECT_EQ(s.state.display.width(), 320);
    s.Report();
  }
}

TEST(DegenerateTracking, TargetLeavesThePictureForAHundredFramesAndReturns) {
  // kLeave pans the target out of the picture (wholly out from frame 94 to 159) and back (wholly in from
  // 176). Going back and forth over the frames without the target keeps it away for 100 frames.
  auto scene = Scene(MotionProfile::kLeave);
  std::vector<int> order;
  for (int i = 0; i < 94; ++i) order.push_back(i);
  for (int k = 0; k < 100; ++k) {
    const int phase = k % 130;
    order.push_back(phase < 65 ? 94 + phase : 159 - (phase - 65));
  }
  for (int i = 94; i < 300; ++i) order.push_back(i);

  TrackingRun s(320, 240);
  s.Register(Frame(*scene, 0), Rounded(scene->cornersAt(0)));
  int trackedAway = 0, trackedBack = 0, backFrames = 0;
  for (std::size_t k = 1; k < order.size(); ++k) {
    const int index = order[k];
    s.Tick(Frame(*scene, index));
    const bool away = k >= 94 && k < 194;
    if (away) {
      trackedAway += s.Tracked();
    } else if (index >= 186) {  // ten frames after the target is wholly back
      ++backFrames;
      trackedBack += s.Tracked() && CornerError(s.state.model.currentQuad, scene->cornersAt(index)) < 10.0;
    }
  }
  // Without the target the few matches that survive agree on nothing: no frame counts as tracked.
  EXPECT_EQ(trackedAway, 0);
  EXPECT_GE(trackedBack, backFrames * 9 / 10) << trackedBack << " of " << backFrames;
  s.Report();
}

TEST(DegenerateTracking, BlackFramesKeepTheBarrierAtItsFloorAndTrackingResumes) {
  auto scene = Scene(MotionProfile::kOrbit);
  const std::vector<uint8_t> black = FlatFrame(320, 240, 0);

  // Without a model: the detection ticks.
  TrackingRun live(320, 240);
  for (int i = 0; i < 500; ++i) {
    live.Tick(black);
    ASSERT_GE(live.platform.values.barrier, kMinAdaptedBarrier) << i;
  }
  EXPECT_EQ(live.platform.values.barrier, kMinAdaptedBarrier);
  EXPECT_EQ(live.platform.values.keypointCount, 0);
  for (int i = 0; i < 60; ++i) live.Tick(Frame(*scene, i));
  EXPECT_LE(live.platform.values.keypointCount, kDetectBandHigh);
  live.Report();

  // With a model: the tracked ticks. Afterwards tracking is as good as in a run without the black run.
  auto s = RegisteredOnFrame0(*scene);
  for (int i = 0; i < 500; ++i) {
    s->Tick(black);
    EXPECT_TRUE(s->state.model.matchMap.empty());
  }
  EXPECT_EQ(s->platform.values.barrier, kMinAdaptedBarrier);
  const int afterBlack = TrackWithin10(*s, *scene, 1, 100);
  const int control = TrackWithin10(*RegisteredOnFrame0(*scene), *scene, 1, 100);
  EXPECT_GE(afterBlack, control - 5) << "control " << control;
  s->Report();
}

// In both modes: the pictures and the calibration follow every size, nothing throws, and tracking at the
// registered size is as good as in a run that never left it.
class FrameSizeChanges : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Modes, FrameSizeChanges, ::testing::Values(false, true));

TEST_P(FrameSizeChanges, MidRun) {
  auto scene = Scene(MotionProfile::kOrbit);
  auto run = RegisteredOnFrame0(*scene);
  TrackingRun& s = *run;
  setRobustMode(s.state, GetParam());
  int index = 1;
  for (; index < 30; ++index) s.Tick(Frame(*scene, index));
  EXPECT_TRUE(s.Tracked());

  for (const auto& [w, h] : {std::pair{640, 480}, std::pair{160, 120}, std::pair{1280, 720}, std::pair{16, 16}}) {
    ASSERT_TRUE(scene->setFrameSize(w, h));
    for (int k = 0; k < 15; ++k, ++index) {
      s.Tick(Frame(*scene, index));
      EXPECT_EQ(s.state.frame.width(), w);
      EXPECT_EQ(s.state.display.height(), h);
      EXPECT_EQ(s.state.camera.cameraParams.xsize, w);
    }
  }
  // Bitmaps smaller than any source delivers, down to one pixel.
  for (int side : {1, 2, 6, 7, 21}) {
    s.Tick(FlatFrame(side, side, 90));
    EXPECT_EQ(s.state.frame.width(), side);
  }

  // Back at the registered size, tracking is as good as in a run that never left it.
  ASSERT_TRUE(scene->setFrameSize(320, 240));
  const int afterChanges = TrackWithin10(s, *scene, index, index + 39);
  auto control = RegisteredOnFrame0(*scene);
  setRobustMode(control->state, GetParam());
  TrackWithin10(*control, *scene, 1, index - 1);
  EXPECT_GE(afterChanges, TrackWithin10(*control, *scene, index, index + 39) - 3);
  s.Report();
}

}  // namespace
}  // namespace quorl
