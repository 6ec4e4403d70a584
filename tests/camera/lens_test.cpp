#include "camera/lens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <opencv2/calib3d.hpp>

#include "tests/camera/temp_dir.h"
#include "tests/camera/left_camera.h"

namespace quorl {
namespace {

using test::LeftCamera;

TEST(CameraLens, DistortionAgreesWithOpenCVForEveryModelAndInvertsAcrossTheFrame) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> coefficient(-0.05, 0.05);
  const cv::Matx33d k(520.0, 0.0, 330.0, 0, 515.0, 245.0, 0, 0, 1);  // projectPoints has no skew
  for (const int n : {4, 5, 8, 12}) {
    std::vector<double> c(static_cast<std::size_t>(n));
    for (double& v : c) v = coefficient(random);
    c[0] = -0.25;
    std::string error;
    const std::optional<CameraLens> lens = CameraLens::FromOpenCV(k, c, cv::Size(640, 480), error);
    ASSERT_TRUE(lens) << error;
    std::vector<cv::Point3d> rays;
    std::vector<cv::Point2d> ideal;
    for (int y = 0; y <= 480; y += 60)
      for (int x = 0; x <= 640; x += 80) {
        ideal.emplace_back(x, y);
        const double yn = (y - k(1, 2)) / k(1, 1);
        rays.emplace_back((x - k(0, 2) - k(0, 1) * yn) / k(0, 0), yn, 1.0);
      }
    std::vector<cv::Point2d> expected;
    cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(k), c, expected);
    for (std::size_t i = 0; i < ideal.size(); ++i) {
      const cv::Point2d d = lens->Distort(ideal[i]);
      EXPECT_LT(cv::norm(d - expected[i]), 1e-9) << n << " coefficients at " << ideal[i];
      EXPECT_LT(cv::norm(lens->Undistort(d) - ideal[i]), 1e-6) << n << " coefficients at " << ideal[i];
    }
  }

  // The table of a frame agrees with the exact inverse, at sub-pixel positions too.
  const CameraLens left = LeftCamera();
  const FrameLens frame(left);
  std::uniform_real_distribution<float> px(0.0f, 639.0f), py(0.0f, 479.0f);
  for (int i = 0; i < 500; ++i) {
    const cv::Point2f p(px(random), py(random));
    EXPECT_LT(cv::norm(cv::Point2d(frame.Undistort(p)) - left.Undistort(cv::Point2d(p))), 0.01) << p;
  }
  // The lens moves a corner of the frame by tens of pixels and the principal point not at all.
  EXPECT_GT(cv::norm(left.Undistort(cv::Point2d(0, 0)) - cv::Point2d(0, 0)), 40.0);
  EXPECT_LT(cv::norm(left.Distort(cv::Point2d(342.28315473308373, 235.57082909788173)) -
                     cv::Point2d(342.28315473308373, 235.57082909788173)),
            1e-12);
}

TEST(CameraLens, CameraFileModelAndResizing) {
  // Centre (300, 200), 1e-6 per squared pixel, scale 1.1: (400, 200) is 100 px out, so it lands at
  // 300 + 1.1 * 100 * (1 + 0.01).
  CameraParam param = makePinholeCameraParam(640, 480, 600.0);
  param.dist_factor = {300.0, 200.0, 1e-6, 1.1};
  std::string error;
  const std::optional<CameraLens> file = CameraLens::FromCameraParam(param, error);
  ASSERT_TRUE(file) << error;
  EXPECT_NEAR(file->Distort(cv::Point2d(400, 200)).x, 300.0 + 1.1 * 100.0 * 1.01, 1e-9);
  EXPECT_LT(cv::norm(file->Undistort(file->Distort(cv::Point2d(17, 450))) - cv::Point2d(17, 450)), 1e-6);
  EXPECT_EQ(file->cameraMatrix()(0, 0), 600.0);

  // Half the frame size: every point lands at half its place, for both models.
  for (const CameraLens& lens : {*file, LeftCamera()}) {
    const std::optional<CameraLens> half = lens.Resized(320, 240);
    ASSERT_TRUE(half);
    EXPECT_EQ(half->size(), cv::Size(320, 240));
    for (const cv::Point2d p : {cv::Point2d(10, 20), cv::Point2d(600, 470), cv::Point2d(320, 0)})
      EXPECT_LT(cv::norm(half->Distort(p * 0.5) - lens.Distort(p) * 0.5), 1e-9) << p;
  }

  // Refused: a bad matrix, a bad count, tilt terms, a non-positive scale.
  EXPECT_FALSE(CameraLens::FromOpenCV(cv::Matx33d(-1, 0, 0, 0, 1, 0, 0, 0, 1), {}, cv::Size(640, 480), error));
  EXPECT_FALSE(CameraLens::FromOpenCV(cv::Matx33d::eye(), {0.1, 0.2, 0.3}, cv::Size(640, 480), error));
  std::vector<double> tilted(14, 0.0);
  tilted[12] = 0.01;
  EXPECT_FALSE(CameraLens::FromOpenCV(cv::Matx33d::eye(), tilted, cv::Size(640, 480), error));
  EXPECT_NE(error.find("tilt"), std::string::npos);
  param.dist_factor[3] = 0.0;
  EXPECT_FALSE(CameraLens::FromCameraParam(param, error));
}

TEST(CameraLens, LoadsYamlAndCameraFilesAndRefusesBrokenOnesWithTheirReason) {
  const test::TempDir dir;
  const CameraLens left = LeftCamera();
  const std::string yml = dir.file("left.yml");
  {
    cv::FileStorage fs(yml, cv::FileStorage::WRITE);
    fs << "image_width" << 640 << "image_height" << 480 << "camera_matrix" << cv::Mat(left.cameraMatrix());
    fs << "distortion_coefficients" << cv::Mat(std::vector<double>(left.coefficients().begin(), left.coefficients().begin() + 5));
  }
  std::string error;
  const std::optional<CameraLens> read = LoadCalibrationFile(yml, error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->model(), CameraLens::Model::kOpenCV);
  EXPECT_EQ(read->coefficients(), left.coefficients());
  EXPECT_EQ(read->cameraMatrix(), left.cameraMatrix());

  // A camera file applies its distortion values.
  CameraParam param = makePinholeCameraParam(320, 240, 300.0);
  param.dist_factor = {160.0, 120.0, -2e-6, 1.0};
  const std::string dat = dir.file("camera.dat");
  ASSERT_EQ(writeCameraParamPath(dat, param), CameraFileStatus::Ok);
  const std::optional<CameraLens> fromFile = LoadCalibrationFile(dat, error);
  ASSERT_TRUE(fromFile) << error;
  EXPECT_EQ(fromFile->model(), CameraLens::Model::kCameraFile);
  EXPECT_NEAR(fromFile->Distort(cv::Point2d(0, 0)).x, 160.0 - 160.0 * (1.0 - 2e-6 * 40000.0), 1e-9);

  // Truncated YAML, a short camera file, a file without an image size: refused, naming the file.
  std::ifstream in(yml);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(dir.file("cut.yml")) << text.substr(0, text.size() / 2);
  EXPECT_FALSE(LoadCalibrationFile(dir.file("cut.yml"), error));
  EXPECT_EQ(error.rfind(dir.file("cut.yml") + ": ", 0), 0u) << error;
  std::ofstream(dir.file("short.dat")) << "0123456789";
  EXPECT_FALSE(LoadCalibrationFile(dir.file("short.dat"), error));
  EXPECT_NE(error.find("short.dat: "), std::string::npos) << error;
  {
    cv::FileStorage fs(dir.file("nosize.yml"), cv::FileStorage::WRITE);
    fs << "camera_matrix" << cv::Mat(left.cameraMatrix());
  }
  EXPECT_FALSE(LoadCalibrationFile(dir.file("nosize.yml"), error));
  EXPECT_NE(error.find("image size"), std::string::npos) << error;
  EXPECT_FALSE(LoadCalibrationFile(dir.file("missing.yml"), error));
}

}  // namespace
}  // namespace quorl
