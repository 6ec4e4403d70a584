#include "features/registration.h"

#include <gtest/gtest.h>

#include <random>

#include "features/matching.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

Quad MakeQuad(std::initializer_list<CornerPoint> points) {
  Quad q;
  std::copy(points.begin(), points.end(), q.pt.begin());
  return q;
}

Quad Reversed(const Quad& q) { return MakeQuad({q.pt[3], q.pt[2], q.pt[1], q.pt[0]}); }

TrackerSettings Settings(int barrier) {
  TrackerSettings s;
  s.barrier = barrier;
  return s;
}

TEST(ModelScale, FollowsTheListBoundaries) {
  ModelRecord model;
  model.scaleKeypoints[0].resize(3);
  model.scaleKeypoints[1].resize(5);
  EXPECT_EQ(ModelScale(model, 0), 0);
  EXPECT_EQ(ModelScale(model, 2), 0);
  EXPECT_EQ(ModelScale(model, 3), 1);
  EXPECT_EQ(ModelScale(model, 7), 1);
  EXPECT_EQ(ModelScale(model, 8), 3);  // the 1.0 list is empty
  model.scaleKeypoints[2].resize(4);
  EXPECT_EQ(ModelScale(model, 11), 2);
  EXPECT_EQ(ModelScale(model, 12), 3);
}

TEST(RegisteredFramePosition, TruncatesTowardZero) {
  EXPECT_EQ(RegisteredFramePosition({4, 0}, 1).x, 5);    // 5.714
  EXPECT_EQ(RegisteredFramePosition({10, 0}, 3).x, 7);   // 7.142
  EXPECT_EQ(RegisteredFramePosition({13, 0}, 0).x, 26);
  EXPECT_EQ(RegisteredFramePosition({7, 9}, 3), (CornerPoint{5, 6}));
  EXPECT_EQ(RegisteredFramePosition({7, 9}, 2), (CornerPoint{7, 9}));
  EXPECT_EQ(RegisteredFramePosition({7, 9}, 1), (CornerPoint{10, 12}));
  EXPECT_EQ(RegisteredFramePosition({7, 9}, 0), (CornerPoint{14, 18}));
}

TEST(PointInQuad, RectangleHoldsItsLeftAndTopEdgesOnly) {
  const Quad r = MakeQuad({{10, 20}, {30, 20}, {30, 40}, {10, 40}});
  EXPECT_TRUE(PointInQuad(r, 20, 30));
  EXPECT_TRUE(PointInQuad(r, 10, 30));   // left edge
  EXPECT_TRUE(PointInQuad(r, 20, 20));   // top edge
  EXPECT_TRUE(PointInQuad(r, 10, 20));   // top-left corner
  EXPECT_FALSE(PointInQuad(r, 30, 30));  // right edge
  EXPECT_FALSE(PointInQuad(r, 20, 40));  // bottom edge
  EXPECT_FALSE(PointInQuad(r, 9, 30));
  EXPECT_FALSE(PointInQuad(r, 20, 41));
}

TEST(PointInQuad, DegenerateAndSelfIntersectingQuads) {
  const Quad point = MakeQuad({{5, 5}, {5, 5}, {5, 5}, {5, 5}});
  const Quad line = MakeQuad({{0, 0}, {10, 10}, {20, 20}, {30, 30}});
  const Quad bowTie = MakeQuad({{0, 0}, {20, 20}, {20, 0}, {0, 20}});  // two triangles meeting at (10, 10)
  for (int y = -5; y < 40; ++y) {
    for (int x = -5; x < 40; ++x) {
      EXPECT_FALSE(PointInQuad(point, x, y));
      EXPECT_FALSE(PointInQuad(line, x, y));
    }
  }
  EXPECT_TRUE(PointInQuad(bowTie, 3, 10));
  EXPECT_TRUE(PointInQuad(bowTie, 17, 10));
  EXPECT_FALSE(PointInQuad(bowTie, 10, 3));
  EXPECT_FALSE(PointInQuad(bowTie, 10, 17));
  const Quad huge =
      MakeQuad({{INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MIN}, {INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MAX}});
  EXPECT_TRUE(PointInQuad(huge, 0, 0));
}

TEST(PointInQuad, RandomQuadsGiveTheSameRegionInEitherOrderAndFromAnyStart) {
  std::mt19937 rng(4);
  auto coordinate = [&] { return static_cast<int32_t>(rng() % 60) - 10; };
  for (int trial = 0; trial < 200; ++trial) {
    const Quad q = MakeQuad({{coordinate(), coordinate()}, {coordinate(), coordinate()},
                             {coordinate(), coordinate()}, {coordinate(), coordinate()}});
    const Quad reversed = Reversed(q);
    const Quad rotated = MakeQuad({q.pt[1], q.pt[2], q.pt[3], q.pt[0]});
    for (int y = -12; y < 52; y += 3) {
      for (int x = -12; x < 52; x += 2) {
        const bool in = PointInQuad(q, x, y);
        ASSERT_EQ(PointInQuad(reversed, x, y), in) << trial << ": " << x << "," << y;
        ASSERT_EQ(PointInQuad(rotated, x, y), in) << trial << ": " << x << "," << y;
      }
    }
  }
}

TEST(ScaledModelImages, HaveTheRoundedRegistrationSizes) {
  GrayImage frame;
  frame.CreateImage(320, 240);
  const auto images = ScaledModelImages(frame);
  EXPECT_EQ(images[0].width, 160);
  EXPECT_EQ(images[0].height, 120);
  EXPECT_EQ(images[1].width, 224);
  EXPECT_EQ(images[1].height, 168);
  EXPECT_EQ(images[2].width, 320);
  EXPECT_EQ(images[2].height, 240);
  EXPECT_EQ(images[3].width, 448);
  EXPECT_EQ(images[3].height, 336);
  frame.CreateImage(321, 240);
  EXPECT_EQ(ScaledModelImages(frame)[0].width, 161);
}

class Registration : public ::testing::Test {
 protected:
  const GrayImage frame = scene::MakeTexturedImage(320, 240, 21);
  const TrackerSettings settings = Settings(20);
  ModelRecord model;

  void ExpectConsistent() const {
    std::size_t total = 0;
    for (const CornerList& list : model.scaleKeypoints) total += list.size();
    EXPECT_EQ(model.modelKeypoints.size(), total);
    EXPECT_EQ(model.keypointIndex.pointCount, static_cast<int>(total));
    EXPECT_TRUE(model.isRegistered());
  }
};

TEST_F(Registration, KeepsExactlyTheCornersWhoseFramePositionIsInside) {
  const Quad quad = MakeQuad({{60, 40}, {250, 55}, {240, 200}, {70, 190}});
  RegisterFrame(model, quad, frame, settings);
  ExpectConsistent();
  const auto images = ScaledModelImages(frame);
  for (int slot = 0; slot < 4; ++slot) {
    CornerList expected;
    for (const CornerPoint& c : DetectCorners(images[slot], settings.cornerType + 9, settings.barrier)) {
      const CornerPoint p = RegisteredFramePosition(c, slot);
      if (PointInQuad(quad, p.x, p.y)) expected.push_back(c);
    }
    EXPECT_EQ(model.scaleKeypoints[slot], expected) << "slot " << slot;
    EXPECT_GT(expected.size(), 10u) << "slot " << slot;
  }
  EXPECT_EQ(model.modelKeypoints.front(), model.scaleKeypoints[0].front());
  EXPECT_EQ(model.modelKeypoints.back(), model.scaleKeypoints[3].back());
  EXPECT_EQ(model.modelImage.width, 320);
}

TEST_F(Registration, ClockwiseAndAnticlockwiseClicksSelectTheSamePoints) {
  const Quad quad = MakeQuad({{40, 30}, {280, 50}, {260, 210}, {50, 200}});
  RegisterFrame(model, quad, frame, settings);
  ModelRecord other;
  RegisterFrame(other, Reversed(quad), frame, settings);
  EXPECT_EQ(model.scaleKeypoints, other.scaleKeypoints);
}

TEST_F(Registration, SurvivesAnyFourClicks) {
  const Quad everywhere = MakeQuad({{-50, -50}, {1000, -50}, {1000, 1000}, {-50, 1000}});
  RegisterFrame(model, everywhere, frame, settings);
  ExpectConsistent();
  EXPECT_EQ(model.scaleKeypoints[2], DetectCorners(frame, settings.cornerType + 9, settings.barrier));

  for (const Quad& q : {MakeQuad({{100, 100}, {100, 100}, {100, 100}, {100, 100}}),
                        MakeQuad({{10, 10}, {100, 100}, {200, 200}, {300, 300}})}) {
    ResetModel(model);
    RegisterFrame(model, q, frame, settings);
    ExpectConsistent();
    EXPECT_TRUE(model.modelKeypoints.empty());
    TrackerSettings track = settings;
    TrackFrame(model, frame, track);  // an empty model matches nothing
    EXPECT_TRUE(model.matchMap.empty());
    EXPECT_FALSE(model.frameCorners.empty());
  }

  ResetModel(model);
  RegisterFrame(model, MakeQuad({{20, 20}, {300, 220}, {300, 20}, {20, 220}}), frame, settings);  // bow-tie
  ExpectConsistent();
  EXPECT_FALSE(model.modelKeypoints.empty());
}

TEST_F(Registration, ReRegisteringWithoutResetReplacesTheModel) {
  const Quad quad = MakeQuad({{60, 40}, {250, 40}, {250, 200}, {60, 200}});
  RegisterFrame(model, quad, frame, settings);
  const CornerList first = model.modelKeypoints;
  RegisterFrame(model, quad, frame, settings);
  ExpectConsistent();
  EXPECT_EQ(model.modelKeypoints, first);
}

TEST_F(Registration, ResetModelEmptiesTheModelButKeepsTheTrackingHistory) {
  RegisterFrame(model, MakeQuad({{60, 40}, {250, 40}, {250, 200}, {60, 200}}), frame, settings);
  model.frameCorners = {{1, 2}};
  model.matchMap = {{1, 2, 3, 4}};
  model.inlierMap = {{1, 2, 3, 4}};
  model.currentQuad = MakeQuad({{1, 1}, {2, 2}, {3, 3}, {4, 4}});
  model.lastValidQuad = model.currentQuad;
  model.missCount = 3;
  model.frameToModel.at<float>(0, 2) = 5.0f;

  ResetModel(model);
  EXPECT_FALSE(model.isRegistered());
  EXPECT_TRUE(model.modelImage.empty());
  EXPECT_TRUE(model.modelKeypoints.empty());
  for (const CornerList& list : model.scaleKeypoints) EXPECT_TRUE(list.empty());
  EXPECT_TRUE(model.frameCorners.empty());
  EXPECT_TRUE(model.matchMap.empty());
  EXPECT_TRUE(model.inlierMap.empty());
  EXPECT_EQ(model.currentQuad, Quad{});
  EXPECT_EQ(model.lastValidQuad, MakeQuad({{1, 1}, {2, 2}, {3, 3}, {4, 4}}));
  EXPECT_EQ(model.missCount, 3);
  EXPECT_EQ(model.frameToModel.at<float>(0, 2), 5.0f);
  EXPECT_EQ(model.frameToModel.type(), CV_32FC1);
}

}  // namespace
}  // namespace quorl
