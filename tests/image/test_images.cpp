#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

#include "image/dib_image.h"
#include "image/quib_image.h"

namespace quorl {
namespace {

TEST(QuibImage, CreateRefusesBadSizesAndKeepsContents) {
  GrayImage img;
  ASSERT_TRUE(img.CreateImage(3, 2));
  img.rows[1][2] = 7;
  EXPECT_FALSE(img.CreateImage(0, 5));
  EXPECT_FALSE(img.CreateImage(4, -1));
  EXPECT_EQ(img.width, 3);
  EXPECT_EQ(img.height, 2);
  EXPECT_EQ(img.rows[1][2], 7);
}

TEST(QuibImage, FreshImagesAreZeroAndRowsAreContiguous) {
  ColorImage rgb;
  ASSERT_TRUE(rgb.CreateImage(5, 4));
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(rgb.rows[y], rgb.rows[0] + y * 5);
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(rgb.rows[y][x].b, 0);
      EXPECT_EQ(rgb.rows[y][x].g, 0);
      EXPECT_EQ(rgb.rows[y][x].r, 0);
    }
  }
}

TEST(QuibImage, CopyIsDeepAndEmptySourceEmptiesTarget) {
  GrayImage a, b, empty;
  a.CreateImage(4, 3);
  a.rows[2][3] = 9;
  b = a;
  b.rows[2][3] = 1;
  EXPECT_EQ(a.rows[2][3], 9);
  EXPECT_NE(a.rows[0], b.rows[0]);
  const GrayImage& self = a;
  a = self;
  EXPECT_EQ(a.rows[2][3], 9);
  b = empty;
  EXPECT_EQ(b.width, 0);
  EXPECT_EQ(b.height, 0);
  EXPECT_EQ(b.rows, nullptr);
}

// Packed 24-bit bitmap bytes with a given header, for SetPackedDib.
std::vector<uint8_t> packed24(int w, int h, int bitCount = 24, int biSize = 40) {
  const auto stride = static_cast<std::size_t>(DibStride(w, bitCount));
  std::vector<uint8_t> bytes(40 + stride * static_cast<std::size_t>(std::max(h, 0)), 0);
  auto put32 = [&](int off, int32_t v) {
    for (int i = 0; i < 4; ++i) bytes[off + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
  };
  put32(0, biSize);
  put32(4, w);
  put32(8, h);
  bytes[12] = 1;
  bytes[14] = static_cast<uint8_t>(bitCount);
  return bytes;
}

TEST(DibImage, StrideAndSizeFollowThePaddingRule) {
  EXPECT_EQ(DibStride(322, 24), 968);  // 966 bytes of pixels
  EXPECT_EQ(DibStride(320, 24), 960);
  EXPECT_EQ(DibStride(1, 24), 4);
  EXPECT_EQ(DibStride(5, 8), 8);
  DibImage dib;
  ASSERT_TRUE(dib.CreateRgbDib(322, 3));
  EXPECT_EQ(dib.dibSize(), 968 * 3 + 40);
  EXPECT_EQ(dib.bitCount(), 24);
  EXPECT_EQ(dib.GetDibBits(), dib.dib() + 40);
  // Row 0 of the table is the last stored row; each row starts one stride further down the block.
  EXPECT_EQ(dib.rows24()[0], dib.GetDibBits() + 2 * 968);
  EXPECT_EQ(dib.rows24()[2], dib.GetDibBits());
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 322 * 3; ++x) ASSERT_EQ(dib.rows24()[y][x], 255);
  EXPECT_FALSE(dib.CreateRgbDib(0, 3));
  EXPECT_EQ(dib.width(), 322);
}

TEST(DibImage, SetPackedDibCopiesAndRefusesHeadersThatDoNotFit) {
  auto bytes = packed24(322, 2);
  bytes[40] = 11;                 // first stored row = bottom row, pixel 0 blue
  bytes[40 + 968 + 965] = 22;     // top row, last pixel red
  DibImage dib;
  ASSERT_TRUE(dib.SetPackedDib(bytes.data(), bytes.size()));
  EXPECT_EQ(dib.rows24()[1][0], 11);
  EXPECT_EQ(dib.rows24()[0][965], 22);

  DibImage keep;
  keep.CreateRgbDib(2, 2);
  const auto expectRefused = [&](const std::vector<uint8_t>& b, std::size_t n) {
    EXPECT_FALSE(keep.SetPackedDib(b.data(), n));
    EXPECT_EQ(keep.width(), 2);
    EXPECT_EQ(keep.rows24()[0][0], 255);
  };
  expectRefused(bytes, bytes.size() - 1);     // one byte short
  expectRefused(bytes, 39);                   // shorter than a header
  expectRefused(packed24(4, 4, 8), 2000);     // not 24 bits
  expectRefused(packed24(4, 4, 32), 2000);
  expectRefused(packed24(4, 4, 24, 124), 2000);  // other header kinds
  expectRefused(packed24(4, -4), 2000);       // top-down bitmaps
  expectRefused(packed24(0, 4), 2000);
  auto huge = packed24(1, 1);
  huge[4] = 0xFF; huge[5] = 0xFF; huge[6] = 0xFF; huge[7] = 0x7F;  // width 2^31-1
  huge[8] = 0xFF; huge[9] = 0xFF; huge[10] = 0xFF; huge[11] = 0x7F;
  expectRefused(huge, huge.size());
  EXPECT_FALSE(keep.SetPackedDib(nullptr, 100));
}

TEST(DibImage, CopyAssignmentIsDeep) {
  DibImage a, b, empty;
  a.CreateRgbDib(3, 3);
  a.rows24()[1][4] = 5;
  b = a;
  EXPECT_NE(a.dib(), b.dib());
  EXPECT_EQ(b.rows24()[1][4], 5);
  b.rows24()[1][4] = 6;
  EXPECT_EQ(a.rows24()[1][4], 5);
  b = empty;
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.dibSize(), 0);
}

TEST(DibToGray, IntegerWeightsAndTopRowFirst) {
  DibImage dib;
  dib.CreateRgbDib(4, 2);
  const uint8_t px[4][3] = {{255, 255, 255}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
  for (int x = 0; x < 4; ++x)
    for (int k = 0; k < 3; ++k) dib.rows24()[0][3 * x + k] = px[x][k];
  dib.rows24()[1][0] = dib.rows24()[1][1] = dib.rows24()[1][2] = 0;
  GrayImage gray;
  DibToGray(dib, gray);
  ASSERT_EQ(gray.width, 4);
  EXPECT_EQ(gray.rows[0][0], 255);
  EXPECT_EQ(gray.rows[0][1], 76);
  EXPECT_EQ(gray.rows[0][2], 149);
  EXPECT_EQ(gray.rows[0][3], 29);
  EXPECT_EQ(gray.rows[1][0], 0);
  // The top row of the picture is the last stored row of the bitmap.
  EXPECT_EQ(dib.rows24()[0], dib.GetDibBits() + dib.stride());
}

TEST(DibToGray, OddWidthRandomMatchesFormula) {
  std::mt19937 rng(7);
  DibImage dib;
  dib.CreateRgbDib(322, 5);
  for (int y = 0; y < 5; ++y)
    for (int i = 0; i < 322 * 3; ++i) dib.rows24()[y][i] = static_cast<uint8_t>(rng());
  GrayImage gray;
  DibToGray(dib, gray);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 322; ++x) {
      const uint8_t* p = dib.rows24()[y] + 3 * x;
      ASSERT_EQ(gray.rows[y][x], (117 * p[0] + 601 * p[1] + 306 * p[2]) >> 10);
    }
}

// Plain Bresenham exactly as described, plotting every step with the bounds check.
std::set<std::pair<int, int>> referenceLine(int w, int h, int x0, int y0, int x1, int y1) {
  std::set<std::pair<int, int>> out;
  auto plot = [&](int x, int y) {
    if (x >= 0 && x < w && y >= 0 && y < h) out.insert({x, y});
  };
  const int dx = std::abs(x1 - x0), dy = std::abs(y1 - y0);
  if (dx > dy) {
    if (x0 > x1) { std::swap(x0, x1); std::swap(y0, y1); }
    const int step = y1 > y0 ? 1 : -1;
    int e = 2 * dy - dx, y = y0;
    plot(x0, y0);
    for (int x = x0; x < x1;) {
      ++x;
      if (e > 0) { y += step; e += 2 * (dy - dx); } else { e += 2 * dy; }
      plot(x, y);
    }
  } else {
    if (y0 > y1) { std::swap(x0, x1); std::swap(y0, y1); }
    const int step = x1 > x0 ? 1 : -1;
    int e = 2 * dx - dy, x = x0;
    plot(x0, y0);
    for (int y = y0; y < y1;) {
      ++y;
      if (e > 0) { x += step; e += 2 * (dx - dy); } else { e += 2 * dx; }
      plot(x, y);
    }
  }
  return out;
}

std::set<std::pair<int, int>> drawnPixels(const ColorImage& img) {
  std::set<std::pair<int, int>> out;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (img.rows[y][x].g == 255) out.insert({x, y});
  return out;
}

TEST(DrawLine, ColourBytesSinglePointAndClipping) {
  ColorImage img;
  img.CreateImage(10, 8);
  DrawLine(img, 3, 4, 3, 4, 0x00332211);
  EXPECT_EQ(img.rows[4][3].b, 0x11);
  EXPECT_EQ(img.rows[4][3].g, 0x22);
  EXPECT_EQ(img.rows[4][3].r, 0x33);
  img.CreateImage(10, 8);
  DrawLine(img, -50, -40, 80, 70, 65280);  // both ends outside
  EXPECT_EQ(drawnPixels(img), referenceLine(10, 8, -50, -40, 80, 70));
  EXPECT_FALSE(drawnPixels(img).empty());
}

TEST(DrawLine, RandomLinesMatchPlainBresenham) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> coord(-60, 90);
  for (int t = 0; t < 3000; ++t) {
    ColorImage img;
    img.CreateImage(31, 23);
    const int x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
    DrawLine(img, x0, y0, x1, y1, 65280);
    ASSERT_EQ(drawnPixels(img), referenceLine(31, 23, x0, y0, x1, y1))
        << x0 << "," << y0 << " -> " << x1 << "," << y1;
  }
}

TEST(DrawLine, FarEndPointsStayCheapAndExact) {
  ColorImage img;
  img.CreateImage(64, 48);
  // Slope 1/3 through the image from far away: the pixels inside must be those of the full walk.
  DrawLine(img, -3000000, -1000000 + 10, 3000000, 1000000 + 10, 65280);
  const auto pixels = drawnPixels(img);
  ASSERT_FALSE(pixels.empty());
  for (const auto& [x, y] : pixels) EXPECT_NEAR(y, 10 + x / 3.0, 1.0);
  img.CreateImage(64, 48);
  DrawLine(img, -2147483647, 5, 2147483647, 5, 65280);  // full int range, horizontal
  EXPECT_EQ(drawnPixels(img).size(), 64u);
}

}  // namespace
}  // namespace quorl
