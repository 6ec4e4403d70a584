#include "camera/opencv_calibration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/core.hpp>

#include "tests/camera/temp_dir.h"

namespace quorl {
namespace {

using test::TempDir;

// Calibration files of OpenCV's documentation package, when it is installed.
std::string sample(const std::string& name) { return std::string(QUORL_OPENCV_SAMPLES_DIR) + "/" + name; }

#define REQUIRE_SAMPLE(path) \
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " not installed (opencv-doc)"

TEST(OpenCVCalibrationSamples, SingleCameraCalibrationWithImageSize) {
  const std::string path = sample("data/left_intrinsics.yml");
  REQUIRE_SAMPLE(path);
  std::string error;
  const std::optional<ImportedCalibration> c = importOpenCVCalibration(path, error);
  ASSERT_TRUE(c) << error;
  EXPECT_TRUE(c->hasImageSize);
  EXPECT_EQ(c->param.xsize, 640);
  EXPECT_EQ(c->param.ysize, 480);
  const double fx = 5.3591573396163199e+02;
  EXPECT_EQ(c->param.mat[0][0], fx);
  EXPECT_EQ(c->param.mat[1][1], fx);
  EXPECT_EQ(c->param.mat[0][2], 3.4228315473308373e+02);
  EXPECT_EQ(c->param.mat[1][2], 2.3557082909788173e+02);
  EXPECT_EQ(c->param.mat[2], (std::array<double, 4>{0, 0, 1, 0}));
  EXPECT_EQ(c->param.dist_factor[0], c->param.mat[0][2]);
  EXPECT_EQ(c->param.dist_factor[1], c->param.mat[1][2]);
  EXPECT_DOUBLE_EQ(c->param.dist_factor[2], -2.6637260909660682e-01 / (fx * fx));
  EXPECT_EQ(c->param.dist_factor[3], 1.0);
  ASSERT_EQ(c->notes.size(), 1u);
  EXPECT_NE(c->notes[0].find("k2, p1, p2, k3"), std::string::npos) << c->notes[0];
}

TEST(OpenCVCalibrationSamples, StereoCalibrationGivesTheFirstCameraWithoutSize) {
  const std::string path = sample("data/intrinsics.yml");
  REQUIRE_SAMPLE(path);
  std::string error;
  const std::optional<ImportedCalibration> c = importOpenCVCalibration(path, error);
  ASSERT_TRUE(c) << error;
  EXPECT_FALSE(c->hasImageSize);
  EXPECT_EQ(c->param.xsize, 0);
  EXPECT_EQ(c->param.mat[0][2], 3.3568643204394891e+02);
}

TEST(OpenCVCalibrationSamples, FilesWithoutCameraMatrixAreRefused) {
  for (const char* name : {"data/H1to3p.xml", "data/calibration.yml", "data/stereo_calib.xml"}) {
    const std::string path = sample(name);
    REQUIRE_SAMPLE(path);
    std::string error;
    EXPECT_FALSE(importOpenCVCalibration(path, error)) << name;
    EXPECT_NE(error.find("No camera matrix"), std::string::npos) << name << ": " << error;
  }
}

TEST(OpenCVCalibration, XmlWithCamelCaseKeysAndSizePair) {
  TempDir dir;
  const std::string path = dir.file("calib.xml");
  {
    cv::FileStorage fs(path, cv::FileStorage::WRITE);
    fs << "cameraMatrix" << (cv::Mat_<double>(3, 3) << 2 * 800.0, 0, 2 * 330.5, 0, 2 * 790.0, 2 * 250.25, 0, 0, 2);
    fs << "dist_coeffs" << (cv::Mat_<float>(1, 4) << 0.5f, 0, 0, 0);
    fs << "imageSize" << cv::Size(1280, 720);
  }
  std::string error;
  const std::optional<ImportedCalibration> c = importOpenCVCalibration(path, error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->param.xsize, 1280);
  EXPECT_EQ(c->param.ysize, 720);
  EXPECT_EQ(c->param.mat[0][0], 800.0);
  EXPECT_EQ(c->param.mat[1][1], 790.0);
  EXPECT_EQ(c->param.mat[0][2], 330.5);
  EXPECT_EQ(c->param.mat[1][2], 250.25);
  EXPECT_DOUBLE_EQ(c->param.dist_factor[2], 0.5 / (800.0 * 790.0));
  EXPECT_TRUE(c->notes.empty());
}

TEST(OpenCVCalibration, MalformedInputGivesAReasonNotACrash) {
  const char* header = "%YAML:1.0\n";
  const std::string matrix =
      "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n  data: [ 500., 0., 320., 0., 500., 240., 0., 0., 1. ]\n";
  struct Case {
    std::string text;
    std::string reason;
  } cases[] = {
      {"", "empty"},
      {"not a calibration {[", "not a valid"},
      {std::string(header) + "x: 1\n", "No camera matrix"},
      {std::string(header) + "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 4\n  dt: d\n  data: [ 1., 0., 0., 0., 0., 1., 0., 0., 0., 0., 1., 0. ]\n",
       "3 x 3"},
      {std::string(header) + "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n  data: [ 500., 0., 320., 0., 500., 240., 0.1, 0., 1. ]\n",
       "upper-triangular"},
      {std::string(header) + "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n  data: [ -500., 0., 320., 0., 500., 240., 0., 0., 1. ]\n",
       "not positive"},
      {std::string(header) + "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n  data: [ .nan, 0., 320., 0., 500., 240., 0., 0., 1. ]\n",
       "finite"},
      {std::string(header) + matrix + "dist_coeffs: !!opencv-matrix\n  rows: 1\n  cols: 3\n  dt: d\n  data: [ 0.1, 0., 0. ]\n",
       "4, 5, 8, 12 or 14"},
      {std::string(header) + matrix + "image_width: 640\n", "image_width and image_height"},
      {std::string(header) + matrix + "image_size: [ 640, -480 ]\n", "image_size"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(importOpenCVCalibrationText(c.text, error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << "\n-> " << error;
  }
  std::string error;
  EXPECT_TRUE(importOpenCVCalibrationText(std::string(header) + matrix, error)) << error;
  EXPECT_FALSE(importOpenCVCalibration("/nonexistent/calib.yml", error));
}

}  // namespace
}  // namespace quorl
