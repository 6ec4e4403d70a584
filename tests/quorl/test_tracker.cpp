// The public tracker against the headless tool on the same frames, trackers on two threads, bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capture/frame_source.h"
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "quorl/tracker.h"
#include "tools/track_report.h"

namespace {

const std::string kCalibration = std::string(QUORL_SOURCE_DIR) + "/Data/camera_param.dat";

// Frames and registration corners of a synthetic source, as quorl-track opens it.
struct Clip {
  std::vector<cv::Mat> frames;
  std::array<cv::Point2f, 4> corners;
};

Clip ReadClip(const std::string& source, int count) {
  quorl::TrackArgs args;
  args.source = source;
  args.cameraParams = kCalibration;
  std::string error;
  auto input = quorl::OpenTrackSource(args, quorl::ReadTrackCalibration(kCalibration).param, error);
  EXPECT_TRUE(input) << error;
  Clip clip;
  std::vector<uint8_t> packed;
  for (int i = 0; i < count && input->read(packed); ++i) {
    clip.frames.push_back(quorl::UnpackFrame(packed));
    if (i > 0) continue;
    const quorl::Quad corners = quorl::RoundedCorners(*input->trueCorners());  // of frame 0
    for (int c = 0; c < 4; ++c)
      clip.corners[c] = cv::Point2f(static_cast<float>(corners.pt[c].x), static_cast<float>(corners.pt[c].y));
  }
  return clip;
}

std::vector<quorl::TrackResult> RegisterAndTrack(quorl::Tracker& tracker, const Clip& clip) {
  tracker.registerTarget(clip.frames[0], clip.corners);
  std::vector<quorl::TrackResult> results;
  for (std::size_t i = 1; i < clip.frames.size(); ++i) results.push_back(tracker.track(clip.frames[i]));
  return results;
}

// Everything but the time.
void ExpectSame(const quorl::TrackResult& a, const quorl::TrackResult& b, std::size_t frame) {
  SCOPED_TRACE("frame " + std::to_string(frame));
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.quad, b.quad);
  EXPECT_EQ(a.homography, b.homography);
  EXPECT_EQ(a.pose.has_value(), b.pose.has_value());
  if (a.pose && b.pose) {
    EXPECT_EQ(*a.pose, *b.pose);
  }
  EXPECT_EQ(a.keypoints, b.keypoints);
  EXPECT_EQ(a.matches, b.matches);
  EXPECT_EQ(a.inliers, b.inliers);
}

std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream cellsIn(line);
    for (std::string cell; std::getline(cellsIn, cell, ',');) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

TEST(PublicTracker, GivesTheHeadlessToolsQuadsAndCountsOnTheSameFrames) {
  constexpr int kFrames = 40;
  for (const bool robust : {false, true}) {
    SCOPED_TRACE(robust ? "robust" : "default");
    const std::string csv = ::testing::TempDir() + "quorl_track_" + std::to_string(robust) + ".csv";
    const std::string command = std::string(QUORL_TRACK) + " --quiet --frames " + std::to_string(kFrames) +
                                " --camera-params " + kCalibration + " --csv " + csv + (robust ? " --robust" : "");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const auto rows = ReadCsv(csv);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kFrames));

    quorl::TrackerOptions options;
    options.robust = robust;
    options.cameraParams = kCalibration;
    quorl::Tracker tracker(options);
    const Clip clip = ReadClip("synthetic", kFrames);
    ASSERT_EQ(tracker.registerTarget(clip.frames[0], clip.corners), std::stoi(rows[0][10]));  // model points
    int tracked = 0;
    for (int i = 1; i < kFrames; ++i) {
      const quorl::TrackResult r = tracker.track(clip.frames[i]);
      const std::vector<std::string>& row = rows[static_cast<std::size_t>(i)];
      SCOPED_TRACE("frame " + row[0]);
      EXPECT_EQ(quorl::stateName(r.state), row[16]);
      EXPECT_EQ(r.keypoints, std::stoi(row[10]));
      EXPECT_EQ(r.matches, std::stoi(row[11]));
      EXPECT_EQ(r.inliers, std::stoi(row[12]));
      // The CSV prints six significant digits; the default mode's corners are integers.
      for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(r.quad[c].x, std::stod(row[2 + 2 * c]), robust ? 0.01 : 0.0);
        EXPECT_NEAR(r.quad[c].y, std::stod(row[3 + 2 * c]), robust ? 0.01 : 0.0);
      }
      if (r.state == quorl::TrackState::Tracking) {
        ++tracked;
        ASSERT_TRUE(r.pose.has_value());
        // A rotation: orthonormal with determinant 1.
        const cv::Matx33d rotation = r.pose->get_minor<3, 3>(0, 0);
        EXPECT_LT(cv::norm(rotation * rotation.t() - cv::Matx33d::eye()), 1e-9);
        EXPECT_NEAR(cv::determinant(rotation), 1.0, 1e-9);
        // The homography carries the registered corners onto the quad.
        for (int c = 0; c < 4; ++c) {
          const cv::Vec3d p = r.homography * cv::Vec3d(clip.corners[c].x, clip.corners[c].y, 1.0);
          EXPECT_NEAR(p[0] / p[2], r.quad[c].x, 1e-3);
          EXPECT_NEAR(p[1] / p[2], r.quad[c].y, 1e-3);
        }
      }
    }
    EXPECT_GT(tracked, kFrames / 2);
  }
}

TEST(PublicTracker, TrackersOnTwoThreadsGiveWhatEachGivesAlone) {
  // Different scenes: with any shared state (the sampling sequence, the search library's) the two runs
  // would disturb each other.
  const Clip clips[2] = {ReadClip("synthetic:orbit", 60), ReadClip("synthetic:shake", 60)};
  for (const bool robust : {false, true}) {
    SCOPED_TRACE(robust ? "robust" : "default");
    quorl::TrackerOptions options;
    options.cameraParams = kCalibration;
    options.warmup = 5;
    options.robust = robust;
    std::vector<quorl::TrackResult> alone[2], together[2];
    for (int k = 0; k < 2; ++k) {
      quorl::Tracker tracker(options);
      alone[k] = RegisterAndTrack(tracker, clips[k]);
    }
    quorl::Tracker trackers[2] = {quorl::Tracker(options), quorl::Tracker(options)};
    std::thread first([&] { together[0] = RegisterAndTrack(trackers[0], clips[0]); });
    std::thread second([&] { together[1] = RegisterAndTrack(trackers[1], clips[1]); });
    first.join();
    second.join();
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(alone[k].size(), together[k].size());
      for (std::size_t i = 0; i < alone[k].size(); ++i) ExpectSame(alone[k][i], together[k][i], i + 1);
    }
    // reset() starts over as a new tracker does.
    trackers[0].reset();
    const std::vector<quorl::TrackResult> again = RegisterAndTrack(trackers[0], clips[0]);
    for (std::size_t i = 0; i < again.size(); ++i) ExpectSame(alone[0][i], again[i], i + 1);
  }
}

// Registered at one size, tracked at another (within the default mode's scales) and back, in both modes: no exception,
// and the target is found again in the new frame's pixels.
TEST(PublicTracker, KeepsTrackingWhenTheFrameSizeChanges) {
  const Clip clip = ReadClip("synthetic", 24);
  for (const bool robust : {false, true}) {
    SCOPED_TRACE(robust ? "robust" : "default");
    quorl::TrackerOptions options;
    options.cameraParams = kCalibration;
    options.robust = robust;
    quorl::Tracker tracker(options);
    tracker.registerTarget(clip.frames[0], clip.corners);
    int found = 0;
    for (int i = 1; i < 24; ++i) {
      const bool large = i >= 8 && i < 16;
      cv::Mat frame = clip.frames[i];
      if (large) cv::resize(frame, frame, cv::Size(400, 300));
      const quorl::TrackResult r = tracker.track(frame);
      if (!large || r.state != quorl::TrackState::Tracking) continue;
      ++found;
      const cv::Vec3d p = r.homography * cv::Vec3d(clip.corners[0].x, clip.corners[0].y, 1.0);
      EXPECT_GT(p[0] / p[2], 1.15 * clip.corners[0].x);
    }
    EXPECT_GT(found, 4);
    EXPECT_EQ(tracker.track(clip.frames[23]).state, quorl::TrackState::Tracking);
  }
}

// A picture target found in a real photo of the same object in clutter (opencv-doc's box and box_in_scene):
// the box's corners where they are in the photo, the pose in metres for a 12 cm wide print.
TEST(PublicTracker, FindsAPictureTargetInARealPhoto) {
  const std::string data = "/usr/share/doc/opencv-doc/examples/data/";
  const cv::Mat scene = cv::imread(data + "box_in_scene.png");
  if (scene.empty()) GTEST_SKIP() << "opencv-doc not installed";
  quorl::TrackerOptions options;
  options.cameraParams = kCalibration;
  quorl::Tracker tracker(options);
  const quorl::PictureRating rating = tracker.addPictureFile(data + "box.png", 0.12);
  EXPECT_TRUE(rating.warning.empty()) << rating.score;
  EXPECT_GT(rating.corners, 50);
  quorl::TrackResult r;
  for (int i = 0; i < 3; ++i) r = tracker.track(scene);
  ASSERT_EQ(r.targets.size(), 1u);
  const quorl::TargetResult& box = r.targets[0];
  EXPECT_EQ(box.name, "box");
  ASSERT_EQ(box.state, quorl::TrackState::Tracking);
  const cv::Point2f expected[4] = {{118, 161}, {284, 175}, {268, 298}, {89, 273}};  // read off the photo
  for (int i = 0; i < 4; ++i) EXPECT_LT(cv::norm(box.quad[i] - expected[i]), 6.0) << "corner " << i;
  ASSERT_TRUE(box.pose.has_value());
  EXPECT_GT((*box.pose)(2, 3), 0.05);  // a 12 cm box filling a third of a 512-pixel photo: tens of centimetres
  EXPECT_LT((*box.pose)(2, 3), 1.0);
  tracker.removePictureTargets();
  EXPECT_TRUE(tracker.track(scene).targets.empty());
}

// Steep and small views in real photos (opencv-doc): graf1 seen about 50 degrees off its axis in graf3, where the
// photo is softer than the picture, at the corners graf3's true homography gives; and the box registered by clicking
// its corners in a frame, then found in box_in_scene at under half that size (the same corners as above).
TEST(PublicTracker, FindsTargetsSeenSteeplyAndSmallInRealPhotos) {
  const std::string data = "/usr/share/doc/opencv-doc/examples/data/";
  const cv::Mat graf3 = cv::imread(data + "graf3.png");
  cv::Mat truth;
  cv::FileStorage(data + "H1to3p.xml", cv::FileStorage::READ).getFirstTopLevelNode() >> truth;
  if (graf3.empty() || truth.empty()) GTEST_SKIP() << "opencv-doc not installed";
  quorl::TrackerOptions options;
  options.cameraParams = kCalibration;
  {
    quorl::Tracker tracker(options);
    tracker.addPictureFile(data + "graf1.png");
    quorl::TrackResult r;
    for (int i = 0; i < 3; ++i) r = tracker.track(graf3);
    ASSERT_EQ(r.targets.size(), 1u);
    ASSERT_EQ(r.targets[0].state, quorl::TrackState::Tracking);
    const cv::Point2d corners[4] = {{0, 0}, {799, 0}, {799, 639}, {0, 639}};
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d p = cv::Matx33d(truth) * cv::Vec3d(corners[i].x, corners[i].y, 1.0);
      EXPECT_LT(cv::norm(cv::Point2d(r.targets[0].quad[i]) - cv::Point2d(p[0] / p[2], p[1] / p[2])), 4.0) << i;
    }
  }
  const cv::Mat box = cv::imread(data + "box.png"), scene = cv::imread(data + "box_in_scene.png");
  cv::Mat registration(scene.size(), CV_8UC3, cv::Scalar(128, 128, 128));
  box.copyTo(registration(cv::Rect(94, 80, box.cols, box.rows)));
  options.robust = true;
  quorl::Tracker tracker(options);
  tracker.registerTarget(registration, {{{94, 80}, {417, 80}, {417, 302}, {94, 302}}});
  quorl::TrackResult r;
  for (int i = 0; i < 3; ++i) r = tracker.track(scene);
  ASSERT_EQ(r.state, quorl::TrackState::Tracking);
  const cv::Point2f expected[4] = {{118, 161}, {284, 175}, {268, 298}, {89, 273}};
  for (int i = 0; i < 4; ++i) EXPECT_LT(cv::norm(r.quad[i] - expected[i]), 6.0) << "corner " << i;
}

// The message of the std::invalid_argument that `call` throws; fails the test when it throws none.
template <typename Call>
std::string InvalidArgument(Call call) {
  try {
    call();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "no std::invalid_argument";
  return "";
}

TEST(PublicTracker, RefusesWhatItCannotUseAndNamesIt) {
  quorl::Tracker tracker;
  const cv::Mat gray(240, 320, CV_8UC1, cv::Scalar(128));
  EXPECT_EQ(tracker.track(gray).state, quorl::TrackState::Detecting);
  EXPECT_NE(InvalidArgument([&] { tracker.track(cv::Mat()); }).find("an empty image"), std::string::npos);
  EXPECT_NE(InvalidArgument([&] { tracker.track(cv::Mat(48, 64, CV_16UC1)); }).find("64x48 CV_16UC1"), std::string::npos);
  EXPECT_NE(InvalidArgument([&] { tracker.track(cv::Mat(48, 64, CV_8UC4)); }).find("CV_8UC4"), std::string::npos);
  const std::array<cv::Point2f, 4> outside = {{{400, 300}, {500, 300}, {500, 400}, {400, 400}}};
  EXPECT_NE(InvalidArgument([&] { tracker.registerTarget(gray, outside); }).find("320x240"), std::string::npos);
  const std::array<cv::Point2f, 4> notANumber = {{{10, 10}, {100, 10}, {100, std::nanf("")}, {10, 100}}};
  EXPECT_NE(InvalidArgument([&] { tracker.registerTarget(gray, notANumber); }).find("corner 2"), std::string::npos);
  quorl::TrackerOptions options;
  options.cameraParams = "/nonexistent/camera_param.dat";
  EXPECT_NE(InvalidArgument([&] { quorl::Tracker t(options); }).find("/nonexistent/camera_param.dat"), std::string::npos);
  options = {};
  options.cornerType = 4;
  EXPECT_NE(InvalidArgument([&] { quorl::Tracker t(options); }).find("cornerType"), std::string::npos);

  EXPECT_NE(InvalidArgument([&] { tracker.track(cv::Mat(2, 3, CV_8UC3)); }).find("each side"), std::string::npos);

  // Pictures that cannot be targets, named with the reason.
  EXPECT_NE(InvalidArgument([&] { tracker.addPictureFile("/no/such.png"); }).find("/no/such.png: no such file"),
            std::string::npos);
  EXPECT_NE(InvalidArgument([&] { tracker.addPictureTarget("small", cv::Mat(8, 8, CV_8UC1)); }).find("small: 8x8"),
            std::string::npos);
  EXPECT_NE(InvalidArgument([&] { tracker.addPictureTarget("w", cv::Mat(64, 64, CV_8UC1), -1.0); }).find("width"),
            std::string::npos);

  // A moved-from tracker says so.
  quorl::Tracker taken = std::move(tracker);
  EXPECT_THROW(tracker.track(gray), std::logic_error);  // NOLINT(bugprone-use-after-move)
  tracker = std::move(taken);

  // Any other type or channel count, at any size, is refused without touching the tracker.
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> depth(CV_8U, CV_64F), channels(1, 4), side(quorl::kMinFrameSide, 96);
  for (int trial = 0; trial < 50; ++trial) {
    const int type = CV_MAKETYPE(depth(rng), channels(rng));
    const cv::Mat image(side(rng), side(rng), type, cv::Scalar::all(0));
    if (type == CV_8UC1 || type == CV_8UC3) {
      EXPECT_EQ(tracker.track(image).state, quorl::TrackState::Detecting);
    } else {
      EXPECT_NE(InvalidArgument([&] { tracker.track(image); }).find(cv::typeToString(type)), std::string::npos);
    }
  }
}

}  // namespace
