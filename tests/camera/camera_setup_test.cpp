#include "camera/camera_setup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/camera/temp_dir.h"

namespace quorl {
namespace {

using test::TempDir;

void expectMatrixNear(const Matrix34& a, const Matrix34& b, double tol) {
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 4; ++c) EXPECT_NEAR(a[r][c], b[r][c], tol) << "at " << r << "," << c;
}

CameraParam webcam() {
  CameraParam p = makePinholeCameraParam(640, 480, 600.0);
  p.mat[0][1] = 2.0;  // some skew so that every entry moves
  p.dist_factor[2] = 4e-7;
  p.dist_factor[3] = 0.98;
  return p;
}

// Loads `param` through a file as the tracker does; returns the result code and collects messages.
int loadThroughFile(const CameraParam& param, int w, int h, CameraSetup& setup, std::vector<std::string>& said) {
  TempDir dir;
  const std::string path = dir.file("c.dat");
  EXPECT_EQ(writeCameraParamPath(path, param), CameraFileStatus::Ok);
  return loadCameraParams(std::fopen(path.c_str(), "rb"), w, h, setup,
                          [&](const std::string& text, const std::string&) { said.push_back(text); });
}

TEST(ChangeParamSize, HalvesEveryPixelQuantityFor320x240) {
  const CameraParam s = webcam();
  const std::optional<CameraParam> r = changeParamSize(s, 320, 240);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->xsize, 320);
  EXPECT_EQ(r->ysize, 240);
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_EQ(r->mat[0][j], s.mat[0][j] * 0.5);
    EXPECT_EQ(r->mat[1][j], s.mat[1][j] * 0.5);
    EXPECT_EQ(r->mat[2][j], s.mat[2][j]);
  }
  EXPECT_EQ(r->dist_factor[0], 160.0);
  EXPECT_EQ(r->dist_factor[1], 120.0);
  EXPECT_EQ(r->dist_factor[2], 4e-7 * 4.0);
  EXPECT_EQ(r->dist_factor[3], 0.98);
}

TEST(ChangeParamSize, UsesTheHorizontalRatioForBothAxes) {
  const std::optional<CameraParam> r = changeParamSize(webcam(), 320, 120);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->ysize, 120);
  EXPECT_EQ(r->mat[0][0], 300.0);
  EXPECT_EQ(r->mat[1][1], 300.0);
  EXPECT_EQ(r->mat[1][2], 120.0);
}

TEST(ChangeParamSize, RefusesNonPositiveSizes) {
  CameraParam s = webcam();
  EXPECT_FALSE(changeParamSize(s, 0, 240));
  EXPECT_FALSE(changeParamSize(s, 320, -1));
  s.xsize = 0;
  EXPECT_FALSE(changeParamSize(s, 320, 240));
}

TEST(DecomposeCameraMatrix, IntrinsicOnlyMatrixGivesItselfAndIdentity) {
  const Matrix34 s = {{{500.0, 1.5, 310.0, 0.0}, {0.0, 480.0, 250.0, 0.0}, {0.0, 0.0, 1.0, 0.0}}};
  const std::optional<CameraMatrixSplit> split = decomposeCameraMatrix(s);
  ASSERT_TRUE(split);
  expectMatrixNear(split->intrinsic, s, 1e-12);
  const Matrix34 identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
  expectMatrixNear(split->extrinsic, identity, 1e-15);
}

// Random s K [R | t] with s > 0, t_z > 0: the split returns K and [R | t], for the matrix and its negation.
TEST(DecomposeCameraMatrix, RecoversRandomIntrinsicsAndPose) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const double k[3][3] = {{400 + 300 * std::abs(u(rng)), 5 * u(rng), 320 + 50 * u(rng)},
                            {0, 400 + 300 * std::abs(u(rng)), 240 + 50 * u(rng)},
                            {0, 0, 1}};
    // Rotation from a random unit quaternion.
    double q[4] = {u(rng), u(rng), u(rng), u(rng)};
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (double& v : q) v /= n;
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    const double rot[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                              {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                              {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    const double t[3] = {100 * u(rng), 100 * u(rng), 200 + 100 * std::abs(u(rng))};
    Matrix34 rt{};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) rt[r][c] = rot[r][c];
      rt[r][3] = t[r];
    }
    const double scale = 0.5 + std::abs(u(rng));
    Matrix34 p{};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        for (int m = 0; m < 3; ++m) p[r][c] += scale * k[r][m] * rt[m][c];
    Matrix34 expectedK{};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) expectedK[r][c] = k[r][c];
    Matrix34 negated = p;
    for (auto& row : negated)
      for (double& v : row) v = -v;

    for (const Matrix34& m : {p, negated}) {
      const std::optional<CameraMatrixSplit> split = decomposeCameraMatrix(m);
      ASSERT_TRUE(split) << "trial " << trial;
      expectMatrixNear(split->intrinsic, expectedK, 1e-8);
      expectMatrixNear(split->extrinsic, rt, 1e-8);
    }
  }
}

TEST(DecomposeCameraMatrix, RefusesDegenerateAndNonFiniteMatrices) {
  Matrix34 s = makePinholeCameraParam(640, 480, 600).mat;
  Matrix34 zeroRow = s;
  zeroRow[2] = {0, 0, 0, 5};
  EXPECT_FALSE(decomposeCameraMatrix(zeroRow));
  Matrix34 dependent = s;
  dependent[1] = {0, 0, 3, 0};  // parallel to the third row
  EXPECT_FALSE(decomposeCameraMatrix(dependent));
  Matrix34 nan = s;
  nan[0][3] = std::nan("");
  EXPECT_FALSE(decomposeCameraMatrix(nan));
}

// Clip coordinates of the camera-space point (x, y, z) through a column-major projection.
std::array<double, 4> clip(const std::array<double, 16>& m, double x, double y, double z) {
  std::array<double, 4> out{};
  for (int i = 0; i < 4; ++i) out[i] = m[i] * x + m[i + 4] * y + m[i + 8] * z + m[i + 12];
  return out;
}

TEST(LoadCameraParams, ProjectionPutsAPointOnThePixelTheCalibrationGives) {
  CameraSetup setup;
  std::vector<std::string> said;
  ASSERT_EQ(loadThroughFile(makePinholeCameraParam(640, 480, 600.0), 320, 240, setup, said), 0);
  EXPECT_TRUE(said.empty());
  const std::optional<CameraIntrinsics> k = cameraIntrinsicsForFrame(makePinholeCameraParam(640, 480, 600), 320, 240);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->fx, 300.0);
  EXPECT_EQ(k->fy, 300.0);
  EXPECT_EQ(k->cx, 160.0);
  EXPECT_EQ(k->cy, 120.0);
  EXPECT_EQ(k->skew, 0.0);

  const double x = 40.0, y = -25.0, z = 800.0;
  const double u = k->fx * x / z + k->cx;  // column
  const double v = k->fy * y / z + k->cy;  // row, downwards
  const std::array<double, 4> c = clip(setup.projection, x, y, z);
  EXPECT_NEAR((c[0] / c[3] + 1.0) / 2.0 * 320.0, u, 1e-9);
  // Window y counts upwards: the image row v lies at (H - 1) - v.
  EXPECT_NEAR((c[1] / c[3] + 1.0) / 2.0 * 240.0, 239.0 - v, 1e-9);
  // Depth: the near plane at -1, the far plane at +1.
  const std::array<double, 4> n = clip(setup.projection, 0, 0, 50.0);
  const std::array<double, 4> f = clip(setup.projection, 0, 0, 5000.0);
  EXPECT_NEAR(n[2] / n[3], -1.0, 1e-12);
  EXPECT_NEAR(f[2] / f[3], 1.0, 1e-12);
}

TEST(LoadCameraParams, KeepsRowOneAsResizedAndMirrorsOnlyTheProjectionCopy) {
  CameraSetup setup;
  std::vector<std::string> said;
  ASSERT_EQ(loadThroughFile(webcam(), 320, 240, setup, said), 0);
  const CameraParam resized = *changeParamSize(webcam(), 320, 240);
  EXPECT_EQ(setup.cameraParams.mat, resized.mat);
  EXPECT_EQ(setup.cameraParams.dist_factor, resized.dist_factor);

  const CameraParam mirrored = mirrorImageRows(resized);
  for (std::size_t j = 0; j < 4; ++j)
    EXPECT_EQ(mirrored.mat[1][j], 239.0 * resized.mat[2][j] - resized.mat[1][j]);
  EXPECT_EQ(mirrored.mat[0], resized.mat[0]);
  EXPECT_EQ(mirrored.mat[2], resized.mat[2]);
  EXPECT_EQ(setup.projection, *buildGLProjection(mirrored, 50.0, 5000.0));
}

TEST(LoadCameraParams, NegatedMatrixGivesTheSameProjection) {
  CameraParam p = webcam();
  p.mat[2][3] = 0.5;  // keep the sign test meaningful
  CameraParam n = p;
  for (auto& row : n.mat)
    for (double& v : row) v = -v;
  CameraSetup a, b;
  std::vector<std::string> said;
  ASSERT_EQ(loadThroughFile(p, 640, 480, a, said), 0);
  ASSERT_EQ(loadThroughFile(n, 640, 480, b, said), 0);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(a.projection[i], b.projection[i], 1e-12) << i;
}

TEST(LoadCameraParams, RefusesUnusableFilesAndLeavesTheSetupUntouched) {
  CameraParam zeroWidth = webcam();
  zeroWidth.xsize = 0;
  CameraParam zeroRow = webcam();
  zeroRow.mat[2] = {0, 0, 0, 0};
  CameraParam infinite = webcam();
  infinite.mat[1][3] = std::numeric_limits<double>::infinity();

  for (const CameraParam& bad : {zeroWidth, zeroRow, infinite}) {
    CameraSetup setup;
    std::vector<std::string> said;
    EXPECT_EQ(loadThroughFile(bad, 320, 240, setup, said), -1);
    EXPECT_EQ(said, std::vector<std::string>{"File read error!!!"});
    EXPECT_EQ(setup.projection, (std::array<double, 16>{}));
    EXPECT_EQ(setup.cameraParams.xsize, 0);
    EXPECT_EQ(setup.cameraParams.mat, Matrix34{});
    EXPECT_EQ(setup.nearClip, 50.0);
    EXPECT_EQ(setup.farClip, 5000.0);
  }

  TempDir dir;
  const std::string path = dir.write("short.dat", std::vector<unsigned char>(135, 0));
  CameraSetup setup;
  std::vector<std::string> said;
  EXPECT_EQ(loadCameraParams(std::fopen(path.c_str(), "rb"), 320, 240, setup,
                             [&](const std::string& t, const std::string& why) { said.push_back(t + " " + why); }),
            -1);
  EXPECT_EQ(said, std::vector<std::string>{"File read error!!! 135 of 136 bytes"});
  EXPECT_EQ(loadCameraParams(std::fopen(path.c_str(), "rb"), 320, 240, setup, nullptr), -1);
}

}  // namespace
}  // namespace quorl
