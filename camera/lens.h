#pragma once
// The camera's lens: pinhole intrinsics and distortion, from an OpenCV calibration or from a camera file.
// Frame pixels are where the lens puts a point; ideal pixels are where a pinhole camera with the same
// intrinsics would put it. Tracking through a lens works in ideal pixels and reports frame pixels.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera_param.h"

namespace quorl {

// Number of OpenCV distortion coefficients kept: k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4 (the sensor tilt
// terms tau_x, tau_y are refused when not zero).
inline constexpr int kLensCoefficients = 12;

// Ownership: a plain value; copies share nothing.
class CameraLens {
 public:
  // The two distortion models.
  //   kOpenCV:     OpenCV's rational radial, tangential and thin-prism model in normalised coordinates.
  //   kCameraFile: the camera file's dist_factor: with centre c = (d0, d1), coefficient k = d2 per squared
  //                pixel and scale s = d3, an ideal pixel p lands on c + s (p - c) (1 + k |p - c|^2).
  enum class Model { kOpenCV, kCameraFile };

  // From an OpenCV calibration of `size` images: `cameraMatrix` upper-triangular with positive focal
  // lengths, `coefficients` 0, 4, 5, 8, 12 or 14 values in OpenCV's order. Nothing, with `error`, otherwise.
  static std::optional<CameraLens> FromOpenCV(const cv::Matx33d& cameraMatrix, const std::vector<double>& coefficients,
                                              cv::Size size, std::string& error);
  // From a camera record: the intrinsics of its matrix, its dist_factor applied as the kCameraFile model.
  static std::optional<CameraLens> FromCameraParam(const CameraParam& param, std::string& error);

  // The same lens for w x h frames, scaled by the horizontal ratio as camera records are (the camera
  // file's distortion scales as changeParamSize scales it). Nothing when w or h is not positive.
  std::optional<CameraLens> Resized(int w, int h) const;

  // Ideal pixel to frame pixel (closed form).
  cv::Point2d Distort(cv::Point2d ideal) const;
  // Frame pixel to ideal pixel, by Gauss-Newton from `start` (the frame pixel when not given); exact to
  // about 1e-6 px where the model is invertible.
  cv::Point2d Undistort(cv::Point2d frame) const { return Undistort(frame, frame); }
  cv::Point2d Undistort(cv::Point2d frame, cv::Point2d start) const;

  Model model() const { return model_; }
  cv::Size size() const { return size_; }
  const cv::Matx33d& cameraMatrix() const { return cameraMatrix_; }
  // kOpenCV: kLensCoefficients values (absent ones zero).
  const std::array<double, kLensCoefficients>& coefficients() const { return coefficients_; }
  // kCameraFile: the record's dist_factor; kOpenCV: (cx, cy, k1 / (fx fy), 1), the radial term re-expressed
  // per squared pixel, as a camera file carries it.
  const std::array<double, 4>& fileDistortion() const { return fileDistortion_; }
  // The camera record of this lens: mat = (K | 0), dist_factor as fileDistortion, the size.
  CameraParam cameraParam() const;
  // "fx 536.0, fy 536.0, centre (342.3, 235.6), k1 -0.266, 640x480" for status lines and summaries.
  std::string Describe() const;

 private:
  Model model_ = Model::kOpenCV;
  cv::Size size_;
  cv::Matx33d cameraMatrix_ = cv::Matx33d::eye();
  std::array<double, kLensCoefficients> coefficients_{};
  std::array<double, 4> fileDistortion_{0.0, 0.0, 0.0, 1.0};
};

// Reads a calibration: an OpenCV YAML or XML file (gzip too, see importOpenCVCalibration), or a 136-byte
// camera file (named *.dat, or any file that is not text), whose distortion values are then applied.
// Nothing, with `error` ("<path>: <reason>"), for a file that cannot be read or describes no camera.
std::optional<CameraLens> LoadCalibrationFile(const std::string& path, std::string& error);

// The lens at one frame size, as the tracker uses it: a table of every frame pixel's ideal position, made
// once per lens and size (about 30 ms at 640 x 480), so that undistorting a point costs a lookup.
// Ownership: owns its table; read-only after construction, so several threads may use it at once.
class FrameLens {
 public:
  explicit FrameLens(const CameraLens& lens);
  const CameraLens& lens() const { return lens_; }
  cv::Size size() const { return lens_.size(); }
  cv::Point2d Distort(cv::Point2d ideal) const { return lens_.Distort(ideal); }
  // Bilinear in the table inside the frame, by iteration outside it.
  cv::Point2f Undistort(cv::Point2f frame) const;
  cv::Point2f UndistortPixel(int x, int y) const { return table_[static_cast<std::size_t>(y) * size().width + x]; }
  // The ideal picture of `frame` (CV_8UC1 or CV_8UC3 at the lens's size), the same size, bilinear.
  cv::Mat UndistortImage(const cv::Mat& frame) const;

 private:
  CameraLens lens_;
  std::vector<cv::Point2f> table_;  // row-major, ideal position of each frame pixel
};

}  // namespace quorl
