#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include <opencv2/imgproc.hpp>

#include "camera/camera_param.h"
#include "camera/camera_setup.h"
#include "fake_platform.h"
#include "geometry/homography.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

using testing::FakePlatform;
using testing::packedBytes;

TEST(FrameRate, RoundsElapsedToWholeMilliseconds) {
  EXPECT_EQ(FrameRateFromElapsed(20.4f, 0), 50);
  EXPECT_EQ(FrameRateFromElapsed(20.5f, 0), 47);
  EXPECT_EQ(FrameRateFromElapsed(0.49f, 33), 33);  // rounds to 0 ms: keeps the previous rate
  EXPECT_EQ(FrameRateFromElapsed(0.5f, 33), 1000);
  EXPECT_EQ(FrameRateFromElapsed(1500.0f, 0), 0);
}

// A textured frame with a bright square target: plenty of corners inside and outside it.
DibImage texturedFrame(int w, int h, double shiftX = 0.0) {
  cv::Mat m(h, w, CV_8UC3, cv::Scalar(60, 60, 60));
  cv::RNG rng(9);
  for (int i = 0; i < w * h / 300; ++i) {
    const cv::Point c(rng.uniform(0, w), rng.uniform(0, h));
    cv::rectangle(m, c, c + cv::Point(rng.uniform(3, 12), rng.uniform(3, 12)),
                  cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)), cv::FILLED);
  }
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, shiftX, 0, 1, 0);
  cv::warpAffine(m, m, shift, m.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  DibImage d;
  d.CreateRgbDib(w, h);
  for (int y = 0; y < h; ++y) std::memcpy(d.rows24()[y], m.ptr<uint8_t>(y), static_cast<std::size_t>(w) * 3);
  return d;
}

struct Registered : ::testing::Test {
  FakePlatform p;
  TrackerState s;
  void SetUp() override {
    initialise(s, 320, 240);
    s.camera.cameraParams = makePinholeCameraParam(320, 240, 300.0);
    p.frames.push_back(packedBytes(texturedFrame(320, 240)));
    tick(s, p);
  }
  void clickSquare() {
    for (CornerPoint c : {CornerPoint{80, 60}, CornerPoint{240, 60}, CornerPoint{240, 180}, CornerPoint{80, 180}})
      addClick(s, c.x, c.y, p);
  }
};

TEST_F(Registered, ClicksOutsideClickModeChangeNothing) {
  addClick(s, 5, 6, p);
  EXPECT_EQ(s.clicks.pt[0], (CornerPoint{-1, -1}));
  EXPECT_EQ(s.clickCount, 0);
  EXPECT_FALSE(s.model.isRegistered());
}

TEST_F(Registered, SecondRegisterFrameRestartsTheCount) {
  beginRegistration(s, p);
  addClick(s, 1, 1, p);
  addClick(s, 2, 2, p);
  beginRegistration(s, p);
  EXPECT_EQ(p.stops, 2);
  EXPECT_EQ(s.clickCount, 0);
  EXPECT_EQ(s.clicks.pt[0], (CornerPoint{1, 1}));  // not cleared, only overwritten by the next clicks
  clickSquare();
  EXPECT_EQ(s.clickMode, 0);
  EXPECT_EQ(p.starts, 1);
  EXPECT_EQ(s.clicks.pt[0], (CornerPoint{80, 60}));
  EXPECT_EQ(s.clicks.pt[3], (CornerPoint{80, 180}));
  EXPECT_TRUE(s.model.isRegistered());
}

TEST_F(Registered, FirstTrackedFrameIsActiveEvenWithoutMatches) {
  beginRegistration(s, p);
  clickSquare();
  ASSERT_TRUE(s.model.isRegistered());
  DibImage blank;
  blank.CreateRgbDib(320, 240);
  p.frames.push_back(packedBytes(blank));
  tick(s, p);
  EXPECT_EQ(s.modelActive, 1);
  EXPECT_TRUE(s.model.matchMap.empty());
  EXPECT_EQ(p.values.keypointCount, 0);
}

TEST_F(Registered, ShiftedFrameMovesTheQuadAndThePose) {
  beginRegistration(s, p);
  clickSquare();
  p.frames.push_back(packedBytes(texturedFrame(320, 240, 6.0)));
  tick(s, p);
  EXPECT_EQ(s.modelActive, 1);
  EXPECT_GT(s.model.matchMap.size(), 20u);
  const Quad& q = s.model.currentQuad;
  EXPECT_NEAR(q.pt[0].x, 86, 2);
  EXPECT_NEAR(q.pt[0].y, 60, 2);
  EXPECT_NEAR(q.pt[2].x, 246, 2);
  // Quad centre sits 6 px right of the frame centre: the model origin lies ahead of the camera, shifted right.
  EXPECT_GT(s.pose.modelview[11], 0.0);
  EXPECT_GT(s.pose.modelview[3], 0.0);
}

// One report per frame: the clicked target first once registered, then the pictures; its time and the frame rate
// come from every tick that tracks something, pictures alone too (the options showed 0 f/s while following them).
TEST_F(Registered, TheFrameReportListsEveryTargetAndTimesEveryTrackingTick) {
  cv::Mat picture(150, 200, CV_8UC1);
  cv::randu(picture, 0, 255);
  cv::GaussianBlur(picture, picture, cv::Size(), 2.0);
  std::string error;
  ASSERT_NE(addPictureTarget(s, "poster", picture, 0.0, 10, error), nullptr) << error;
  p.values.frameRate = 0;
  p.refreshes = 0;
  p.frames.push_back(packedBytes(texturedFrame(320, 240)));
  tick(s, p);
  FrameReport report = reportFrame(s, p.values);
  ASSERT_EQ(report.targets.size(), 1u);
  EXPECT_EQ(report.targets[0].name, "poster");
  EXPECT_EQ(report.Clicked().state, TrackingState::Detecting);
  EXPECT_EQ(report.Clicked().corners[2], cv::Point2d(-1, -1));
  EXPECT_GT(report.ms, 0.0);
  EXPECT_GT(p.values.frameRate, 0);
  EXPECT_EQ(p.refreshes, 2);  // the detection's and the timed tick's

  beginRegistration(s, p);
  clickSquare();
  p.frames.push_back(packedBytes(texturedFrame(320, 240, 6.0)));
  tick(s, p);
  report = reportFrame(s, p.values);
  ASSERT_EQ(report.targets.size(), 2u);
  EXPECT_EQ(report.targets[0].name, kClickedTargetName);
  EXPECT_EQ(report.targets[1].name, "poster");
  EXPECT_EQ(report.Clicked().state, TrackingState::Tracking);
  EXPECT_NEAR(report.Clicked().corners[0].x, 86, 2);
  EXPECT_EQ(report.Clicked().matches, static_cast<int>(s.model.matchMap.size()));
  EXPECT_DOUBLE_EQ(report.ms, s.elapsedMs);
}

// The state follows the estimation as well as the quad: frames without matches (estimation not run),
// frames whose matches agree on nothing (no acceptable consensus) and bad quads all fail alike.
TEST_F(Registered, StateIsTrackingOnlyWhileTheEstimationFindsTheTarget) {
  EXPECT_EQ(s.trackingState, TrackingState::Detecting);
  beginRegistration(s, p);
  clickSquare();
  EXPECT_EQ(s.trackingState, TrackingState::Detecting);  // nothing tracked yet
  auto tickOn = [&](const DibImage& frame) {
    p.frames.push_back(packedBytes(frame));
    tick(s, p);
    return s.trackingState;
  };
  ASSERT_EQ(tickOn(texturedFrame(320, 240, 4.0)), TrackingState::Tracking);
  const Quad tracked = s.model.currentQuad;

  DibImage blank;
  blank.CreateRgbDib(320, 240);
  // Another scene of the same kind: many matches, none consistent with the target.
  cv::Mat other(240, 320, CV_8UC3);
  cv::randu(other, 0, 255);
  DibImage noise;
  noise.CreateRgbDib(320, 240);
  for (int y = 0; y < 240; ++y) std::memcpy(noise.rows24()[y], other.ptr<uint8_t>(y), 320 * 3);
  for (const DibImage* failing : {&blank, &noise}) {
    for (int miss = 1; miss <= kMaxHeldFrames; ++miss) {
      EXPECT_EQ(tickOn(*failing), TrackingState::Holding) << miss;
      EXPECT_EQ(s.model.currentQuad, tracked);
      EXPECT_FALSE(IsConsensusAcceptable(s.model.matchMap.size(), s.model.inlierMap.size()));
    }
    EXPECT_EQ(tickOn(*failing), TrackingState::Lost);
    EXPECT_EQ(s.model.currentQuad.pt[0], (CornerPoint{kLostCoordinate, kLostCoordinate}));
    EXPECT_EQ(s.modelActive, 1);
    EXPECT_EQ(tickOn(texturedFrame(320, 240, 4.0)), TrackingState::Tracking);
    EXPECT_EQ(s.model.currentQuad, tracked);
  }
  beginRegistration(s, p);
  EXPECT_EQ(s.trackingState, TrackingState::Detecting);
  EXPECT_STREQ(TrackingStateName(TrackingState::Holding), "holding");
}

TEST(Recentring, OddWidthCentresOnTheIntegerHalf) {
  FakePlatform p;
  TrackerState s;
  initialise(s, 321, 240);
  s.camera.cameraParams = makePinholeCameraParam(321, 240, 150.0);
  p.frames.push_back(packedBytes(texturedFrame(321, 240)));
  tick(s, p);
  beginRegistration(s, p);
  for (CornerPoint c : {CornerPoint{100, 60}, CornerPoint{220, 60}, CornerPoint{220, 180}, CornerPoint{100, 180}})
    addClick(s, c.x, c.y, p);
  p.frames.push_back(packedBytes(texturedFrame(321, 240)));
  tick(s, p);
  ASSERT_EQ(s.modelActive, 1);
  // The pose comes from the quad measured from (160, 120), the integer halves of 321 x 240.
  CornerSet centred{};
  for (int i = 0; i < 4; ++i)
    centred[i] = {s.model.currentQuad.pt[i].x - 160.0, s.model.currentQuad.pt[i].y - 120.0};
  PoseEstimate expected;
  estimateSquareHomography(expected, kModelSquare, centred);
  poseFromHomography(150.0, 150.0, expected);
  EXPECT_EQ(s.pose.modelview, expected.modelview);
}

TEST(LoadCamera, MissingAndPresentFiles) {
  FakePlatform p;
  TrackerState s;
  EXPECT_FALSE(loadCamera(s, "/nonexistent/camera_param.dat", 320, 240, p));
  ASSERT_EQ(p.reports.size(), 1u);
  EXPECT_EQ(p.reports[0], "Can't find the camera parameter file!!!");
  EXPECT_EQ(p.details[0], "/nonexistent/camera_param.dat: No such file or directory");
  EXPECT_EQ(s.camera.cameraParams.mat[0][0], 0.0);
  EXPECT_FALSE(hasCalibration(s.camera));

  // A file that the tracker cannot use names the file and the reason too.
  const auto path = std::filesystem::temp_directory_path() / "quorl_test_camera.dat";
  ASSERT_EQ(writeCameraParamPath(path.string(), CameraParam{}), CameraFileStatus::Ok);
  EXPECT_FALSE(loadCamera(s, path.string(), 320, 240, p));
  ASSERT_EQ(p.reports.size(), 2u);
  EXPECT_EQ(p.reports[1], "File read error!!!");
  EXPECT_EQ(p.details[1], path.string() + ": " + kUnusableCameraReason);

  ASSERT_EQ(writeCameraParamPath(path.string(), makePinholeCameraParam(640, 480, 600.0)), CameraFileStatus::Ok);
  EXPECT_TRUE(loadCamera(s, path.string(), 320, 240, p));
  EXPECT_EQ(p.reports.size(), 2u);
  EXPECT_DOUBLE_EQ(s.camera.cameraParams.mat[0][0], 300.0);
  EXPECT_TRUE(hasCalibration(s.camera));
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace quorl
