// The barrier's limits: the control stops lowering at kMinAdaptedBarrier, and the detector takes any int.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "image/corners.h"
#include "tests/image/gray_fixtures.h"

namespace quorl {
namespace {

// Gentle random texture: neighbouring pixels differ by a few levels, as on a real surface.
GrayImage texture(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  GrayImage img;
  img.CreateImage(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.rows[y][x] = static_cast<unsigned char>(100 + (x * 7 + y * 3) % 40 + rng() % 9);
  return img;
}

TEST(BarrierControl, ARunOfBlackFramesStopsAtTheFloor) {
  TrackerSettings s;  // barrier 40
  for (int tick = 0; tick < 1000; ++tick) AdaptBarrier(s, 0, kDetectBandLow, kDetectBandHigh);
  EXPECT_EQ(s.barrier, kMinAdaptedBarrier);
  EXPECT_EQ(s.keypointCount, 0);
  // Once the picture comes back the control climbs from the floor, not from thousands below it.
  AdaptBarrier(s, 800, kTrackBandLow, kTrackBandHigh);
  EXPECT_EQ(s.barrier, kMinAdaptedBarrier + 2);
}

TEST(BarrierControl, OddBarrierLandsOnTheFloorAndAUserBarrierBelowItIsOnlyRaised) {
  TrackerSettings s;
  s.barrier = 1;
  AdaptBarrier(s, 0, kTrackBandLow, kTrackBandHigh);
  EXPECT_EQ(s.barrier, 0);
  s.barrier = -10;
  AdaptBarrier(s, 0, kTrackBandLow, kTrackBandHigh);
  EXPECT_EQ(s.barrier, -10);
  AdaptBarrier(s, kTrackBandHigh + 1, kTrackBandLow, kTrackBandHigh);
  EXPECT_EQ(s.barrier, -8);
}

TEST(DetectCorners, BlackFrameAtTheFloorGivesNothing) {
  const GrayImage black = uniform(320, 240, 0);
  for (int n = 9; n <= 12; ++n) EXPECT_TRUE(DetectCorners(black, n, kMinAdaptedBarrier).empty()) << n;
}

TEST(DetectCorners, ExtremeBarriersAreSafe) {
  const GrayImage flat = uniform(64, 48, 128);
  EXPECT_TRUE(DetectCorners(flat, 9, INT_MAX).empty());
  EXPECT_TRUE(DetectCorners(flat, 9, INT_MAX - 1).empty());
  // Far below zero every pixel is a candidate; the same survivors as at -256.
  EXPECT_EQ(DetectCorners(flat, 9, INT_MIN), DetectCorners(flat, 9, -256));
  EXPECT_FALSE(DetectCorners(flat, 9, INT_MIN).empty());
}

// Property: beyond +-256 the unclamped stages give what DetectCorners gives, for random textures.
TEST(DetectCorners, ResultNoLongerDependsOnTheBarrierBeyondItsRange) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const GrayImage img = texture(90, 70, seed);
    for (int n = 9; n <= 12; ++n) {
      for (int b : {-100000, -257, 257, 100000}) {
        const CornerList unclamped = FilterBorder(img, SuppressNonMaxima(img, SegmentTest(img, n, b), b));
        EXPECT_EQ(DetectCorners(img, n, b), unclamped) << "seed " << seed << " n " << n << " b " << b;
      }
    }
  }
}

}  // namespace
}  // namespace quorl
