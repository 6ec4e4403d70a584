// The synthetic scene: true corners against an independent projection and against the rendered picture,
// determinism, sizes, the motion profiles' promises, and corner-richness for the tracker.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/synthetic_scene.h"
#include "image/corners.h"

namespace quorl {
namespace {

constexpr MotionProfile kAllProfiles[] = {MotionProfile::kOrbit, MotionProfile::kZoom,    MotionProfile::kSpin,
                                          MotionProfile::kShake, MotionProfile::kOcclude, MotionProfile::kLeave};

std::unique_ptr<SyntheticScene> makeScene(MotionProfile profile, int w = 320, int h = 240, uint32_t seed = 1,
                                          SceneEffects effects = {}, std::string target = {}) {
  SceneSettings s;
  s.width = w;
  s.height = h;
  s.profile = profile;
  s.seed = seed;
  s.effects = effects;
  s.targetImage = std::move(target);
  std::string error;
  auto scene = SyntheticScene::Create(s, error);
  EXPECT_TRUE(scene) << error;
  return scene;
}

// Pinhole projection written out here, independently of the scene's own code.
cv::Point2d project(const PinholeIntrinsics& k, const ScenePose& pose, double x, double y) {
  const auto& r = pose.rotation;
  const auto& t = pose.translation;
  const double cx = r[0] * x + r[1] * y + t[0], cy = r[3] * x + r[4] * y + t[1], cz = r[6] * x + r[7] * y + t[2];
  return {k.fx * cx / cz + k.cx, k.fy * cy / cz + k.cy};
}

std::vector<cv::Point2f> polygon(const FrameCorners& c) { return {c.begin(), c.end()}; }

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    path = std::filesystem::temp_directory_path() /
           ("quorl_scene_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

TEST(SyntheticScene, TrueCornersAreTheProjectionOfTheTargetThroughItsPose) {
  for (MotionProfile profile : kAllProfiles) {
    auto scene = makeScene(profile, 640, 480, 5);
    const PinholeIntrinsics& k = scene->intrinsics();
    EXPECT_DOUBLE_EQ(k.fx, 600.0);
    EXPECT_DOUBLE_EQ(k.cx, 320.0);
    for (int i = 0; i < 900; i += 37) {
      const ScenePose pose = scene->poseAt(i);
      // A rotation: orthonormal with determinant +1; the target lies in front of the camera.
      cv::Matx33d r(pose.rotation.data());
      EXPECT_LT(cv::norm(r * r.t() - cv::Matx33d::eye(), cv::NORM_INF), 1e-9);
      EXPECT_NEAR(cv::determinant(r), 1.0, 1e-9);
      const FrameCorners c = scene->cornersAt(i);
      const double hw = scene->targetWidth() / 2, hh = scene->targetHeight() / 2;
      const cv::Point2d expected[4] = {project(k, pose, -hw, -hh), project(k, pose, hw, -hh),
                                       project(k, pose, hw, hh), project(k, pose, -hw, hh)};
      for (int j = 0; j < 4; ++j) {
        EXPECT_LT(cv::norm(c[j] - expected[j]), 1e-6) << MotionProfileName(profile) << " frame " << i;
        EXPECT_GT(r(2, 0) * (j == 1 || j == 2 ? hw : -hw) + r(2, 1) * (j >= 2 ? hh : -hh) + pose.translation[2], 0);
      }
      // Clockwise in the picture (y down): positive signed area.
      double area = 0;
      for (int j = 0; j < 4; ++j) area += c[j].x * c[(j + 1) % 4].y - c[(j + 1) % 4].x * c[j].y;
      EXPECT_GT(area, 0) << MotionProfileName(profile) << " frame " << i;
    }
  }
}

TEST(SyntheticScene, FrameZeroShowsTheTargetFrontOnCoveringHalfThePicture) {
  for (MotionProfile profile : kAllProfiles) {
    for (uint32_t seed : {1u, 99u}) {
      auto scene = makeScene(profile, 320, 240, seed);
      const FrameCorners c = scene->cornersAt(0);
      EXPECT_NEAR(c[0].x, 100, 1e-6);  // a 120-pixel square in the middle of 320 x 240
      EXPECT_NEAR(c[0].y, 60, 1e-6);
      EXPECT_NEAR(c[2].x, 220, 1e-6);
      EXPECT_NEAR(c[2].y, 180, 1e-6);
    }
  }
}

// The rendered picture agrees with the true corners: with a white and a black target over the same
// background, the difference is the target's coverage; its area and centroid match the true quad.
TEST(SyntheticScene, RenderedTargetCoversExactlyTheTrueQuad) {
  TempDir dir;
  const std::string white = (dir.path / "white.png").string(), black = (dir.path / "black.png").string();
  ASSERT_TRUE(cv::imwrite(white, cv::Mat(64, 48, CV_8UC3, cv::Scalar::all(255))));
  ASSERT_TRUE(cv::imwrite(black, cv::Mat(64, 48, CV_8UC3, cv::Scalar::all(0))));
  for (MotionProfile profile : {MotionProfile::kOrbit, MotionProfile::kShake, MotionProfile::kSpin}) {
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(640, 480)}) {
      auto a = makeScene(profile, size.width, size.height, 3, {}, white);
      auto b = makeScene(profile, size.width, size.height, 3, {}, black);
      EXPECT_NEAR(a->targetWidth(), 0.75, 1e-12);  // 48 x 64 keeps its aspect ratio
      for (int i : {0, 41, 150, 333}) {
        cv::Mat fa, fb, ga, gb, diff;
        a->render(i, fa);
        b->render(i, fb);
        cv::cvtColor(fa, ga, cv::COLOR_BGR2GRAY);
        cv::cvtColor(fb, gb, cv::COLOR_BGR2GRAY);
        cv::subtract(ga, gb, diff, cv::noArray(), CV_32F);
        const auto quad = polygon(a->cornersAt(i));
        const double truth = cv::contourArea(quad), perimeter = cv::arcLength(quad, true);
        const cv::Moments m = cv::moments(diff), q = cv::moments(quad);
        // Mean edge offset under a fiftieth of a pixel; centroid within a twentieth.
        EXPECT_LT(std::abs(cv::sum(diff)[0] / 255.0 - truth) / perimeter, 0.02)
            << MotionProfileName(profile) << " " << size << " frame " << i;
        EXPECT_LT(cv::norm(cv::Point2d(m.m10 / m.m00 - q.m10 / q.m00, m.m01 / m.m00 - q.m01 / q.m00)), 0.05);
      }
    }
  }
}

TEST(SyntheticScene, SameSeedSameFramesOtherSeedOtherPath) {
  const SceneEffects effects{6.0, 0.8, 0.2};
  auto a = makeScene(MotionProfile::kShake, 320, 240, 11, effects);
  auto b = makeScene(MotionProfile::kShake, 320, 240, 11, effects);
  auto c = makeScene(MotionProfile::kShake, 320, 240, 12, effects);
  std::vector<uint8_t> pa, pb, pc;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(a->read(pa));
    ASSERT_TRUE(b->read(pb));
    ASSERT_TRUE(c->read(pc));
    ASSERT_EQ(pa, pb) << "frame " << i;
    if (i > 0) {
      EXPECT_NE(pa, pc);
    }
    EXPECT_EQ(*a->trueCorners(), *b->trueCorners());
  }
  // Rendering out of order gives the same frame as reading in order.
  cv::Mat again;
  a->render(19, again);
  std::vector<uint8_t> packed;
  ASSERT_TRUE(PackBgrFrame(again, packed));
  EXPECT_EQ(packed, pa);
  EXPECT_NE(a->cornersAt(60)[0], c->cornersAt(60)[0]);
}

TEST(SyntheticScene, EveryProfileDeliversFramesOfTheAskedSize) {
  for (MotionProfile profile : kAllProfiles) {
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(640, 480), cv::Size(333, 197)}) {
      auto scene = makeScene(profile, size.width, size.height);
      EXPECT_FALSE(scene->trueCorners().has_value());
      std::vector<uint8_t> packed;
      for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(scene->read(packed));
        ASSERT_EQ(packed.size(), PackedFrameSize(size.width, size.height));
        const cv::Mat frame = UnpackFrame(packed);
        ASSERT_EQ(frame.size(), size);
        EXPECT_EQ(*scene->trueCorners(), scene->cornersAt(i));
      }
      EXPECT_EQ(scene->nextIndex(), 3);
      EXPECT_EQ(scene->width(), size.width);
      EXPECT_NE(scene->description().find(MotionProfileName(profile)), std::string::npos);
    }
  }
}

TEST(SyntheticScene, ResizingScalesTheCameraAndKeepsThePicture) {
  auto scene = makeScene(MotionProfile::kOrbit, 320, 240);
  const FrameCorners small = scene->cornersAt(200);
  ASSERT_TRUE(scene->setFrameSize(640, 480));
  EXPECT_DOUBLE_EQ(scene->intrinsics().fx, 600.0);
  EXPECT_DOUBLE_EQ(scene->intrinsics().cy, 240.0);
  const FrameCorners large = scene->cornersAt(200);
  for (int j = 0; j < 4; ++j) EXPECT_LT(cv::norm(large[j] - 2.0 * small[j]), 1e-6);
  std::vector<uint8_t> packed;
  ASSERT_TRUE(scene->read(packed));
  EXPECT_EQ(UnpackFrame(packed).size(), cv::Size(640, 480));

  EXPECT_FALSE(scene->setFrameSize(8, 480));
  EXPECT_FALSE(scene->setFrameSize(640, kMaxFrameSide + 1));
  EXPECT_EQ(scene->width(), 640);
  EXPECT_FALSE(scene->setIntrinsics({0.0, 600.0, 320.0, 240.0}));
  EXPECT_TRUE(scene->setIntrinsics({500.0, 500.0, 300.0, 250.0}));
  EXPECT_DOUBLE_EQ(scene->intrinsics().fx, 500.0);
}

TEST(SyntheticScene, CreateRefusesBadSettingsWithAReason) {
  auto refused = [](SceneSettings s) {
    std::string error;
    const bool made = SyntheticScene::Create(s, error) != nullptr;
    return !made && !error.empty();
  };
  SceneSettings s;
  s.width = 0;
  EXPECT_TRUE(refused(s));
  s = {};
  s.intrinsics = PinholeIntrinsics{std::nan(""), 600, 160, 120};
  EXPECT_TRUE(refused(s));
  s = {};
  s.intrinsics = PinholeIntrinsics{-300, 300, 160, 120};
  EXPECT_TRUE(refused(s));
  s = {};
  s.effects.noiseSigma = -1;
  EXPECT_TRUE(refused(s));
  s = {};
  s.effects.gainAmplitude = std::nan("");
  EXPECT_TRUE(refused(s));
  s = {};
  s.targetImage = "/nonexistent/target.png";
  EXPECT_TRUE(refused(s));
}

// Corner paths: per-frame motion and visibility over a minute of each profile at 320 x 240.
struct PathStats {
  double maxStep = 0;       // largest corner move between frames, pixels
  double minMargin = 1e9;   // smallest distance of a corner inside the picture edge (negative: outside)
  int framesWhollyOut = 0;  // frames with the whole target off the picture
};
PathStats pathStats(SyntheticScene& scene, int frames) {
  PathStats s;
  FrameCorners prev = scene.cornersAt(0);
  const cv::Rect2d picture(0, 0, scene.width(), scene.height());
  for (int i = 0; i < frames; ++i) {
    const FrameCorners c = scene.cornersAt(i);
    for (int j = 0; j < 4; ++j) {
      s.maxStep = std::max(s.maxStep, cv::norm(c[j] - prev[j]));
      s.minMargin = std::min({s.minMargin, c[j].x, c[j].y, scene.width() - c[j].x, scene.height() - c[j].y});
    }
    const cv::Rect2d box = cv::boundingRect(polygon(c));
    s.framesWhollyOut += (box & picture).area() > 0 ? 0 : 1;
    prev = c;
  }
  return s;
}

TEST(SyntheticScene, ProfilesKeepTheirPromises) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    auto orbit = makeScene(MotionProfile::kOrbit, 320, 240, seed);
    const PathStats o = pathStats(*orbit, 1800);
    EXPECT_LT(o.maxStep, 3.0);      // slow enough for a 30 fps tracker
    EXPECT_GT(o.minMargin, 10.0);   // the target stays in the picture
    double maxTilt = 0, maxTurn = 0;
    for (int i = 0; i < 1800; i += 3) {
      // rotation[8] is the cosine of the angle between the optical axis and the target's normal.
      maxTilt = std::max(maxTilt, std::acos(std::clamp(orbit->poseAt(i).rotation[8], -1.0, 1.0)));
      const FrameCorners c = orbit->cornersAt(i);
      maxTurn = std::max(maxTurn, std::abs(std::atan2(c[1].y - c[0].y, c[1].x - c[0].x)));
    }
    EXPECT_NEAR(maxTilt * 180 / CV_PI, 45.0, 3.0);
    EXPECT_GT(maxTurn * 180 / CV_PI, 60.0);

    auto shake = makeScene(MotionProfile::kShake, 320, 240, seed);
    const PathStats s = pathStats(*shake, 900);
    EXPECT_GT(s.maxStep, 10.0);  // fast
    EXPECT_GT(s.minMargin, 0.0);

    auto leave = makeScene(MotionProfile::kLeave, 320, 240, seed);
    const PathStats l = pathStats(*leave, 480);
    EXPECT_GT(l.framesWhollyOut, 20);
    const cv::Moments back = cv::moments(polygon(leave->cornersAt(240)));  // second cycle: home again
    EXPECT_NEAR(back.m10 / back.m00, 160.0, 4.0);
    EXPECT_NEAR(back.m01 / back.m00, 120.0, 4.0);
  }

  // Zoom: the target's apparent size spans well over a factor of two.
  auto zoom = makeScene(MotionProfile::kZoom);
  double smallest = 1e9, largest = 0;
  for (int i = 0; i < 600; i += 5) {
    const double a = cv::contourArea(polygon(zoom->cornersAt(i)));
    smallest = std::min(smallest, a);
    largest = std::max(largest, a);
  }
  EXPECT_GT(std::sqrt(largest / smallest), 2.5);

  // Spin: a full turn within ten seconds.
  auto spin = makeScene(MotionProfile::kSpin);
  double turned = 0, prev = 0;
  for (int i = 0; i <= 300; ++i) {
    const FrameCorners c = spin->cornersAt(i);
    const double a = std::atan2(c[1].y - c[0].y, c[1].x - c[0].x);
    if (i > 0) turned += std::remainder(a - prev, 2 * CV_PI);
    prev = a;
  }
  EXPECT_GT(std::abs(turned), 2 * CV_PI);
}

TEST(SyntheticScene, OccluderHidesPartOfTheTargetAndOnlyPart) {
  auto occluded = makeScene(MotionProfile::kOcclude);
  int framesPartlyHidden = 0;
  for (int i = 0; i < 150; i += 3) {
    cv::Mat f;
    occluded->render(i, f);
    cv::Mat inside(f.size(), CV_8UC1, cv::Scalar(0));
    std::vector<cv::Point> quad;
    for (const auto& c : occluded->cornersAt(i)) quad.emplace_back(cvRound(c.x), cvRound(c.y));
    cv::fillConvexPoly(inside, quad, cv::Scalar(255));
    cv::Mat bar;
    cv::inRange(f, cv::Scalar(72, 64, 58), cv::Scalar(72, 64, 58), bar);
    const double hidden = cv::countNonZero(bar & inside) / static_cast<double>(cv::countNonZero(inside));
    EXPECT_LT(hidden, 0.6);
    if (hidden > 0.1) ++framesPartlyHidden;
  }
  EXPECT_GT(framesPartlyHidden, 5);
  cv::Mat f0;
  occluded->render(0, f0);  // no bar at the start
  cv::Mat bar;
  cv::inRange(f0, cv::Scalar(72, 64, 58), cv::Scalar(72, 64, 58), bar);
  EXPECT_EQ(cv::countNonZero(bar), 0);
}

// The tracker keeps 300..500 corners per frame before registration and 100..400 while tracking. At the
// threshold that leaves 400 FAST-10 corners in the whole frame, the target must hold plenty of them.
TEST(SyntheticScene, TargetIsRichInFastCornersAtEveryProfileAndSize) {
  for (MotionProfile profile : kAllProfiles) {
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(640, 480)}) {
      auto scene = makeScene(profile, size.width, size.height);
      for (int i = 0; i < 600; i += 50) {
        const FrameCorners c = scene->cornersAt(i);
        const cv::Rect box = cv::boundingRect(polygon(c));
        if ((box & cv::Rect(0, 0, size.width, size.height)) != box) continue;  // the leave profile's outings
        cv::Mat f, g;
        scene->render(i, f);
        cv::cvtColor(f, g, cv::COLOR_BGR2GRAY);
        GrayImage gray;
        ASSERT_TRUE(gray.CreateImage(g.cols, g.rows));
        for (int y = 0; y < g.rows; ++y) std::memcpy(gray.rows[y], g.ptr(y), static_cast<std::size_t>(g.cols));
        CornerList corners;
        for (int barrier = 10; barrier < 200; barrier += 2) {
          corners = DetectCorners(gray, 10, barrier);
          if (corners.size() <= 400) break;
        }
        int inTarget = 0;
        for (const CornerPoint& p : corners)
          if (cv::pointPolygonTest(polygon(c), cv::Point2f(float(p.x), float(p.y)), false) > 0) ++inTarget;
        EXPECT_GE(inTarget, 80) << MotionProfileName(profile) << " " << size << " frame " << i;
      }
    }
  }
}

TEST(SyntheticScene, EffectsChangeThePictureButNotTheGeometry) {
  auto clean = makeScene(MotionProfile::kOrbit);
  auto noisy = makeScene(MotionProfile::kOrbit, 320, 240, 1, {8.0, 0.0, 0.0});
  auto blurred = makeScene(MotionProfile::kOrbit, 320, 240, 1, {0.0, 2.0, 0.0});
  auto dimmed = makeScene(MotionProfile::kOrbit, 320, 240, 1, {0.0, 0.0, 0.5});
  cv::Mat c, n, b, d;
  const int frame = 158;  // gain near its low point
  clean->render(frame, c);
  noisy->render(frame, n);
  blurred->render(frame, b);
  dimmed->render(frame, d);
  cv::Mat diff;
  cv::absdiff(c, n, diff);
  const double noiseSd = cv::norm(c, n, cv::NORM_L2) / std::sqrt(static_cast<double>(c.total() * 3));
  EXPECT_NEAR(noiseSd, 8.0, 1.5);
  cv::Mat lc, lb;
  cv::Laplacian(c, lc, CV_32F);
  cv::Laplacian(b, lb, CV_32F);
  EXPECT_LT(cv::norm(lb), 0.5 * cv::norm(lc));
  EXPECT_LT(cv::mean(d)[1], 0.7 * cv::mean(c)[1]);
  EXPECT_EQ(clean->cornersAt(frame), noisy->cornersAt(frame));
}

}  // namespace
}  // namespace quorl
