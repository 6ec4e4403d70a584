#include "features/descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <random>

namespace quorl {
namespace {

constexpr double kPi = 3.14159265358979323846;

double Factorial(int n) { return n <= 1 ? 1.0 : n * Factorial(n - 1); }

double RadialPolynomial(int n, int m, double rho) {
  double sum = 0.0;
  for (int j = 0; j <= (n - m) / 2; ++j) {
    sum += (j % 2 ? -1.0 : 1.0) * Factorial(n - j) /
           (Factorial(j) * Factorial((n + m) / 2 - j) * Factorial((n - m) / 2 - j)) * std::pow(rho, n - 2 * j);
  }
  return sum;
}

// Plain evaluation of the descriptor: every disk pixel with its own angle, no tables, no symmetry.
KeypointDescriptor ReferenceDescriptor(const GrayImage& gray, int x, int y) {
  int orderN[20], orderM[20], k = 0;
  for (int n = 0; n <= 7; ++n)
    for (int m = n % 2; m <= n; m += 2) orderN[k] = n, orderM[k++] = m;
  std::complex<double> z[20];
  for (int i = 0; i <= 20; ++i) {
    for (int j = 0; j <= 20; ++j) {
      const int dx = j - 10, dy = 10 - i, d2 = dx * dx + dy * dy;
      if (d2 > 100) continue;
      const int col = x - 10 + j, row = y - 10 + i;
      const bool inside = col >= 0 && col < gray.width && row >= 0 && row < gray.height;
      const double f = (inside ? gray.rows[row][col] : 0) / 255.0;
      const double w = std::exp(-d2 / 50.0) / (50.0 * kPi);
      const int s = static_cast<int>(std::floor(std::sqrt(static_cast<double>(d2)) + 0.5));
      const double theta = std::atan2(static_cast<double>(dy), static_cast<double>(dx));
      for (k = 0; k < 20; ++k) {
        const double r = RadialPolynomial(orderN[k], orderM[k], s / 10.0);
        z[k] += f * w * r * std::polar(1.0, -orderM[k] * theta);
      }
    }
  }
  KeypointDescriptor out;
  for (int i = 0; i < kDescriptorSize; ++i) out[i] = std::abs(z[i + 1] / 317.0) / std::abs(z[0].real() / 317.0);
  return out;
}

GrayImage RandomImage(int w, int h, std::mt19937& rng, int minLevel, int maxLevel) {
  GrayImage image;
  image.CreateImage(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      image.rows[y][x] = static_cast<unsigned char>(minLevel + static_cast<int>(rng() % (maxLevel - minLevel + 1)));
  return image;
}

KeypointDescriptor Describe(const GrayImage& gray, int x, int y) {
  KeypointDescriptor out;
  DescribeKeypoint(gray, x, y, out);
  return out;
}

// Relative comparison; entries that are zero up to rounding (below 1e-15) compare absolutely.
void ExpectRelativelyEqual(const KeypointDescriptor& actual, const KeypointDescriptor& expected, double tol) {
  for (int i = 0; i < kDescriptorSize; ++i)
    EXPECT_NEAR(actual[i], expected[i], std::max(tol * std::fabs(expected[i]), 1e-15)) << "entry " << i;
}

// Builds a 21 x 21 image whose pixel (j, i) is source pixel map(j, i), and describes its centre.
KeypointDescriptor DescribeMapped(const GrayImage& source, const std::function<std::pair<int, int>(int, int)>& map) {
  GrayImage out;
  out.CreateImage(21, 21);
  for (int i = 0; i < 21; ++i) {
    for (int j = 0; j < 21; ++j) {
      const auto [sx, sy] = map(j, i);
      out.rows[i][j] = source.rows[sy][sx];
    }
  }
  return Describe(out, 10, 10);
}

TEST(DescriptorTables, HoldTheSpecifiedWeightsAndDisk) {
  InitDescriptorTables();
  InitDescriptorTables();  // a second initialisation changes nothing
  const DescriptorTables& t = GetDescriptorTables();
  EXPECT_DOUBLE_EQ(t.weight[10][0], 1.0 / 157.07963267948966);
  EXPECT_DOUBLE_EQ(t.weight[10][10], std::exp(-2.0) / 157.07963267948966);
  EXPECT_EQ(t.weight[0][1], 0.0);  // offset (1, 10) is outside the disk

  int quadrant = 0, axis = 0;
  for (int r = 0; r <= 10; ++r) {
    for (int c = 0; c <= 10; ++c) {
      if (!t.mask[r][c] || (r == 10 && c == 0)) continue;
      (r == 10 || c == 0 ? axis : quadrant) += 1;
    }
  }
  EXPECT_EQ(quadrant, 69);
  EXPECT_EQ(4 * quadrant + 2 * axis + 1, 317);

  EXPECT_EQ(t.momentIndex[0][0], 0);
  EXPECT_EQ(t.momentIndex[4][4], 8);
  EXPECT_EQ(t.momentIndex[7][7], 19);
  EXPECT_EQ(t.momentIndex[3][2], -1);
  EXPECT_DOUBLE_EQ(t.radial[t.momentIndex[2][0]][0], -1.0);  // R_20(0) = 2 * 0 - 1
  EXPECT_DOUBLE_EQ(t.radial[t.momentIndex[2][0]][10], 1.0);
  EXPECT_EQ(&GetDescriptorTables(), &t);
}

TEST(DescribeKeypoint, MatchesThePlainFormulaOnRandomPatches) {
  std::mt19937 rng(1);
  const GrayImage image = RandomImage(64, 48, rng, 1, 255);
  for (int trial = 0; trial < 300; ++trial) {
    // Positions run up to 5 pixels past the border so that partly outside patches are covered too.
    const int x = static_cast<int>(rng() % 74) - 5, y = static_cast<int>(rng() % 58) - 5;
    ExpectRelativelyEqual(Describe(image, x, y), ReferenceDescriptor(image, x, y), 1e-12);
  }
}

TEST(DescribeKeypoint, IsInvariantToGainRotationsAndMirrors) {
  std::mt19937 rng(2);
  for (int trial = 0; trial < 20; ++trial) {
    const GrayImage patch = RandomImage(21, 21, rng, 0, 127);
    const KeypointDescriptor base = Describe(patch, 10, 10);

    GrayImage brighter = patch;
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 21; ++x) brighter.rows[y][x] = static_cast<unsigned char>(2 * patch.rows[y][x]);
    ExpectRelativelyEqual(Describe(brighter, 10, 10), base, 1e-12);

    ExpectRelativelyEqual(DescribeMapped(patch, [](int x, int y) { return std::pair{y, 20 - x}; }), base, 1e-12);
    ExpectRelativelyEqual(DescribeMapped(patch, [](int x, int y) { return std::pair{20 - x, 20 - y}; }), base,
                          1e-12);
    ExpectRelativelyEqual(DescribeMapped(patch, [](int x, int y) { return std::pair{20 - y, x}; }), base, 1e-12);
    ExpectRelativelyEqual(DescribeMapped(patch, [](int x, int y) { return std::pair{20 - x, y}; }), base, 1e-12);
    ExpectRelativelyEqual(DescribeMapped(patch, [](int x, int y) { return std::pair{x, 20 - y}; }), base, 1e-12);
  }
}

TEST(DescribeKeypoint, UniformPatchGivesTheKnownValuesAtEveryLevel) {
  GrayImage dim, bright;
  dim.CreateImage(21, 21);
  bright.CreateImage(21, 21);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 21; ++x) dim.rows[y][x] = 1, bright.rows[y][x] = 200;
  const KeypointDescriptor d = Describe(dim, 10, 10);
  ExpectRelativelyEqual(Describe(bright, 10, 10), d, 1e-12);

  const DescriptorTables& t = GetDescriptorTables();
  for (int i = 0; i < kDescriptorSize; ++i) {
    const int m = t.repetitionM[i + 1];
    if (m != 0 && m != 4) {
      EXPECT_LT(d[i], 1e-12) << "entry " << i;
    }
  }
  EXPECT_NEAR(d[1], 0.321435, 0.0000005);
  EXPECT_NEAR(d[5], 0.0767036, 0.00000005);
  EXPECT_NEAR(d[7], 0.00947925, 0.000000005);
  EXPECT_NEAR(d[11], 0.0146787, 0.00000005);
  EXPECT_NEAR(d[13], 0.00734047, 0.000000005);
}

TEST(DescribeKeypoint, ReadsPixelsOutsideTheImageAsZero) {
  std::mt19937 rng(3);
  const GrayImage corner = RandomImage(8, 9, rng, 0, 255);
  GrayImage padded;
  padded.CreateImage(40, 40);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 8; ++x) padded.rows[y + 20][x + 20] = corner.rows[y][x];
  ExpectRelativelyEqual(Describe(corner, 3, 4), Describe(padded, 23, 24), 1e-12);
}

TEST(DescribeKeypoint, BlackDiskGivesZerosInsteadOfNaN) {
  GrayImage image;
  image.CreateImage(30, 30);
  image.rows[0][0] = 255;  // outside the disk around (15, 15)
  KeypointDescriptor out;
  out.fill(-1.0);
  DescribeKeypoint(image, 15, 15, out);
  for (double v : out) EXPECT_EQ(v, 0.0);
  DescribeKeypoint(image, -100, 500, out);  // wholly outside the image
  for (double v : out) EXPECT_EQ(v, 0.0);
}

}  // namespace
}  // namespace quorl
