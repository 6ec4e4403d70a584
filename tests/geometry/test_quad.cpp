#include "geometry/quad.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

namespace quorl {
namespace {

Quad MakeQuad(std::initializer_list<CornerPoint> corners) {
  Quad q;
  std::size_t i = 0;
  for (const CornerPoint& c : corners) q.pt[i++] = c;
  return q;
}

const Quad kClicks = MakeQuad({{50, 40}, {250, 45}, {240, 200}, {60, 190}});
const Quad kLost = MakeQuad({{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}});
constexpr int kWidth = 320, kHeight = 240;
constexpr uint8_t kFill[3] = {10, 20, 30};

DibImage FilledDisplay() {
  DibImage display;
  EXPECT_TRUE(display.CreateRgbDib(kWidth, kHeight));
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) std::memcpy(display.rows24()[y] + 3 * x, kFill, 3);
  }
  return display;
}

bool IsGreen(const DibImage& display, int x, int y) {
  const uint8_t* p = display.rows24()[y] + 3 * x;
  return p[0] == 0 && p[1] == 255 && p[2] == 0;
}

int CountGreen(const DibImage& display) {
  int count = 0;
  for (int y = 0; y < display.height(); ++y) {
    for (int x = 0; x < display.width(); ++x) {
      if (IsGreen(display, x, y)) {
        ++count;
      } else {
        const uint8_t* p = display.rows24()[y] + 3 * x;
        EXPECT_TRUE(p[0] == kFill[0] && p[1] == kFill[1] && p[2] == kFill[2]) << x << "," << y;
      }
    }
  }
  return count;
}

TEST(QuadCheck, MinimumAreaRectangleNeedsFiftyPixelsBothWays) {
  EXPECT_FALSE(isQuadValid(MakeQuad({{100, 100}, {149, 100}, {149, 149}, {100, 149}})));
  EXPECT_TRUE(isQuadValid(MakeQuad({{100, 100}, {150, 100}, {150, 150}, {100, 150}})));
  EXPECT_FALSE(isQuadValid(MakeQuad({{0, 0}, {300, 0}, {300, 49}, {0, 49}})));
  // A diamond whose diagonals are 100 and 48: its minimum-area box is narrower than 50 one way.
  EXPECT_FALSE(isQuadValid(MakeQuad({{0, 0}, {50, -24}, {100, 0}, {50, 24}})));
  EXPECT_TRUE(isQuadValid(MakeQuad({{0, 0}, {60, -40}, {120, 0}, {60, 40}})));
}

TEST(QuadCheck, BowTieCollinearAndCoincidentCornersFail) {
  EXPECT_FALSE(isQuadValid(MakeQuad({{0, 0}, {100, 100}, {100, 0}, {0, 100}})));
  EXPECT_FALSE(isQuadValid(MakeQuad({{0, 0}, {100, 0}, {200, 0}, {100, 100}})));
  EXPECT_FALSE(isQuadValid(kLost));
  // Order (clockwise or not) does not matter for a convex quad.
  EXPECT_TRUE(isQuadValid(MakeQuad({{0, 0}, {0, 100}, {100, 100}, {100, 0}})));
}

TEST(QuadCheck, CornersThatCoverNoPixelOrCrossThemselves) {
  EXPECT_TRUE(QuadCoversFramePixel(kClicks, kWidth, kHeight));
  EXPECT_TRUE(QuadCoversFramePixel(MakeQuad({{-100, -100}, {1000, -100}, {1000, 1000}, {-100, 1000}}), kWidth, kHeight));
  EXPECT_TRUE(QuadCoversFramePixel(MakeQuad({{-50, 20}, {1, 20}, {1, 30}, {-50, 30}}), kWidth, kHeight));
  EXPECT_FALSE(QuadCoversFramePixel(MakeQuad({{-50, 20}, {0, 20}, {0, 30}, {-50, 30}}), kWidth, kHeight));
  EXPECT_FALSE(QuadCoversFramePixel(MakeQuad({{-500, -500}, {-400, -500}, {-400, -400}, {-500, -400}}), kWidth, kHeight));
  // Its bounding box overlaps the frame, the triangle-like quad itself passes beside the corner.
  EXPECT_FALSE(QuadCoversFramePixel(MakeQuad({{-100, 50}, {-100, -100}, {50, -100}, {-60, -60}}), kWidth, kHeight));
  EXPECT_FALSE(QuadCoversFramePixel(MakeQuad({{INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MIN}, {INT32_MAX, -1}, {INT32_MIN, -1}}),
                                    kWidth, kHeight));

  EXPECT_FALSE(IsQuadSelfCrossing(kClicks));
  EXPECT_FALSE(IsQuadSelfCrossing(MakeQuad({{0, 0}, {0, 100}, {100, 100}, {100, 0}})));  // anticlockwise
  EXPECT_TRUE(IsQuadSelfCrossing(MakeQuad({{0, 0}, {100, 100}, {100, 0}, {0, 100}})));
  EXPECT_TRUE(IsQuadSelfCrossing(MakeQuad({{0, 0}, {100, 0}, {0, 100}, {100, 100}})));
  EXPECT_TRUE(IsQuadSelfCrossing(MakeQuad({{5, 5}, {5, 5}, {5, 5}, {5, 5}})));  // edges that touch count
  EXPECT_TRUE(IsQuadSelfCrossing(MakeQuad({{INT32_MIN, 0}, {INT32_MAX, 1}, {INT32_MIN, 1}, {INT32_MAX, 0}})));
}

TEST(QuadUpdate, IdentityReproducesTheClicksAndDrawsTheOutline) {
  ModelRecord model;
  DibImage display = FilledDisplay();
  EXPECT_EQ(updateQuad(kClicks, model, display), QuadState::Tracking);
  EXPECT_EQ(model.currentQuad, kClicks);
  EXPECT_EQ(model.lastValidQuad, kClicks);
  EXPECT_EQ(model.missCount, 0);
  ASSERT_EQ(display.width(), kWidth);
  ASSERT_EQ(display.height(), kHeight);
  for (const CornerPoint& c : kClicks.pt) EXPECT_TRUE(IsGreen(display, c.x, c.y));
  EXPECT_TRUE(IsGreen(display, 150, 40 + 2));  // on the top edge, (150 - 50) / 200 of the way
  EXPECT_GT(CountGreen(display), 600);         // everything else keeps its pixels
}

TEST(QuadUpdate, CornersAreRoundedHalfUpTowardZero) {
  ModelRecord model;
  model.frameToModel = (cv::Mat_<float>(3, 3) << 4, 0, 0, 0, 4, 0, 0, 0, 1);  // frame = model / 4
  DibImage display = FilledDisplay();
  const Quad clicks = MakeQuad({{-3, -6}, {406, -6}, {406, 402}, {-3, 402}});
  EXPECT_EQ(updateQuad(clicks, model, display), QuadState::Tracking);
  // -0.75 + 0.5 = -0.25 -> 0, -1.5 + 0.5 = -1, 101.5 + 0.5 = 102, 100.5 + 0.5 = 101.
  EXPECT_EQ(model.currentQuad, MakeQuad({{0, -1}, {102, -1}, {102, 101}, {0, 101}}));
}

TEST(QuadUpdate, SixFailuresHoldTheLastQuadThenItIsLostUntilACheckPasses) {
  ModelRecord model;
  DibImage display = FilledDisplay();
  ASSERT_EQ(updateQuad(kClicks, model, display), QuadState::Tracking);
  model.frameToModel = (cv::Mat_<float>(3, 3) << 10, 0, 0, 0, 10, 0, 0, 0, 1);  // a 20 x 16 quad
  for (int miss = 1; miss <= 6; ++miss) {
    EXPECT_EQ(updateQuad(kClicks, model, display), QuadState::Holding);
    EXPECT_EQ(model.currentQuad, kClicks);
    EXPECT_EQ(model.missCount, miss);
  }
  for (int frame = 0; frame < 2; ++frame) {
    display = FilledDisplay();
    EXPECT_EQ(updateQuad(kClicks, model, display), QuadState::Lost);
    EXPECT_EQ(model.currentQuad, kLost);
    EXPECT_EQ(model.lastValidQuad, kClicks);
    EXPECT_EQ(model.missCount, 6);
    EXPECT_EQ(CountGreen(display), 0);  // the outline lies outside the picture
  }
  model.frameToModel = cv::Mat::eye(3, 3, CV_32FC1);
  EXPECT_EQ(updateQuad(kClicks, model, display), QuadState::Tracking);
  EXPECT_EQ(model.currentQuad, kClicks);
  EXPECT_EQ(model.missCount, 0);
}

TEST(QuadUpdate, FailureBeforeAnyPassingQuadFallsBackToZeroCorners) {
  ModelRecord model;
  model.frameToModel = (cv::Mat_<float>(3, 3) << 10, 0, 0, 0, 10, 0, 0, 0, 1);
  DibImage display = FilledDisplay();
  EXPECT_EQ(updateQuad(kClicks, model, display), QuadState::Holding);
  EXPECT_EQ(model.currentQuad, Quad{});
  EXPECT_EQ(model.missCount, 1);
}

TEST(QuadUpdate, NonFiniteCornersFailTheCheck) {
  DibImage display = FilledDisplay();
  // Singular homography: the inverse is all zeros and every corner is 0 / 0.
  ModelRecord singular;
  singular.frameToModel = cv::Mat::zeros(3, 3, CV_32FC1);
  EXPECT_EQ(updateQuad(kClicks, singular, display), QuadState::Holding);

  // W = 1 - x / 64 is exactly 0 for the two corners at x = 64.
  ModelRecord vanishing;
  vanishing.frameToModel = (cv::Mat_<float>(3, 3) << 1, 0, 0, 0, 1, 0, 0.015625f, 0, 1);
  EXPECT_EQ(updateQuad(MakeQuad({{0, 0}, {64, 0}, {64, 100}, {0, 100}}), vanishing, display), QuadState::Holding);

  // A mapped corner beyond the int32 range.
  ModelRecord far;
  far.frameToModel = (cv::Mat_<float>(3, 3) << 1e-8f, 0, 0, 0, 1, 0, 0, 0, 1);
  EXPECT_EQ(updateQuad(kClicks, far, display), QuadState::Holding);
}

TEST(QuadUpdate, OutlineIsDrawnOnlyWhereItLiesInsideThePicture) {
  ModelRecord model;
  DibImage display = FilledDisplay();
  const Quad clicks = MakeQuad({{-50, 20}, {200, 20}, {200, 150}, {-50, 150}});
  EXPECT_EQ(updateQuad(clicks, model, display), QuadState::Tracking);
  // Coordinates outside the frame stay as computed: -50 + 0.5 truncates to -49.
  EXPECT_EQ(model.currentQuad, MakeQuad({{-49, 20}, {200, 20}, {200, 150}, {-49, 150}}));
  for (int x = 0; x <= 200; ++x) {
    EXPECT_TRUE(IsGreen(display, x, 20));
    EXPECT_TRUE(IsGreen(display, x, 150));
  }
  EXPECT_EQ(CountGreen(display), 2 * 201 + 129);

  // A corner two billion pixels away still draws just the visible part.
  display = FilledDisplay();
  const Quad far = MakeQuad({{10, 10}, {2000000000, 10}, {2000000000, 100}, {10, 100}});
  EXPECT_EQ(updateQuad(far, model, display), QuadState::Tracking);
  EXPECT_EQ(model.currentQuad, far);
  for (int x = 10; x < kWidth; ++x) EXPECT_TRUE(IsGreen(display, x, 10));
}

TEST(QuadUpdate, PictureWithoutRowsIsLeftAloneButTheQuadStillUpdates) {
  ModelRecord model;
  DibImage empty;
  EXPECT_EQ(updateQuad(kClicks, model, empty), QuadState::Tracking);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(model.currentQuad, kClicks);
}

}  // namespace
}  // namespace quorl
