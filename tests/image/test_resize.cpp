#include "image/resize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quorl {
namespace {

GrayImage MakeImage(int w, int h, const std::vector<int>& values) {
  GrayImage image;
  image.CreateImage(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) image.rows[y][x] = static_cast<unsigned char>(values[y * w + x]);
  return image;
}

std::vector<int> Pixels(const GrayImage& image) {
  std::vector<int> out;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) out.push_back(image.rows[y][x]);
  return out;
}

TEST(ResizeBilinear, SameSizeReproducesTheImage) {
  std::mt19937 rng(7);
  std::vector<int> values(37 * 23);
  for (int& v : values) v = static_cast<int>(rng() % 256);
  GrayImage image = MakeImage(37, 23, values);
  ASSERT_TRUE(ResizeBilinear(image, 37, 23));
  EXPECT_EQ(Pixels(image), values);
}

TEST(ResizeBilinear, ShrinkingSamplesWithoutHalfPixelOffset) {
  GrayImage image = MakeImage(4, 1, {10, 20, 30, 40});
  ASSERT_TRUE(ResizeBilinear(image, 2, 1));
  EXPECT_EQ(image.width, 2);
  EXPECT_EQ(image.height, 1);
  EXPECT_EQ(Pixels(image), (std::vector<int>{10, 30}));
}

TEST(ResizeBilinear, EnlargingRepeatsTheLastColumnAndRow) {
  GrayImage row = MakeImage(2, 1, {0, 100});
  ASSERT_TRUE(ResizeBilinear(row, 4, 1));
  EXPECT_EQ(Pixels(row), (std::vector<int>{0, 50, 100, 100}));

  GrayImage column = MakeImage(1, 2, {0, 100});
  ASSERT_TRUE(ResizeBilinear(column, 1, 4));
  EXPECT_EQ(Pixels(column), (std::vector<int>{0, 50, 100, 100}));
}

TEST(ResizeBilinear, InterpolatesInBothDirectionsAndTruncates) {
  // 2 x 2 -> 4 x 4: the sample at (0.5, 0.5) averages all four pixels: (0 + 10 + 20 + 31) / 4 = 15.25.
  GrayImage image = MakeImage(2, 2, {0, 10, 20, 31});
  ASSERT_TRUE(ResizeBilinear(image, 4, 4));
  EXPECT_EQ(image.rows[1][1], 15);
  EXPECT_EQ(image.rows[0][1], 5);
  EXPECT_EQ(image.rows[1][0], 10);
  EXPECT_EQ(image.rows[3][3], 31);

  // 99 and 100 at fx = 0.9 give 99.9, stored as 99.
  GrayImage row = MakeImage(2, 1, {99, 100});
  ASSERT_TRUE(ResizeBilinear(row, 20, 1));
  EXPECT_EQ(row.rows[0][9], 99);
  EXPECT_EQ(row.rows[0][19], 100);
}

TEST(ResizeBilinear, RefusesEmptyImagesAndSizesBelowOne) {
  GrayImage image = MakeImage(3, 2, {1, 2, 3, 4, 5, 6});
  EXPECT_FALSE(ResizeBilinear(image, 0, 2));
  EXPECT_FALSE(ResizeBilinear(image, 3, -1));
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(Pixels(image), (std::vector<int>{1, 2, 3, 4, 5, 6}));

  GrayImage empty;
  EXPECT_FALSE(ResizeBilinear(empty, 4, 4));
  EXPECT_TRUE(empty.empty());
}

TEST(ResizeBilinear, RegistrationSizesRoundHalfAwayFromZero) {
  EXPECT_EQ(ScaledSize(320, 0.5), 160);
  EXPECT_EQ(ScaledSize(240, 0.5), 120);
  EXPECT_EQ(ScaledSize(320, 0.7), 224);
  EXPECT_EQ(ScaledSize(240, 0.7), 168);
  EXPECT_EQ(ScaledSize(320, 1.4), 448);
  EXPECT_EQ(ScaledSize(240, 1.4), 336);
  EXPECT_EQ(ScaledSize(321, 0.5), 161);
  EXPECT_EQ(ScaledSize(1, 0.5), 1);

  GrayImage frame;
  frame.CreateImage(321, 240);
  ASSERT_TRUE(ResizeBilinear(frame, ScaledSize(321, 0.5), ScaledSize(240, 0.5)));
  EXPECT_EQ(frame.width, 161);
  EXPECT_EQ(frame.height, 120);
}

TEST(ResizeBilinear, RandomImagesStayWithinTheirNeighbourhoods) {
  // Every output pixel lies between the smallest and largest of its four source neighbours.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    const int w = 1 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 40);
    const int nw = 1 + static_cast<int>(rng() % 60), nh = 1 + static_cast<int>(rng() % 60);
    std::vector<int> values(static_cast<std::size_t>(w * h));
    for (int& v : values) v = static_cast<int>(rng() % 256);
    GrayImage image = MakeImage(w, h, values);
    ASSERT_TRUE(ResizeBilinear(image, nw, nh));
    ASSERT_EQ(image.width, nw);
    ASSERT_EQ(image.height, nh);
    for (int j = 0; j < nh; ++j) {
      const int y0 = h * j / nh, y1 = y0 + 1 == h ? y0 : y0 + 1;
      for (int i = 0; i < nw; ++i) {
        const int x0 = i * w / nw, x1 = x0 + 1 == w ? x0 : x0 + 1;
        const int corners[4] = {values[y0 * w + x0], values[y0 * w + x1], values[y1 * w + x0],
                                values[y1 * w + x1]};
        const int lo = *std::min_element(corners, corners + 4), hi = *std::max_element(corners, corners + 4);
        EXPECT_GE(image.rows[j][i] + 1, lo) << i << "," << j;  // truncation may lose one level
        EXPECT_LE(image.rows[j][i], hi) << i << "," << j;
      }
    }
  }
}

}  // namespace
}  // namespace quorl
