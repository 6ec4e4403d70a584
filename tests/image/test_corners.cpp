#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "image/corners.h"
#include "tests/image/gray_fixtures.h"

namespace quorl {
namespace {

constexpr int kDx[16] = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr int kDy[16] = {3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1, 0, 1, 2, 3};

GrayImage randomImage(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  GrayImage img;
  img.CreateImage(w, h);
  for (int i = 0; i < w * h; ++i) img.rows[0][i] = static_cast<unsigned char>(rng());
  return img;
}

// Smooth blobs and edges with mild noise, standing in for a camera picture.
GrayImage naturalImage(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  cv::Mat m(h, w, CV_8UC1, cv::Scalar(90));
  for (int i = 0; i < 40; ++i) {
    const cv::Point c(static_cast<int>(rng() % w), static_cast<int>(rng() % h));
    const int v = static_cast<int>(rng() % 256);
    if (i % 2) cv::circle(m, c, 3 + static_cast<int>(rng() % 20), cv::Scalar(v), cv::FILLED);
    else cv::rectangle(m, c, c + cv::Point(5 + rng() % 30, 5 + rng() % 30), cv::Scalar(v), cv::FILLED);
  }
  cv::GaussianBlur(m, m, cv::Size(3, 3), 0.8);
  cv::Mat noise(h, w, CV_8SC1);
  cv::randn(noise, 0, 3);
  cv::add(m, noise, m, cv::noArray(), CV_8U);
  GrayImage img;
  img.CreateImage(w, h);
  for (int y = 0; y < h; ++y) std::copy(m.ptr<uint8_t>(y), m.ptr<uint8_t>(y) + w, img.rows[y]);
  return img;
}

// The segment test as written: some start index with n contiguous brighter (or darker) circle pixels.
CornerList referenceSegmentTest(const GrayImage& img, int n, int b) {
  CornerList out;
  if (n < 9 || n > 12) return out;
  for (int y = 3; y <= img.height - 4; ++y)
    for (int x = 3; x <= img.width - 4; ++x) {
      const int c = img.rows[y][x];
      bool found = false;
      for (int s = 0; s < 16 && !found; ++s) {
        bool allBright = true, allDark = true;
        for (int k = 0; k < n; ++k) {
          const int i = (s + k) % 16;
          const int v = img.rows[y + kDy[i]][x + kDx[i]];
          allBright &= v > c + b;
          allDark &= v < c - b;
        }
        found = allBright || allDark;
      }
      if (found) out.push_back({x, y});
    }
  return out;
}

// Suppression as a neighbourhood rule: interior candidates survive unless an 8-neighbour scores higher.
CornerList referenceSuppression(const GrayImage& img, const CornerList& cand, int b) {
  CornerList out;
  if (cand.size() < 5) return out;
  for (std::size_t i = 1; i + 1 < cand.size(); ++i) {
    const int s = CornerScore(img, cand[i].x, cand[i].y, b);
    bool beaten = false;
    for (std::size_t j = 0; j < cand.size() && !beaten; ++j)
      beaten = j != i && std::abs(cand[j].x - cand[i].x) <= 1 && std::abs(cand[j].y - cand[i].y) <= 1 &&
               CornerScore(img, cand[j].x, cand[j].y, b) > s;
    if (!beaten) out.push_back(cand[i]);
  }
  return out;
}

TEST(SegmentTest, UniformImageHasNoCorners) {
  const GrayImage img = uniform(40, 30, 128);
  for (int n = 9; n <= 12; ++n)
    for (int b : {0, 1, 40}) EXPECT_TRUE(SegmentTest(img, n, b).empty()) << n << " " << b;
}

TEST(SegmentTest, IsolatedBrightPixelIsACandidateForEveryN) {
  GrayImage img = uniform(21, 21, 20);
  img.rows[10][10] = 200;
  for (int n = 9; n <= 12; ++n) {
    const CornerList c = SegmentTest(img, n, 40);
    ASSERT_EQ(c.size(), 1u) << n;
    EXPECT_EQ(c[0], (CornerPoint{10, 10}));
  }
  EXPECT_TRUE(SegmentTest(img, 8, 40).empty());
  EXPECT_TRUE(SegmentTest(img, 13, 40).empty());
  EXPECT_TRUE(DetectCorners(img, 13, 40).empty());
}

TEST(SegmentTest, ArcOfExactlyNPassesAndNMinusOneFailsAtEveryStart) {
  for (int n = 9; n <= 12; ++n)
    for (int start = 0; start < 16; ++start)
      for (int len : {n - 1, n})
        for (int sign : {-1, 1}) {
          GrayImage img = uniform(9, 9, 100);
          for (int k = 0; k < len; ++k) {
            const int i = (start + k) % 16;
            img.rows[4 + kDy[i]][4 + kDx[i]] = static_cast<unsigned char>(100 + sign * 41);
          }
          const bool isCorner = !SegmentTest(img, n, 40).empty() &&
                                SegmentTest(img, n, 40).front() == CornerPoint{4, 4};
          EXPECT_EQ(isCorner, len == n) << "n=" << n << " start=" << start << " len=" << len;
        }
}

TEST(SegmentTest, ThresholdIsStrict) {
  GrayImage img = uniform(9, 9, 100);
  for (int i = 0; i < 16; ++i) img.rows[4 + kDy[i]][4 + kDx[i]] = 140;  // exactly 40 brighter
  EXPECT_TRUE(SegmentTest(img, 9, 40).empty());
  EXPECT_EQ(SegmentTest(img, 9, 39).size(), 1u);
  EXPECT_TRUE(SegmentTest(uniform(6, 30, 0), 9, 0).empty());  // too small to scan
  EXPECT_TRUE(SegmentTest(uniform(30, 6, 0), 9, 0).empty());
}

TEST(SegmentTest, RandomAndNaturalImagesOfOddSizesMatchReference) {
  const std::array<std::pair<int, int>, 4> sizes = {{{7, 7}, {33, 17}, {101, 63}, {322, 41}}};
  unsigned seed = 1;
  for (auto [w, h] : sizes)
    for (int n = 9; n <= 12; ++n)
      for (int b : {-3, 0, 15, 40, 300}) {
        const GrayImage r = randomImage(w, h, seed++);
        ASSERT_EQ(SegmentTest(r, n, b), referenceSegmentTest(r, n, b)) << w << "x" << h << " n" << n;
        const GrayImage nat = naturalImage(w, h, seed++);
        ASSERT_EQ(SegmentTest(nat, n, b), referenceSegmentTest(nat, n, b)) << w << "x" << h << " n" << n;
      }
}

// A higher barrier's test run over a lower barrier's candidates finds what a scan at the higher barrier finds.
TEST(SegmentTest, RetestingLowerBarriersCandidatesMatchesAScan) {
  unsigned seed = 500;
  for (auto [w, h] : {std::pair{7, 7}, std::pair{101, 63}, std::pair{322, 41}})
    for (int n = 9; n <= 12; ++n)
      for (auto [b0, b] : {std::pair{-3, 0}, std::pair{0, 0}, std::pair{12, 66}, std::pair{12, 13}, std::pair{40, 300}}) {
        for (const GrayImage& img : {randomImage(w, h, seed++), naturalImage(w, h, seed++)})
          ASSERT_EQ(RetestSegments(img, SegmentTest(img, n, b0), n, b), SegmentTest(img, n, b))
              << w << "x" << h << " n" << n << " " << b0 << "->" << b;
      }
  const GrayImage img = naturalImage(64, 48, 9);
  EXPECT_TRUE(RetestSegments(img, SegmentTest(img, 9, 10), 13, 10).empty());  // as SegmentTest, n outside 9..12
}

TEST(SegmentTest, NineMatchesOpenCvFastWithoutSuppression) {
  unsigned seed = 100;
  for (auto [w, h] : {std::pair{320, 240}, std::pair{97, 55}})
    for (int b : {0, 10, 40}) {
      for (const GrayImage& img : {randomImage(w, h, seed++), naturalImage(w, h, seed++)}) {
        cv::Mat m(img.height, img.width, CV_8UC1, img.rows[0]);
        std::vector<cv::KeyPoint> kps;
        cv::FAST(m, kps, b, false, cv::FastFeatureDetector::TYPE_9_16);
        CornerList theirs;
        for (const auto& k : kps) theirs.push_back({static_cast<int>(k.pt.x), static_cast<int>(k.pt.y)});
        std::sort(theirs.begin(), theirs.end(),
                  [](CornerPoint a, CornerPoint c) { return a.y != c.y ? a.y < c.y : a.x < c.x; });
        EXPECT_EQ(SegmentTest(img, 9, b), theirs) << w << "x" << h << " b=" << b;
      }
    }
}

TEST(CornerScore, SumsExcessOfTheDominantSide) {
  GrayImage img = uniform(9, 9, 100);
  img.rows[4 + kDy[0]][4 + kDx[0]] = 150;  // 10 above c + b
  img.rows[4 + kDy[1]][4 + kDx[1]] = 145;  // 5 above
  img.rows[4 + kDy[8]][4 + kDx[8]] = 40;   // 20 below c - b
  EXPECT_EQ(CornerScore(img, 4, 4, 40), 20);
  img.rows[4 + kDy[2]][4 + kDx[2]] = 160;
  EXPECT_EQ(CornerScore(img, 4, 4, 40), 35);
}

// An image whose candidates are given single bright pixels with chosen strengths, laid out by hand.
GrayImage dots(int w, int h, const std::vector<std::array<int, 3>>& xyv) {
  GrayImage img = uniform(w, h, 0);
  for (const auto& d : xyv) img.rows[d[1]][d[0]] = static_cast<unsigned char>(d[2]);
  return img;
}

TEST(SuppressNonMaxima, CountsAndTies) {
  const GrayImage img = uniform(40, 40, 0);
  const CornerList four = {{5, 5}, {20, 5}, {5, 20}, {20, 20}};
  EXPECT_TRUE(SuppressNonMaxima(img, four, 40).empty());
  CornerList five = four;
  five.push_back({30, 30});
  EXPECT_EQ(SuppressNonMaxima(img, five, 40).size(), 3u);  // first and last never kept

  // Two adjacent candidates in the middle of the list: equal scores keep both, unequal keep the larger.
  GrayImage tie = dots(40, 40, {{20, 20, 200}, {21, 20, 200}});
  const CornerList pair = {{5, 5}, {30, 5}, {20, 20}, {21, 20}, {5, 35}, {30, 35}};
  EXPECT_EQ(SuppressNonMaxima(tie, pair, 40),
            (CornerList{{30, 5}, {20, 20}, {21, 20}, {5, 35}}));
  tie.rows[20][21] = 250;
  EXPECT_EQ(SuppressNonMaxima(tie, pair, 40), (CornerList{{30, 5}, {21, 20}, {5, 35}}));
}

TEST(SuppressNonMaxima, RandomImagesMatchNeighbourhoodRule) {
  unsigned seed = 500;
  for (auto [w, h] : {std::pair{64, 48}, std::pair{91, 37}})
    for (int n : {9, 12})
      for (int b : {5, 30}) {
        const GrayImage img = (seed % 2) ? randomImage(w, h, seed) : naturalImage(w, h, seed);
        ++seed;
        const CornerList cand = SegmentTest(img, n, b);
        ASSERT_EQ(SuppressNonMaxima(img, cand, b), referenceSuppression(img, cand, b));
      }
}

TEST(FilterBorder, KeepsTenPixelsFromEveryEdge) {
  const GrayImage img = uniform(50, 40, 0);
  const CornerList in = {{9, 20}, {10, 20}, {40, 20}, {41, 20}, {20, 9}, {20, 10}, {20, 30}, {20, 31}};
  EXPECT_EQ(FilterBorder(img, in), (CornerList{{10, 20}, {40, 20}, {20, 10}, {20, 30}}));
}

TEST(AdaptBarrier, DetectionAndTrackingBands) {
  struct Case { int count, low, high, delta; };
  const Case cases[] = {{500, 300, 500, 0}, {501, 300, 500, 2}, {300, 300, 500, 0}, {299, 300, 500, -2},
                        {0, 300, 500, -2},   {400, 100, 400, 0}, {401, 100, 400, 2}, {100, 100, 400, 0},
                        {99, 100, 400, -2}};
  for (const Case& c : cases) {
    TrackerSettings s;
    AdaptBarrier(s, c.count, c.low, c.high);
    EXPECT_EQ(s.barrier, 40 + c.delta) << c.count;
    EXPECT_EQ(s.keypointCount, c.count);
  }
}

TEST(DetectCorners, NaturalImageCornersAreInteriorLocalMaxima) {
  const GrayImage img = naturalImage(160, 120, 42);
  const CornerList corners = DetectCorners(img, 9, 20);
  ASSERT_FALSE(corners.empty());
  for (const CornerPoint& c : corners) {
    EXPECT_GE(c.x, 10);
    EXPECT_LE(c.x, 150);
    EXPECT_GE(c.y, 10);
    EXPECT_LE(c.y, 110);
  }
  EXPECT_TRUE(std::is_sorted(corners.begin(), corners.end(), [](CornerPoint a, CornerPoint b) {
    return a.y != b.y ? a.y < b.y : a.x < b.x;
  }));
}

}  // namespace
}  // namespace quorl
