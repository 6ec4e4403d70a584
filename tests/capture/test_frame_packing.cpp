// Packed 24-bit bitmaps: layout, round trip through PackBgrFrame / UnpackFrame, and refusal of bad input.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <opencv2/core.hpp>

#include "capture/frame_source.h"
#include "image/dib_image.h"

namespace quorl {
namespace {

uint32_t u32(const std::vector<uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

cv::Mat randomImage(int w, int h, unsigned seed) {
  cv::Mat m(h, w, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

TEST(FramePacking, HeaderRowsAndPaddingFollowTheBitmapLayout) {
  // Width 17: 51 bytes of pixels per row, stored in 52.
  cv::Mat big(16, 17, CV_8UC3);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 17; ++x) big.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(x), uint8_t(y), uint8_t(16 * y + x));
  std::vector<uint8_t> packed;
  ASSERT_TRUE(PackBgrFrame(big, packed));

  const std::size_t stride = 52;  // 17 * 3 = 51 -> 52
  ASSERT_EQ(packed.size(), 40 + stride * 16);
  EXPECT_EQ(packed.size(), PackedFrameSize(17, 16));
  EXPECT_EQ(u32(packed, 0), 40u);
  EXPECT_EQ(u32(packed, 4), 17u);
  EXPECT_EQ(u32(packed, 8), 16u);
  EXPECT_EQ(packed[12] | packed[13] << 8, 1);
  EXPECT_EQ(packed[14] | packed[15] << 8, 24);
  EXPECT_EQ(u32(packed, 16), 0u);
  EXPECT_EQ(u32(packed, 20), stride * 16);
  for (std::size_t i = 24; i < 40; ++i) EXPECT_EQ(packed[i], 0) << "header byte " << i;

  // The first stored row is the bottom picture row; pixel bytes are B, G, R; the pad byte is zero.
  for (int y = 0; y < 16; ++y) {
    const uint8_t* row = packed.data() + 40 + (15 - y) * stride;
    for (int x = 0; x < 17; ++x) {
      const cv::Vec3b px = big.at<cv::Vec3b>(y, x);
      ASSERT_EQ(row[3 * x], px[0]);
      ASSERT_EQ(row[3 * x + 1], px[1]);
      ASSERT_EQ(row[3 * x + 2], px[2]);
    }
    EXPECT_EQ(row[51], 0);
  }

  // The image library reads it as the same picture.
  DibImage dib;
  ASSERT_TRUE(dib.SetPackedDib(packed.data(), packed.size()));
  EXPECT_EQ(dib.width(), 17);
  EXPECT_EQ(dib.height(), 16);
  EXPECT_EQ(dib.rows24()[0][0], big.at<cv::Vec3b>(0, 0)[0]);
  EXPECT_EQ(dib.rows24()[15][3 * 16 + 2], big.at<cv::Vec3b>(15, 16)[2]);
}

TEST(FramePacking, RoundTripForRandomSizesAndEveryStrideRemainder) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> side(kMinFrameSide, 97);
  for (int i = 0; i < 40; ++i) {
    const int w = (i < 4) ? 16 + i : side(gen), h = side(gen);  // widths 16..19 cover w*3 % 4 = 0..3
    const cv::Mat bgr = randomImage(w, h, static_cast<unsigned>(i));
    std::vector<uint8_t> packed(3, 0xAB);  // reused and resized
    ASSERT_TRUE(PackBgrFrame(bgr, packed));
    ASSERT_EQ(packed.size(), 40 + static_cast<std::size_t>(DibStride(w, 24)) * h);
    const cv::Mat back = UnpackFrame(packed);
    ASSERT_EQ(back.size(), bgr.size());
    ASSERT_EQ(cv::norm(back, bgr, cv::NORM_INF), 0.0) << w << "x" << h;
  }
}

TEST(FramePacking, PacksNonContinuousImages) {
  const cv::Mat big = randomImage(64, 40, 3);
  const cv::Mat view = big(cv::Rect(3, 5, 21, 17));
  std::vector<uint8_t> packed;
  ASSERT_TRUE(PackBgrFrame(view, packed));
  EXPECT_EQ(cv::norm(UnpackFrame(packed), view, cv::NORM_INF), 0.0);
}

TEST(FramePacking, RefusesWhatItCannotPackAndLeavesTheBufferAlone) {
  std::vector<uint8_t> packed{1, 2, 3};
  EXPECT_FALSE(PackBgrFrame(cv::Mat(), packed));
  EXPECT_FALSE(PackBgrFrame(cv::Mat(20, 20, CV_8UC1, cv::Scalar(0)), packed));
  EXPECT_FALSE(PackBgrFrame(cv::Mat(20, 20, CV_16UC3, cv::Scalar(0)), packed));
  EXPECT_FALSE(PackBgrFrame(cv::Mat(8, 20, CV_8UC3, cv::Scalar(0)), packed));  // below kMinFrameSide
  EXPECT_EQ(packed, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(PackedFrameSize(kMaxFrameSide + 1, 20), 0u);
}

TEST(FramePacking, UnpackRejectsMalformedHeadersAndShortBuffers) {
  std::vector<uint8_t> good;
  ASSERT_TRUE(PackBgrFrame(randomImage(19, 17, 1), good));
  ASSERT_FALSE(UnpackFrame(good).empty());

  auto broken = [&](std::size_t at, uint8_t value) {
    std::vector<uint8_t> b = good;
    b[at] = value;
    return UnpackFrame(b).empty();
  };
  EXPECT_TRUE(broken(0, 41));     // biSize
  EXPECT_TRUE(broken(14, 32));    // bit count
  EXPECT_TRUE(broken(16, 1));     // compression
  EXPECT_TRUE(broken(11, 0x80));  // negative height (top-down)
  EXPECT_TRUE(broken(7, 0x80));   // negative width
  EXPECT_TRUE(UnpackFrame(good.data(), good.size() - 1).empty());
  EXPECT_TRUE(UnpackFrame(good.data(), 39).empty());
  EXPECT_TRUE(UnpackFrame(nullptr, 1000).empty());

  // A huge claimed size in a small buffer is refused without reading past it.
  std::vector<uint8_t> huge = good;
  huge[6] = 0x7f;
  huge[10] = 0x7f;
  EXPECT_TRUE(UnpackFrame(huge).empty());
}

}  // namespace
}  // namespace quorl
