// Tracking and pose through a lens: the synthetic scene filmed through opencv-doc's left camera (strong barrel
// distortion, principal point off the centre), tracked with and without that calibration.
#include <gtest/gtest.h>

#include <cmath>

#include "capture/synthetic_scene.h"
#include "geometry/pose.h"
#include "tests/tracker/tracking_run.h"
#include "tests/camera/left_camera.h"
#include "tracker/engine.h"

namespace quorl {
namespace {

using test::LeftCamera;

struct RunFigures {
  double meanCornerError = 0.0;
  int within10 = 0;
  int frames = 0;
  int posed = 0;
  double meanRotationDegrees = 0.0;
  double meanDistanceShare = 0.0;
};

// The robust mode over frames 0..last of the approach profile (the target grows until the picture's edge cuts it),
// registered on frame 0 at its true corners; the pose compared with the scene's (model units: the square 200 wide
// is the target 1 wide).
RunFigures TrackApproach(const CameraLens& filmedThrough, const std::optional<CameraLens>& calibration, int last) {
  SceneSettings settings;
  settings.profile = MotionProfile::kApproach;
  settings.width = 640;
  settings.height = 480;
  settings.lens = filmedThrough;
  std::string error;
  const auto scene = SyntheticScene::Create(settings, error);
  EXPECT_TRUE(scene) << error;
  EngineOptions options;
  options.robust = true;
  options.warmup = 1;
  TrackingEngine engine(options, "test", makePinholeCameraParam(640, 480, 600.0));
  if (calibration) {
    EXPECT_TRUE(engine.SetCalibration(*calibration));
  }
  engine.frameBuffer() = testing::Frame(*scene, 0);
  EXPECT_TRUE(engine.Register(testing::Rounded(scene->cornersAt(0))));
  RunFigures figures;
  double errorSum = 0.0;
  for (int i = 1; i <= last; ++i) {
    engine.frameBuffer() = testing::Frame(*scene, i);
    EXPECT_TRUE(engine.Track()) << i;
    const TargetReport r = engine.Report().Clicked();
    const FrameCorners truth = scene->cornersAt(i);
    double error = 0.0;
    for (int c = 0; c < 4; ++c) error += cv::norm(r.corners[c] - truth[c]) / 4.0;
    ++figures.frames;
    errorSum += error;
    figures.within10 += r.state == TrackingState::Tracking && error < 10.0;
    if (r.state != TrackingState::Tracking || !r.pose) continue;
    const ScenePose pose = scene->poseAt(i);
    const cv::Matx33d trueRotation(pose.rotation.data());
    const cv::Matx33d rotation = r.pose->get_minor<3, 3>(0, 0);
    const cv::Matx33d difference = rotation * trueRotation.t();
    const double angle = std::acos(std::clamp((cv::trace(difference) - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / CV_PI;
    const cv::Vec3d t((*r.pose)(0, 3), (*r.pose)(1, 3), (*r.pose)(2, 3));
    const cv::Vec3d trueT(pose.translation.data());
    const double distance = std::fabs(cv::norm(t) / (2 * kModelSquare[1].x) / cv::norm(trueT) - 1.0);
    ++figures.posed;
    figures.meanRotationDegrees += angle;
    figures.meanDistanceShare += distance;
  }
  figures.meanCornerError = errorSum / figures.frames;
  figures.meanRotationDegrees /= std::max(figures.posed, 1);
  figures.meanDistanceShare /= std::max(figures.posed, 1);
  return figures;
}

TEST(LensTracking, CalibratedTrackingAndPoseHoldThroughTheLensUncalibratedDoNot) {
  // Frames 0..150 take the target from half the picture height to beyond the picture's edges (frame 135).
  const CameraLens left = LeftCamera();
  const RunFigures calibrated = TrackApproach(left, left, 150);
  // The clicks are whole pixels, 0.39 px off the true corners on frame 0 (an error that grows with the target), and
  // are moved onto the target's edges: left at their whole pixels, the mean is 0.77 px.
  EXPECT_EQ(calibrated.within10, calibrated.frames);
  EXPECT_LT(calibrated.meanCornerError, 0.4);
  EXPECT_LT(calibrated.meanRotationDegrees, 0.5);
  EXPECT_LT(calibrated.meanDistanceShare, 0.005);

  const RunFigures uncalibrated = TrackApproach(left, std::nullopt, 150);
  EXPECT_GT(uncalibrated.meanCornerError, 3.0 * calibrated.meanCornerError);
  EXPECT_LT(uncalibrated.within10, uncalibrated.frames * 9 / 10);
  EXPECT_GT(uncalibrated.meanRotationDegrees, 1.0);
  EXPECT_GT(uncalibrated.meanDistanceShare, 0.05);
  std::printf("through the lens, calibrated: mean %.2f px, mean rotation %.2f deg, distance %.2f %%; "
              "uncalibrated: mean %.2f px, %d of %d within 10 px, mean rotation %.2f deg, distance %.2f %%\n",
              calibrated.meanCornerError, calibrated.meanRotationDegrees, 100 * calibrated.meanDistanceShare,
              uncalibrated.meanCornerError, uncalibrated.within10, uncalibrated.frames,
              uncalibrated.meanRotationDegrees, 100 * uncalibrated.meanDistanceShare);
}

TEST(LensTracking, APinholeCalibrationChangesNothingButThePrincipalPoint) {
  // A lens without distortion films the plain pinhole picture; tracked through it the quads are the pinhole run's
  // and the pose takes the calibrated principal point.
  std::string error;
  const cv::Matx33d k(560.0, 0, 340.0, 0, 560.0, 250.0, 0, 0, 1);
  const std::optional<CameraLens> pinhole = CameraLens::FromOpenCV(k, {}, cv::Size(640, 480), error);
  ASSERT_TRUE(pinhole) << error;
  const RunFigures figures = TrackApproach(*pinhole, pinhole, 60);
  EXPECT_EQ(figures.within10, figures.frames);
  EXPECT_LT(figures.meanCornerError, 0.3);
  EXPECT_LT(figures.meanRotationDegrees, 0.5);
  EXPECT_LT(figures.meanDistanceShare, 0.005);
}

}  // namespace
}  // namespace quorl
