// The robust mode end to end through the frame loop: every motion profile at modest length, the honest
// state while the target is out of the picture, and the mode switched on after registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "geometry/quad.h"
#include "tracking_run.h"

namespace quorl {
namespace {

using namespace quorl::testing;

double SubPixelError(const TrackerState& state, const FrameCorners& truth) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += cv::norm(state.quadCorners[i] - truth[i]);
  return sum / 4.0;
}

// A robust run registered on frame 0 of `scene` at its true corners.
std::unique_ptr<TrackingRun> RobustRun(SyntheticScene& scene) {
  auto run = std::make_unique<TrackingRun>(scene.width(), scene.height());
  run->state.robustMode = true;
  run->Register(Frame(scene, 0), Rounded(scene.cornersAt(0)));
  EXPECT_TRUE(run->state.robust.registered());
  return run;
}

class RobustProfiles : public ::testing::TestWithParam<MotionProfile> {};

TEST_P(RobustProfiles, TracksWithinAPixel) {
  auto scene = Scene(GetParam());
  auto run = RobustRun(*scene);
  int good = 0, frames = 0;
  double error = 0.0;
  for (int i = 1; i <= 120; ++i, ++frames) {
    run->Tick(Frame(*scene, i));
    const double e = SubPixelError(run->state, scene->cornersAt(i));
    good += run->Tracked() && e < 10.0;
    if (run->Tracked()) error += e;
  }
  EXPECT_GE(good, frames * 95 / 100);
  EXPECT_LT(error / good, 1.0);
  run->Report();
}

INSTANTIATE_TEST_SUITE_P(Profiles, RobustProfiles,
                         ::testing::Values(MotionProfile::kOrbit, MotionProfile::kZoom, MotionProfile::kSpin,
                                           MotionProfile::kShake, MotionProfile::kOcclude, MotionProfile::kApproach,
                                           MotionProfile::kRecede, MotionProfile::kTilt, MotionProfile::kBlur,
                                           MotionProfile::kDim, MotionProfile::kCut, MotionProfile::kStill),
                         [](const auto& info) { return std::string(MotionProfileName(info.param)); });

// kLeave has the target wholly out of the picture on frames 94..159: never tracking there, and found
// again once it is back.
TEST(RobustTracking, OutOfViewIsNeverTrackingAndTheTargetIsFoundAgain) {
  auto scene = Scene(MotionProfile::kLeave);
  auto run = RobustRun(*scene);
  int foundAgain = 0;
  for (int i = 1; i < 240; ++i) {
    run->Tick(Frame(*scene, i));
    if (i >= 94 && i <= 159) {
      EXPECT_FALSE(run->Tracked()) << "frame " << i;
    }
    if (i == 150) {
      // Lost: no pose, so no teapot.
      EXPECT_EQ(run->state.model.currentQuad.pt[0].x, kLostCoordinate);
      const auto& m = run->state.pose.modelview;
      EXPECT_FALSE(std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); }));
    }
    if (i >= 200) foundAgain += run->Tracked() && SubPixelError(run->state, scene->cornersAt(i)) < 2.0;
  }
  EXPECT_GE(foundAgain, 38);
}

// A photograph as the target, leaving and found again at half size in front of a busy table: whenever it
// is wholly in the picture it is tracked, and never while it is wholly out.
TEST(RobustTracking, FindsAPhotoTargetAgainInClutter) {
  SceneSettings settings;
  settings.profile = MotionProfile::kClutter;
  settings.targetImage = "/usr/share/doc/opencv-doc/examples/data/graf1.png";
  std::string error;
  auto scene = SyntheticScene::Create(settings, error);
  ASSERT_TRUE(scene) << error;
  auto run = RobustRun(*scene);
  int inView = 0, missed = 0;
  for (int i = 1; i < 300; ++i) {
    run->Tick(Frame(*scene, i));
    const FrameCorners c = scene->cornersAt(i);
    const bool whollyIn = std::all_of(c.begin(), c.end(), [](const cv::Point2d& p) {
      return p.x >= 0 && p.y >= 0 && p.x < 320 && p.y < 240;
    });
    const bool whollyOut = std::all_of(c.begin(), c.end(), [](const cv::Point2d& p) { return p.x < 0; }) ||
                           std::all_of(c.begin(), c.end(), [](const cv::Point2d& p) { return p.x >= 320; });
    if (whollyOut) {
      EXPECT_FALSE(run->Tracked()) << "frame " << i;
    }
    if (!whollyIn) continue;
    ++inView;
    missed += !(run->Tracked() && SubPixelError(run->state, c) < 10.0);
  }
  EXPECT_GT(inView, 150);
  EXPECT_LE(missed, 3);
}

// Switched on after registration, off and on again: each switch starts the robust mode over from the
// registered frame (a global search, no stale motion), and it finds the target.
TEST(RobustTracking, SwitchedOnAfterRegistrationAndToggledFindsTheTarget) {
  auto scene = Scene(MotionProfile::kOrbit);
  auto run = RegisteredOnFrame0(*scene);
  int i = 1;
  for (; i <= 20; ++i) run->Tick(Frame(*scene, i));
  for (int toggle = 0; toggle < 2; ++toggle) {
    setRobustMode(run->state, true);
    EXPECT_FALSE(run->state.robust.registered());
    run->Tick(Frame(*scene, i++));
    EXPECT_TRUE(run->state.robust.registered());
    EXPECT_TRUE(run->state.robust.stats.global);
    for (const int end = i + 19; i <= end; ++i) run->Tick(Frame(*scene, i));
    EXPECT_TRUE(run->Tracked());
    EXPECT_LT(SubPixelError(run->state, scene->cornersAt(i - 1)), 1.0);
    setRobustMode(run->state, false);
    run->Tick(Frame(*scene, i++));
  }
}

// An OpenCV error out of a tick (here from a flow window OpenCV refuses) leaves a state that recovers:
// after recoverFromError the robust mode starts over and tracks.
TEST(RobustTracking, RecoversFromAnErrorInsideATick) {
  auto scene = Scene(MotionProfile::kOrbit);
  auto run = RegisteredOnFrame0(*scene);
  setRobustMode(run->state, true);
  int i = 1;
  for (; i <= 5; ++i) run->Tick(Frame(*scene, i));
  run->state.robust.params.flowWindow = 0;
  EXPECT_THROW(run->Tick(Frame(*scene, i++)), cv::Exception);
  run->state.robust.params = RobustParams{};
  recoverFromError(run->state);
  for (const int end = i + 10; i <= end; ++i) run->Tick(Frame(*scene, i));
  EXPECT_TRUE(run->Tracked());
}

}  // namespace
}  // namespace quorl
