#include "geometry/pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace quorl {
namespace {

constexpr double kFocal = 800.0;

CornerSet Scaled(const CornerSet& corners, double factor) {
  CornerSet out = corners;
  for (PlanePoint& p : out) p = {p.x * factor, p.y * factor};
  return out;
}

PlanePoint Apply(const Matrix3& h, PlanePoint p) {
  const double w = h[6] * p.x + h[7] * p.y + h[8];
  return {(h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w};
}

PoseEstimate PoseFor(const CornerSet& image) {
  PoseEstimate pose;
  estimateSquareHomography(pose, kModelSquare, image);
  poseFromHomography(kFocal, kFocal, pose);
  return pose;
}

// Compares the 3 x 3 rotation part and the translation of a modelview.
void ExpectPose(const PoseEstimate& pose, const Matrix3& rotation, const std::array<double, 3>& t, double tol) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(pose.modelview[r * 4 + c], rotation[r * 3 + c], tol) << r << "," << c;
    EXPECT_NEAR(pose.modelview[r * 4 + 3], t[r], tol * kFocal) << "t" << r;
  }
  EXPECT_EQ(pose.modelview[12], 0.0);
  EXPECT_EQ(pose.modelview[13], 0.0);
  EXPECT_EQ(pose.modelview[14], 0.0);
  EXPECT_EQ(pose.modelview[15], 1.0);
}

const Matrix3 kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

TEST(Pose, SquareSeenHeadOnGivesIdentityRotationAtFocalDistance) {
  PoseEstimate pose;
  estimateSquareHomography(pose, kModelSquare, kModelSquare);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(pose.homography[i] / pose.homography[8], kIdentity[i], 1e-12);
  poseFromHomography(kFocal, kFocal, pose);
  ExpectPose(pose, kIdentity, {0.0, 0.0, kFocal}, 1e-12);

  // Twice as large in the image: half the distance.
  ExpectPose(PoseFor(Scaled(kModelSquare, 2.0)), kIdentity, {0.0, 0.0, kFocal / 2.0}, 1e-12);
}

TEST(Pose, RotatingTheCornerOrderTurnsThePoseByNinetyDegrees) {
  CornerSet rotated;
  for (std::size_t i = 0; i < 4; ++i) rotated[i] = kModelSquare[(i + 1) % 4];
  const Matrix3 quarterTurn = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  ExpectPose(PoseFor(rotated), quarterTurn, {0.0, 0.0, kFocal}, 1e-12);
}

TEST(Pose, NegativeDeterminantIsScaledByANegativeFactor) {
  PoseEstimate pose;
  pose.homography = {-2, 0, 0, 0, 2, 0, 0, 0, 2};  // det -8: c = -0.5, G = diag(1, -1, -1)
  poseFromHomography(kFocal, kFocal, pose);
  const Matrix3 mirrored = {1, 0, 0, 0, -1, 0, 0, 0, -1};
  ExpectPose(pose, mirrored, {0.0, 0.0, -kFocal}, 1e-12);

  // The overall sign of the homography does not matter.
  PoseEstimate negated;
  for (int i = 0; i < 9; ++i) negated.homography[i] = -pose.homography[i];
  poseFromHomography(kFocal, kFocal, negated);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(negated.modelview[i], pose.modelview[i], 1e-9);
}

TEST(Pose, PoseLeavesTheHomographyBitForBit) {
  CornerSet image = {{{-120.0, -90.0}, {110.0, -70.0}, {95.0, 130.0}, {-105.0, 85.0}}};
  PoseEstimate pose;
  estimateSquareHomography(pose, kModelSquare, image);
  const Matrix3 before = pose.homography;
  poseFromHomography(700.0, 650.0, pose);
  EXPECT_EQ(std::memcmp(before.data(), pose.homography.data(), sizeof(Matrix3)), 0);
}

TEST(Pose, FirstColumnIsUnitAndPoseProjectsTheModelCorners) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> jitter(-40.0, 40.0);
  for (int trial = 0; trial < 50; ++trial) {
    CornerSet image = kModelSquare;
    for (PlanePoint& p : image) p = {p.x + jitter(rng), p.y + jitter(rng)};
    const CornerSet input = image;
    const PoseEstimate pose = PoseFor(image);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(image[i].x, input[i].x);  // the caller's corners stay as they were
      const PlanePoint mapped = Apply(pose.homography, kModelSquare[i]);
      EXPECT_NEAR(mapped.x, image[i].x, 1e-7);
      EXPECT_NEAR(mapped.y, image[i].y, 1e-7);
      // Projecting the model corner with the pose lands on the image corner.
      const double* m = pose.modelview.data();
      const double X = kModelSquare[i].x, Y = kModelSquare[i].y;
      const double cx = m[0] * X + m[1] * Y + m[3], cy = m[4] * X + m[5] * Y + m[7], cz = m[8] * X + m[9] * Y + m[11];
      EXPECT_GT(cz, 0.0);
      EXPECT_NEAR(kFocal * cx / cz, image[i].x, 1e-6);
      EXPECT_NEAR(kFocal * cy / cz, image[i].y, 1e-6);
    }
    const double* m = pose.modelview.data();
    EXPECT_NEAR(m[0] * m[0] + m[4] * m[4] + m[8] * m[8], 1.0, 1e-12);
  }
}

TEST(PoseNormalize, ModelSquareBecomesUnitCornersAndTransformMatchesPoints) {
  CornerSet model = kModelSquare;
  CornerSet image = {{{10.0, 20.0}, {70.0, 25.0}, {65.0, 90.0}, {5.0, 80.0}}};
  const CornerSet rawImage = image;
  Matrix3 modelT;
  Matrix3 imageT;
  normalizePoints(model, image, modelT, imageT);
  const Matrix3 expectedModelT = {0.01, 0, 0, 0, 0.01, 0, 0, 0, 1};
  for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(modelT[i], expectedModelT[i]);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(std::fabs(model[i].x), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(model[i].y), 1.0);
    const PlanePoint viaT = Apply(imageT, rawImage[i]);
    EXPECT_NEAR(viaT.x, image[i].x, 1e-15);
    EXPECT_NEAR(viaT.y, image[i].y, 1e-15);
  }
  // s comes from the raw coordinates: sqrt(0.125 * sum(x^2 + y^2)).
  double sum = 0.0;
  for (const PlanePoint& p : rawImage) sum += p.x * p.x + p.y * p.y;
  EXPECT_DOUBLE_EQ(imageT[0], 1.0 / std::sqrt(0.125 * sum));
}

// Symmetric orthogonal Q = I - 2 u u^T / (u^T u).
Matrix9 Householder(const Vector9& u) {
  double norm2 = 0.0;
  for (double x : u) norm2 += x * x;
  Matrix9 q{};
  for (int i = 0; i < 9; ++i) {
    for (int j = 0; j < 9; ++j) q[i * 9 + j] = (i == j ? 1.0 : 0.0) - 2.0 * u[i] * u[j] / norm2;
  }
  return q;
}

TEST(PoseJacobi, RecoversAKnownEigenDecomposition) {
  const Vector9 lambda = {9.5, -3.0, 7.25, 0.5, 2.0, -8.0, 4.0, 1.0, 0.0};
  const Matrix9 q = Householder({1, -2, 3, 0.5, 1, -1, 2, 0.25, 1});
  Matrix9 a{};
  for (int i = 0; i < 9; ++i) {
    for (int j = 0; j < 9; ++j) {
      for (int k = 0; k < 9; ++k) a[i * 9 + j] += q[i * 9 + k] * lambda[k] * q[j * 9 + k];
    }
  }
  Vector9 d;
  Matrix9 v;
  EXPECT_TRUE(jacobiEigen(a, d, v));
  sortEigenDescending(d, v);
  const Vector9 sorted = {9.5, 7.25, 4.0, 2.0, 1.0, 0.5, 0.0, -3.0, -8.0};
  const int column[9] = {0, 2, 6, 4, 7, 3, 8, 1, 5};  // where each sorted value sits in lambda
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(d[i], sorted[i], 1e-12);
    // Same eigenvector as column column[i] of Q, up to sign.
    double dot = 0.0;
    for (int r = 0; r < 9; ++r) dot += v[r * 9 + i] * q[r * 9 + column[i]];
    EXPECT_NEAR(std::fabs(dot), 1.0, 1e-12);
  }
}

TEST(PoseJacobi, DiagonalMatrixNeedsNoRotation) {
  Matrix9 a{};
  for (int i = 0; i < 9; ++i) a[i * 10] = i - 4.0;
  Vector9 d;
  Matrix9 v;
  EXPECT_TRUE(jacobiEigen(a, d, v));
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(d[i], i - 4.0);
    for (int j = 0; j < 9; ++j) EXPECT_EQ(v[i * 9 + j], i == j ? 1.0 : 0.0);
  }
}

TEST(PoseJacobi, RandomSymmetricMatricesSatisfyAvEqualsLambdaV) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> value(-10.0, 10.0);
  for (int trial = 0; trial < 100; ++trial) {
    Matrix9 a{};
    for (int i = 0; i < 9; ++i) {
      for (int j = i; j < 9; ++j) a[i * 9 + j] = a[j * 9 + i] = value(rng);
    }
    Matrix9 work = a;
    Vector9 d;
    Matrix9 v;
    EXPECT_TRUE(jacobiEigen(work, d, v));
    sortEigenDescending(d, v);
    for (int k = 0; k < 9; ++k) {
      if (k > 0) {
        EXPECT_GE(d[k - 1], d[k]);
      }
      for (int i = 0; i < 9; ++i) {
        double av = 0.0;
        for (int j = 0; j < 9; ++j) av += a[i * 9 + j] * v[j * 9 + k];
        EXPECT_NEAR(av, d[k] * v[i * 9 + k], 1e-9) << "trial " << trial;
      }
      for (int l = 0; l < 9; ++l) {  // orthonormal columns
        double dot = 0.0;
        for (int i = 0; i < 9; ++i) dot += v[i * 9 + k] * v[i * 9 + l];
        EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-12);
      }
    }
  }
}

TEST(PoseJacobi, SortTakesTheLaterOfEqualValuesFirst) {
  Vector9 d = {1, 3, 3, 2, 0, 0, 0, 0, 0};
  Matrix9 v{};
  for (int i = 0; i < 9; ++i) v[i * 9 + i] = 1.0;
  sortEigenDescending(d, v);
  const Vector9 expected = {3, 3, 2, 1, 0, 0, 0, 0, 0};
  EXPECT_EQ(d, expected);
  EXPECT_EQ(v[2 * 9 + 0], 1.0);  // column 0 is the old column 2
  EXPECT_EQ(v[1 * 9 + 1], 1.0);  // column 1 stays the old column 1
  EXPECT_EQ(v[8 * 9 + 4], 1.0);  // of the five zeros, the last comes first
}

TEST(PoseInvert, InvertsRandomMatricesAndSurvivesDegenerateOnes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> value(-5.0, 5.0);
  for (int trial = 0; trial < 200; ++trial) {
    Matrix3 a;
    for (double& x : a) x = value(rng);
    const Matrix3 inv = invert3x3LU(a);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) sum += a[r * 3 + k] * inv[k * 3 + c];
        EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-8) << "trial " << trial;
      }
    }
  }
  EXPECT_EQ(invert3x3LU({1, 2, 3, 0, 0, 0, 4, 5, 6}), kIdentity);
  // Exactly singular: the zero pivot is replaced, so the result stays finite.
  for (double x : invert3x3LU({1, 2, 3, 2, 4, 6, 1, 1, 1})) EXPECT_TRUE(std::isfinite(x));
}

}  // namespace
}  // namespace quorl
