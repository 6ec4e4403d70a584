#include <gtest/gtest.h>

#include "fake_platform.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

using testing::FakePlatform;
using testing::packedBytes;

bool isYellow(const DibImage& d, int x, int y) {
  const uint8_t* p = d.rows24()[y] + 3 * x;
  return p[0] == 0 && p[1] == 255 && p[2] == 255;
}

int yellowCount(const DibImage& d) {
  int n = 0;
  for (int y = 0; y < d.height(); ++y)
    for (int x = 0; x < d.width(); ++x) n += isYellow(d, x, y);
  return n;
}

TEST(MarkCorner, InteriorMarksBlockBorderMarksOnePixel) {
  DibImage d;
  d.CreateRgbDib(20, 10);
  MarkCorner(d, {5, 5});
  EXPECT_EQ(yellowCount(d), 9);
  EXPECT_TRUE(isYellow(d, 4, 4));
  EXPECT_TRUE(isYellow(d, 6, 6));
  for (CornerPoint c : {CornerPoint{0, 3}, CornerPoint{19, 3}, CornerPoint{8, 0}, CornerPoint{8, 9}}) {
    d.CreateRgbDib(20, 10);
    MarkCorner(d, c);
    EXPECT_EQ(yellowCount(d), 1);
    EXPECT_TRUE(isYellow(d, c.x, c.y));
  }
}

TEST(FrameLoop, InitialiseGivesWhitePicturesAndClearedClicks) {
  TrackerState s;
  s.clickMode = 1;
  s.clickCount = 2;
  s.clicks.pt[1] = {5, 5};
  initialise(s, 322, 7);
  EXPECT_EQ(s.frame.width(), 322);
  EXPECT_EQ(s.display.height(), 7);
  EXPECT_NE(s.frame.dib(), s.display.dib());
  EXPECT_EQ(s.display.rows24()[3][100], 255);
  EXPECT_EQ(s.clickMode, 0);
  EXPECT_EQ(s.clickCount, 0);
  for (const CornerPoint& c : s.clicks.pt) EXPECT_EQ(c, (CornerPoint{-1, -1}));
}

// A frame with one bright dot on dark ground: exactly one corner after suppression needs five candidates,
// so use a grid of well separated dots of differing strength.
DibImage dotFrame(int w, int h, int spacing) {
  DibImage d;
  d.CreateRgbDib(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x) d.rows24()[y][x] = 20;
  for (int y = 12; y < h - 12; y += spacing)
    for (int x = 12; x < w - 12; x += spacing)
      for (int k = 0; k < 3; ++k) d.rows24()[y][3 * x + k] = 220;
  return d;
}

TEST(FrameLoop, DetectTickMarksCountsAndAdaptsWithoutTouchingFrameRate) {
  FakePlatform p;
  p.values.plotKeypoints = 1;
  p.values.frameRate = 17;
  TrackerState s;
  initialise(s, 64, 48);
  p.frames.push_back(packedBytes(dotFrame(64, 48, 8)));
  tick(s, p);
  EXPECT_EQ(p.repaints, 1);
  EXPECT_EQ(p.refreshes, 1);
  EXPECT_GT(p.values.keypointCount, 0);
  EXPECT_LT(p.values.keypointCount, 300);
  EXPECT_EQ(p.values.barrier, 38);  // below the band: lowered by 2
  EXPECT_EQ(yellowCount(s.display), 9 * p.values.keypointCount);
  EXPECT_EQ(yellowCount(s.frame), 0);  // marks go into display only
  EXPECT_EQ(s.modelActive, 0);
  EXPECT_EQ(p.values.frameRate, 17);
}

TEST(FrameLoop, TicksWithoutAUsableFrameChangeNothing) {
  FakePlatform p;
  TrackerState s;
  initialise(s, 32, 24);
  tick(s, p);  // no frame buffered
  p.capture = false;
  p.frames.push_back(packedBytes(dotFrame(32, 24, 8)));
  tick(s, p);  // no capture connected
  p.capture = true;
  std::vector<uint8_t> truncated = packedBytes(dotFrame(32, 24, 8));
  truncated.resize(100);
  p.frames = {truncated};
  tick(s, p);  // refused bitmap
  EXPECT_EQ(p.repaints, 0);
  EXPECT_EQ(p.refreshes, 0);
  EXPECT_EQ(p.values.barrier, 40);
  EXPECT_EQ(s.frame.width(), 32);
  EXPECT_EQ(s.frame.rows24()[5][5], 255);
}

TEST(FrameLoop, FrameSizeFollowsTheGrabbedBitmap) {
  FakePlatform p;
  TrackerState s;
  initialise(s, 32, 24);
  p.frames.push_back(packedBytes(dotFrame(65, 41, 8)));
  tick(s, p);
  EXPECT_EQ(s.frame.width(), 65);
  EXPECT_EQ(s.display.height(), 41);
}

}  // namespace
}  // namespace quorl
