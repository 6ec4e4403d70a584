// The synthetic scene: true corners against an independent projection and against the rendered picture,
// determinism, sizes, the motion profiles' promises, and corner-richness for the tracker.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/scene_textures.h"
#include "capture/synthetic_scene.h"
#include "image/corners.h"

namespace quorl {
namespace {

const std::span<const MotionProfile> kAllProfiles = AllMotionProfiles();
// The first profiles, whose frames the trackers' published figures were measured on.
constexpr MotionProfile kFirstProfiles[] = {MotionProfile::kOrbit, MotionProfile::kZoom,    MotionProfile::kSpin,
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
// threshold that leaves 400 FAST-10 corners in the whole frame, the target must hold plenty of them (the
// harder profiles starve it on purpose).
TEST(SyntheticScene, TargetIsRichInFastCornersAtEveryProfileAndSize) {
  for (MotionProfile profile : kFirstProfiles) {
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

// FNV-1a over the rendered frame's bytes.
uint64_t frameHash(SyntheticScene& scene, int index) {
  cv::Mat f;
  scene.render(index, f);
  uint64_t h = 1469598103934665603ull;
  for (int y = 0; y < f.rows; ++y)
    for (const uint8_t* p = f.ptr(y); p != f.ptr(y) + f.cols * 3; ++p) h = (h ^ *p) * 1099511628211ull;
  return h;
}

// Frames of the first profiles stay bit for bit what they were, so that figures measured on them stay
// comparable (the hashes are of Debian 12's OpenCV 4.6).
TEST(SyntheticScene, FirstProfilesRenderTheirOriginalFrames) {
  // Per profile: frames 61 and 250 at 320x240, seed 1; frame 133 at 640x480, seed 9, with every effect.
  const uint64_t expected[][3] = {
      {0xc2e42fc57052bde1ull, 0x898506b4fa04e747ull, 0x55538d4b1078433full},
      {0xf8d769eee8986fa6ull, 0x56e22e2de7f9f88bull, 0xe34a36e217fce7c3ull},
      {0x160cfc1987b4f329ull, 0x71611644db267ec0ull, 0x23510208ecb65663ull},
      {0x219592f59fa31459ull, 0xa146d466de4c84dcull, 0xcac445ec087c2271ull},
      {0xf9a38c9205f11f00ull, 0xf56f8ef5c414e75ull, 0xd51c23268d40023ull},
      {0xb6d0c81e9a00e8bull, 0x6dc0d5694f35990aull, 0x56234e224ff75703ull}};
  for (std::size_t p = 0; p < std::size(kFirstProfiles); ++p) {
    auto plain = makeScene(kFirstProfiles[p], 320, 240, 1);
    auto degraded = makeScene(kFirstProfiles[p], 640, 480, 9, {6.0, 0.8, 0.3});
    const uint64_t got[3] = {frameHash(*plain, 61), frameHash(*plain, 250), frameHash(*degraded, 133)};
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(got[i], expected[p][i]) << MotionProfileName(kFirstProfiles[p]) << " case " << i;
  }
}

TEST(SyntheticScene, EveryProfileHasOneNameThatParsesBack) {
  const std::string list = MotionProfileList();
  for (std::size_t i = 0; i < kAllProfiles.size(); ++i) {
    const MotionProfile profile = kAllProfiles[i];
    EXPECT_EQ(static_cast<std::size_t>(profile), i);
    EXPECT_EQ(ParseMotionProfile(MotionProfileName(profile)), profile);
    EXPECT_NE(list.find(MotionProfileName(profile)), std::string::npos);
  }
  EXPECT_EQ(std::count(list.begin(), list.end(), ','), static_cast<long>(kAllProfiles.size()) - 1);
  EXPECT_FALSE(ParseMotionProfile("Still"));
  EXPECT_FALSE(ParseMotionProfile(""));
}

// Apparent size of the target: square root of its quad's area in the picture.
double apparentSize(const SyntheticScene& scene, int index) {
  return std::sqrt(cv::contourArea(polygon(scene.cornersAt(index))));
}

// Share of the target's quad inside the picture.
double visibleShare(const SyntheticScene& scene, int index) {
  const std::vector<cv::Point2f> quad = polygon(scene.cornersAt(index));
  const std::vector<cv::Point2f> picture{{0, 0}, {float(scene.width()), 0},
                                         {float(scene.width()), float(scene.height())}, {0, float(scene.height())}};
  std::vector<cv::Point2f> inside;
  return cv::intersectConvexConvex(quad, picture, inside) / cv::contourArea(quad);
}

// Where the optical axis meets the target plane: the camera's distance along its axis, in world units.
double axisDistance(const ScenePose& pose) {
  const cv::Matx33d r(pose.rotation.data());
  const cv::Vec3d t(pose.translation.data()), axis(r(2, 0), r(2, 1), r(2, 2)), centre = -(r.t() * t);
  return -centre[2] / axis[2];
}

TEST(SyntheticScene, HarderProfilesReachTheirExtremes) {
  for (uint32_t seed : {1u, 4u}) {
    // Approach: at least 2.5x the frame-0 size, most of the target still in the picture.
    auto approach = makeScene(MotionProfile::kApproach, 320, 240, seed);
    int closest = 0;
    for (int i = 0; i < 300; ++i)
      if (apparentSize(*approach, i) > apparentSize(*approach, closest)) closest = i;
    EXPECT_GE(apparentSize(*approach, closest) / apparentSize(*approach, 0), 2.5);
    EXPECT_GT(visibleShare(*approach, closest), 0.6);
    EXPECT_LT(visibleShare(*approach, closest), 0.95);

    // Recede: down to 0.4x or less, always wholly in view.
    auto recede = makeScene(MotionProfile::kRecede, 320, 240, seed);
    double smallest = 1e9;
    for (int i = 0; i < 300; i += 3) smallest = std::min(smallest, apparentSize(*recede, i));
    EXPECT_LE(smallest / apparentSize(*recede, 0), 0.4);
    EXPECT_GT(pathStats(*recede, 300).minMargin, 0.0);

    // Tilt: 70 degrees or more about the horizontal and about the vertical axis (the target's normal in
    // camera coordinates leans in y, resp. x, only), the target in view throughout.
    auto tilt = makeScene(MotionProfile::kTilt, 320, 240, seed);
    double aboutHorizontal = 0, aboutVertical = 0;
    for (int i = 0; i < 360; ++i) {
      const auto& r = tilt->poseAt(i).rotation;
      if (std::abs(r[2]) < 1e-9) aboutHorizontal = std::max(aboutHorizontal, std::atan2(std::abs(r[5]), r[8]));
      if (std::abs(r[5]) < 1e-9) aboutVertical = std::max(aboutVertical, std::atan2(std::abs(r[2]), r[8]));
    }
    EXPECT_GE(aboutHorizontal * 180 / CV_PI, 70.0);
    EXPECT_GE(aboutVertical * 180 / CV_PI, 70.0);
    EXPECT_GT(pathStats(*tilt, 360).minMargin, 0.0);

    // Cut: once a second the camera turns by 30..50 degrees and its distance changes by a ratio of
    // 0.6..1.6; in between it moves by under a degree per frame; the target stays in view.
    auto cut = makeScene(MotionProfile::kCut, 320, 240, seed);
    for (int i = 1; i < 900; ++i) {
      const ScenePose a = cut->poseAt(i - 1), b = cut->poseAt(i);
      const cv::Matx33d ra(a.rotation.data()), rb(b.rotation.data());
      const double angle = std::acos(std::clamp((cv::trace(ra * rb.t()) - 1) / 2, -1.0, 1.0)) * 180 / CV_PI;
      const double ratio = axisDistance(b) / axisDistance(a);
      if (i % 30 == 0) {
        EXPECT_GE(angle, 30.0) << "frame " << i;
        EXPECT_LE(angle, 50.0) << "frame " << i;
        EXPECT_GE(ratio, 0.6) << "frame " << i;
        EXPECT_LE(ratio, 1.6) << "frame " << i;
      } else {
        EXPECT_LT(angle, 1.0) << "frame " << i;
      }
    }
    EXPECT_GT(pathStats(*cut, 900).minMargin, 0.0);

    // Still: one pose; the frames differ by sensor noise only.
    auto still = makeScene(MotionProfile::kStill, 320, 240, seed);
    for (int i = 1; i < 300; i += 7) EXPECT_EQ(still->cornersAt(i), still->cornersAt(0));
    cv::Mat f0, f1;
    still->render(0, f0);
    still->render(101, f1);
    EXPECT_NEAR(cv::norm(f0, f1, cv::NORM_L2) / std::sqrt(static_cast<double>(f0.total() * 3)), 4.0 * std::sqrt(2.0),
                0.8);
  }
}

// Clutter: the target leaves the picture every cycle and is found again at half its frame-0 size, over a
// background busier than the default one.
TEST(SyntheticScene, ClutterRefindsAHalfSizeTargetOverABusyBackground) {
  auto gradient = [](const cv::Mat& bgr) {
    cv::Mat g, dx, dy;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    cv::Sobel(g, dx, CV_32F, 1, 0);
    cv::Sobel(g, dy, CV_32F, 0, 1);
    return cv::mean(cv::abs(dx) + cv::abs(dy))[0];
  };
  EXPECT_GT(gradient(MakeClutterTile()), 1.5 * gradient(MakeBackgroundTile()));

  auto clutter = makeScene(MotionProfile::kClutter);
  for (int cycle = 0; cycle < 3; ++cycle) {
    const int start = 300 * cycle;
    int whollyOut = 0;
    for (int i = start; i < start + 300; ++i) whollyOut += visibleShare(*clutter, i) == 0.0;
    EXPECT_GT(whollyOut, 30) << "cycle " << cycle;
    const int found = start + 225;  // 7.5 s into the cycle: back in view after the pan
    EXPECT_GT(visibleShare(*clutter, found), 0.9999);
    EXPECT_NEAR(apparentSize(*clutter, found) / apparentSize(*clutter, 0), 0.5, 0.05);
  }
}

// Blur: from 1 s on a third of the frames, in runs, smeared by 5..11 px along the target's motion; dim:
// the gain sinks to 0.4 and the noise has sigma 8, over the occlude profile's orbit.
TEST(SyntheticScene, BlurAndDimDegradeThePictureAsPromised) {
  auto blur = makeScene(MotionProfile::kBlur, 320, 240, 3);
  int blurred = 0;
  std::set<double> lengths;
  for (int i = 0; i < 930; ++i) {
    const MotionBlur b = blur->motionBlurAt(i);
    if (b.length == 0) continue;
    ++blurred;
    lengths.insert(b.length);
    EXPECT_GE(i, 30);
    const FrameCorners a = blur->cornersAt(i - 1), c = blur->cornersAt(i + 1);
    const cv::Point2d motion = (c[0] + c[1] + c[2] + c[3] - a[0] - a[1] - a[2] - a[3]) * 0.25;
    if (cv::norm(motion) > 2.0) {  // along the motion, either way round
      EXPECT_GT(std::abs(std::cos(std::atan2(motion.y, motion.x) - b.angle)), 0.9) << "frame " << i;
    }
  }
  EXPECT_EQ(blurred, 300);
  EXPECT_EQ(lengths, (std::set<double>{5, 6, 7, 8, 9, 10, 11}));
  auto sharpness = [&](int i) {
    cv::Mat f, lap;
    blur->render(i, f);
    cv::Laplacian(f, lap, CV_32F);
    return cv::norm(lap);
  };
  for (int i = 30; i < 300; ++i) {
    if (blur->motionBlurAt(i).length > 0 && blur->motionBlurAt(i - 1).length == 0) {
      EXPECT_LT(sharpness(i), 0.6 * sharpness(i - 1)) << "frame " << i;
    }
  }

  // Dim against occlude on the same orbit, at frames where the occlude bar is away.
  auto dim = makeScene(MotionProfile::kDim);
  auto plain = makeScene(MotionProfile::kOcclude);
  cv::Mat d, p;
  dim->render(0, d);
  plain->render(0, p);
  EXPECT_NEAR(cv::norm(d, p, cv::NORM_L2) / std::sqrt(static_cast<double>(d.total() * 3)), 8.0, 1.0);
  dim->render(165, d);  // gain 1 + 0.6 sin(2 pi 5.5 / 8) = 0.446
  plain->render(165, p);
  EXPECT_NEAR(cv::mean(d)[1] / cv::mean(p)[1], 0.446, 0.03);
  EXPECT_EQ(dim->cornersAt(165), plain->cornersAt(165));
}

}  // namespace
}  // namespace quorl
