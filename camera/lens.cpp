#include "camera/lens.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <locale>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "camera/camera_setup.h"
#include "camera/opencv_calibration.h"

namespace quorl {
namespace {

bool AllFinite(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// Gauss-Newton steps of Undistort: at most this many, stopping below kUndistortTolerance pixels.
constexpr int kUndistortSteps = 20;
constexpr double kUndistortTolerance = 1e-7;
// Step of the numerical Jacobian, pixels.
constexpr double kJacobianStep = 1e-3;

}  // namespace

std::optional<CameraLens> CameraLens::FromOpenCV(const cv::Matx33d& k, const std::vector<double>& coefficients,
                                                 cv::Size size, std::string& error) {
  const std::size_t n = coefficients.size();
  if (n != 0 && n != 4 && n != 5 && n != 8 && n != 12 && n != 14) {
    error = "the distortion must hold 0, 4, 5, 8, 12 or 14 coefficients, not " + std::to_string(n);
    return std::nullopt;
  }
  if (!AllFinite({k(0, 0), k(0, 1), k(0, 2), k(1, 1), k(1, 2)}) || !(k(0, 0) > 0.0) || !(k(1, 1) > 0.0) ||
      k(1, 0) != 0.0 || k(2, 0) != 0.0 || k(2, 1) != 0.0 || k(2, 2) != 1.0) {
    error = "the camera matrix is not upper-triangular with positive focal lengths and a last row (0, 0, 1)";
    return std::nullopt;
  }
  if (size.width <= 0 || size.height <= 0) {
    error = "the image size is not positive";
    return std::nullopt;
  }
  CameraLens lens;
  lens.model_ = Model::kOpenCV;
  lens.size_ = size;
  lens.cameraMatrix_ = k;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(coefficients[i])) {
      error = "a distortion coefficient is not a finite number";
      return std::nullopt;
    }
    if (i >= kLensCoefficients && coefficients[i] != 0.0) {
      error = "the sensor tilt terms (tauX, tauY) are not supported";
      return std::nullopt;
    }
    if (i < kLensCoefficients) lens.coefficients_[i] = coefficients[i];
  }
  lens.fileDistortion_ = {k(0, 2), k(1, 2), lens.coefficients_[0] / (k(0, 0) * k(1, 1)), 1.0};
  return lens;
}

std::optional<CameraLens> CameraLens::FromCameraParam(const CameraParam& param, std::string& error) {
  const std::optional<CameraIntrinsics> in = cameraIntrinsicsForFrame(param, param.xsize, param.ysize);
  if (!in || !(in->fx > 0.0) || !(in->fy > 0.0)) {
    error = kUnusableCameraReason;
    return std::nullopt;
  }
  const auto& d = param.dist_factor;
  if (!AllFinite({d[0], d[1], d[2], d[3]}) || !(d[3] > 0.0)) {
    error = "the distortion values are not finite, or the scale (dist_factor[3]) is not positive";
    return std::nullopt;
  }
  CameraLens lens;
  lens.model_ = Model::kCameraFile;
  lens.size_ = cv::Size(param.xsize, param.ysize);
  lens.cameraMatrix_ = cv::Matx33d(in->fx, in->skew, in->cx, 0.0, in->fy, in->cy, 0.0, 0.0, 1.0);
  lens.fileDistortion_ = d;
  return lens;
}

std::optional<CameraLens> CameraLens::Resized(int w, int h) const {
  if (w <= 0 || h <= 0) return std::nullopt;
  std::string error;
  if (model_ == Model::kCameraFile) {
    const std::optional<CameraParam> resized = changeParamSize(cameraParam(), w, h);
    return resized ? FromCameraParam(*resized, error) : std::nullopt;
  }
  const double scale = static_cast<double>(w) / size_.width;
  CameraLens lens = *this;
  lens.size_ = cv::Size(w, h);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) lens.cameraMatrix_(r, c) *= scale;
  const cv::Matx33d& k = lens.cameraMatrix_;
  lens.fileDistortion_ = {k(0, 2), k(1, 2), coefficients_[0] / (k(0, 0) * k(1, 1)), 1.0};
  return lens;
}

cv::Point2d CameraLens::Distort(cv::Point2d p) const {
  if (model_ == Model::kCameraFile) {
    const cv::Point2d c(fileDistortion_[0], fileDistortion_[1]);
    const cv::Point2d d = p - c;
    return c + d * (fileDistortion_[3] * (1.0 + fileDistortion_[2] * d.dot(d)));
  }
  const cv::Matx33d& k = cameraMatrix_;
  const auto& q = coefficients_;
  const double y = (p.y - k(1, 2)) / k(1, 1);
  const double x = (p.x - k(0, 2) - k(0, 1) * y) / k(0, 0);
  const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
  const double radial = (1.0 + q[0] * r2 + q[1] * r4 + q[4] * r6) / (1.0 + q[5] * r2 + q[6] * r4 + q[7] * r6);
  const double xd = x * radial + 2.0 * q[2] * x * y + q[3] * (r2 + 2.0 * x * x) + q[8] * r2 + q[9] * r4;
  const double yd = y * radial + q[2] * (r2 + 2.0 * y * y) + 2.0 * q[3] * x * y + q[10] * r2 + q[11] * r4;
  return {k(0, 0) * xd + k(0, 1) * yd + k(0, 2), k(1, 1) * yd + k(1, 2)};
}

cv::Point2d CameraLens::Undistort(cv::Point2d frame, cv::Point2d start) const {
  cv::Point2d p = start;
  for (int step = 0; step < kUndistortSteps; ++step) {
    const cv::Point2d at = Distort(p);
    const cv::Point2d e = at - frame;
    if (std::hypot(e.x, e.y) < kUndistortTolerance) break;
    const cv::Point2d dx = (Distort(p + cv::Point2d(kJacobianStep, 0.0)) - at) / kJacobianStep;
    const cv::Point2d dy = (Distort(p + cv::Point2d(0.0, kJacobianStep)) - at) / kJacobianStep;
    const double det = dx.x * dy.y - dy.x * dx.y;
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) break;
    const cv::Point2d next = p - cv::Point2d((dy.y * e.x - dy.x * e.y) / det, (dx.x * e.y - dx.y * e.x) / det);
    if (!std::isfinite(next.x) || !std::isfinite(next.y)) break;
    p = next;
  }
  return p;
}

CameraParam CameraLens::cameraParam() const {
  CameraParam param;
  param.xsize = size_.width;
  param.ysize = size_.height;
  const cv::Matx33d& k = cameraMatrix_;
  param.mat = {{{k(0, 0), k(0, 1), k(0, 2), 0.0}, {0.0, k(1, 1), k(1, 2), 0.0}, {0.0, 0.0, 1.0, 0.0}}};
  param.dist_factor = fileDistortion_;
  return param;
}

std::string CameraLens::Describe() const {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.setf(std::ios::fixed);
  out.precision(1);
  out << "fx " << cameraMatrix_(0, 0) << ", fy " << cameraMatrix_(1, 1) << ", centre (" << cameraMatrix_(0, 2)
      << ", " << cameraMatrix_(1, 2) << "), ";
  out.precision(3);
  if (model_ == Model::kOpenCV) {
    out << "k1 " << coefficients_[0];
  } else {
    out.unsetf(std::ios::fixed);
    out << "distortion " << fileDistortion_[2] << " per px^2, scale " << fileDistortion_[3];
  }
  out << ", " << size_.width << "x" << size_.height;
  return out.str();
}

std::optional<CameraLens> LoadCalibrationFile(const std::string& path, std::string& error) {
  std::string reason;
  std::optional<CameraLens> lens;
  std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".dat") {
    CameraParam param;
    CameraFileDetail detail;
    const CameraFileStatus status = readCameraParamPath(path, param, &detail);
    if (status != CameraFileStatus::Ok) {
      reason = detail.reason.empty() ? cameraFileMessage(status) : detail.reason;
    } else {
      lens = CameraLens::FromCameraParam(param, reason);
    }
  } else if (const std::optional<ImportedCalibration> imported = importOpenCVCalibration(path, reason)) {
    if (!imported->hasImageSize) {
      reason = "the calibration gives no image size (image_width, image_height)";
    } else {
      const Matrix34& m = imported->param.mat;
      const cv::Matx33d k(m[0][0], m[0][1], m[0][2], 0.0, m[1][1], m[1][2], 0.0, 0.0, 1.0);
      lens = CameraLens::FromOpenCV(k, imported->coefficients,
                                    cv::Size(imported->param.xsize, imported->param.ysize), reason);
    }
  }
  if (!lens) error = path + ": " + reason;
  return lens;
}

FrameLens::FrameLens(const CameraLens& lens) : lens_(lens) {
  const cv::Size s = lens_.size();
  table_.resize(static_cast<std::size_t>(s.width) * s.height);
  // Each pixel starts from its left neighbour's answer, the first of a row from the row above.
  cv::Point2d rowStart(0.0, 0.0);
  for (int y = 0; y < s.height; ++y) {
    rowStart = lens_.Undistort(cv::Point2d(0.0, y), y == 0 ? cv::Point2d(0.0, 0.0) : rowStart + cv::Point2d(0, 1));
    cv::Point2d last = rowStart;
    for (int x = 0; x < s.width; ++x) {
      if (x > 0) last = lens_.Undistort(cv::Point2d(x, y), last + cv::Point2d(1, 0));
      table_[static_cast<std::size_t>(y) * s.width + x] = cv::Point2f(last);
    }
  }
}

cv::Point2f FrameLens::Undistort(cv::Point2f p) const {
  const cv::Size s = size();
  if (!(p.x >= 0.0f && p.y >= 0.0f && p.x <= s.width - 1 && p.y <= s.height - 1))
    return cv::Point2f(lens_.Undistort(cv::Point2d(p)));
  const int x0 = std::min(static_cast<int>(p.x), s.width - 2), y0 = std::min(static_cast<int>(p.y), s.height - 2);
  if (x0 < 0 || y0 < 0) return cv::Point2f(lens_.Undistort(cv::Point2d(p)));  // a frame one pixel wide or high
  const float fx = p.x - x0, fy = p.y - y0;
  const cv::Point2f* r0 = &table_[static_cast<std::size_t>(y0) * s.width + x0];
  const cv::Point2f* r1 = r0 + s.width;
  const cv::Point2f top = r0[0] + (r0[1] - r0[0]) * fx;
  const cv::Point2f bottom = r1[0] + (r1[1] - r1[0]) * fx;
  return top + (bottom - top) * fy;
}

cv::Mat FrameLens::UndistortImage(const cv::Mat& frame) const {
  const cv::Size s = size();
  cv::Mat mapX(s, CV_32FC1), mapY(s, CV_32FC1);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const cv::Point2d at = lens_.Distort(cv::Point2d(x, y));
      mapX.at<float>(y, x) = static_cast<float>(at.x);
      mapY.at<float>(y, x) = static_cast<float>(at.y);
    }
  cv::Mat out;
  cv::remap(frame, out, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

}  // namespace quorl
