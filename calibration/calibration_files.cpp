#include "calibration/calibration_files.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <opencv2/calib3d.hpp>

#include "camera/lens.h"

namespace quorl {
namespace {

// Frame pixels the camera record's model gives for `ideal` pixels; far off when the record is unusable.
std::vector<cv::Point2d> distortByRecord(const CameraParam& param, const std::vector<cv::Point2d>& ideal) {
  std::string error;
  const std::optional<CameraLens> lens = CameraLens::FromCameraParam(param, error);
  std::vector<cv::Point2d> frame;
  frame.reserve(ideal.size());
  for (const cv::Point2d& p : ideal) frame.push_back(lens ? lens->Distort(p) : p + cv::Point2d(1e6, 1e6));
  return frame;
}

// Pairs of ideal and frame pixels of the OpenCV lens over the grid: frame pixels spanning the frame are
// undistorted, and each ideal pixel is carried forward again so that the pair agrees exactly.
void openCVPairs(const CameraLens& lens, std::vector<cv::Point2d>& ideal, std::vector<cv::Point2d>& frame) {
  const cv::Size size = lens.size();
  for (int r = 0; r < kFitGrid; ++r)
    for (int c = 0; c < kFitGrid; ++c) {
      const cv::Point2d at(c * (size.width - 1.0) / (kFitGrid - 1), r * (size.height - 1.0) / (kFitGrid - 1));
      ideal.push_back(lens.Undistort(at));
      frame.push_back(lens.Distort(ideal.back()));
    }
}

// The record's four distortion values as the solver's parameters: centre, k times the squared half
// diagonal (so that all four are of order one), scale. Two more residuals hold the centre weakly at the
// principal point (10 px cost as much as 0.01 px at every grid point), which a lens of next to no
// distortion leaves undetermined.
class RecordFit final : public cv::LMSolver::Callback {
 public:
  RecordFit(CameraParam base, std::vector<cv::Point2d> ideal, std::vector<cv::Point2d> frame, double halfDiagonal)
      : base_(base), ideal_(std::move(ideal)), frame_(std::move(frame)), r2_(halfDiagonal * halfDiagonal) {}

  CameraParam record(const double* x) const {
    CameraParam param = base_;
    param.dist_factor = {x[0], x[1], x[2] / r2_, x[3]};
    return param;
  }

  bool compute(cv::InputArray param, cv::OutputArray err, cv::OutputArray jacobian) const override {
    const cv::Mat x = param.getMat();
    const auto residuals = [&](const cv::Vec4d& at, double* out) {
      const std::vector<cv::Point2d> got = distortByRecord(record(at.val), ideal_);
      for (std::size_t i = 0; i < got.size(); ++i) {
        out[2 * i] = got[i].x - frame_[i].x;
        out[2 * i + 1] = got[i].y - frame_[i].y;
      }
      const double weight = 1e-3 * std::sqrt(static_cast<double>(got.size()));
      out[2 * got.size()] = weight * (at[0] - base_.dist_factor[0]);
      out[2 * got.size() + 1] = weight * (at[1] - base_.dist_factor[1]);
    };
    const cv::Vec4d at(x.at<double>(0), x.at<double>(1), x.at<double>(2), x.at<double>(3));
    const int n = static_cast<int>(2 * ideal_.size() + 2);
    err.create(n, 1, CV_64F);
    residuals(at, err.getMat().ptr<double>());
    if (jacobian.needed()) {
      jacobian.create(n, 4, CV_64F);
      cv::Mat j = jacobian.getMat();
      std::vector<double> plus(static_cast<std::size_t>(n)), minus(static_cast<std::size_t>(n));
      static constexpr double kSteps[4] = {1e-3, 1e-3, 1e-6, 1e-6};
      for (int p = 0; p < 4; ++p) {
        cv::Vec4d up = at, down = at;
        up[p] += kSteps[p];
        down[p] -= kSteps[p];
        residuals(up, plus.data());
        residuals(down, minus.data());
        for (int i = 0; i < n; ++i)
          j.at<double>(i, p) = (plus[static_cast<std::size_t>(i)] - minus[static_cast<std::size_t>(i)]) / (2 * kSteps[p]);
      }
    }
    return true;
  }

 private:
  CameraParam base_;
  std::vector<cv::Point2d> ideal_, frame_;
  double r2_;
};

std::string reason() { return std::strerror(errno); }

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string OpenCVCalibrationText(const CalibrationResult& result, const BoardLayout& board, const std::string& time) {
  cv::FileStorage fs(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  if (!time.empty()) fs << "calibration_time" << time;
  const cv::Size inner = InnerCorners(board);
  fs << "nframes" << static_cast<int>(result.viewErrors.size());
  fs << "image_width" << result.imageSize.width;
  fs << "image_height" << result.imageSize.height;
  fs << "board_width" << inner.width;
  fs << "board_height" << inner.height;
  fs << "square_size" << board.square;
  fs << "board" << BoardLayoutText(board);
  fs << "flags" << 0;
  fs << "camera_matrix" << cv::Mat(result.cameraMatrix);
  fs << "distortion_coefficients" << cv::Mat(result.distortion);
  fs << "avg_reprojection_error" << result.rms;
  fs << "per_view_reprojection_errors" << cv::Mat(result.viewErrors, true);
  return fs.releaseAndGetString();
}

std::optional<CameraParamFit> FitCameraParam(const cv::Matx33d& k, const cv::Vec<double, 5>& distortion,
                                             cv::Size size, std::string& error) {
  const std::optional<CameraLens> lens =
      CameraLens::FromOpenCV(k, std::vector<double>(distortion.val, distortion.val + 5), size, error);
  if (!lens) return std::nullopt;
  CameraParamFit fit;
  CameraParam& param = fit.param;
  param.xsize = size.width;
  param.ysize = size.height;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) param.mat[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = k(r, c);
  param.dist_factor = {k(0, 2), k(1, 2), 0.0, 1.0};

  std::vector<cv::Point2d> ideal, frame;
  openCVPairs(*lens, ideal, frame);
  if (distortion != cv::Vec<double, 5>::all(0.0)) {
    const double halfDiagonal = std::hypot(size.width, size.height) / 2;
    const cv::Ptr<RecordFit> problem = cv::makePtr<RecordFit>(param, ideal, frame, halfDiagonal);
    const double k1 = distortion[0] / (k(0, 0) * k(1, 1));
    cv::Mat x = (cv::Mat_<double>(4, 1) << k(0, 2), k(1, 2), k1 * halfDiagonal * halfDiagonal, 1.0);
    cv::LMSolver::create(problem, 200, 1e-12)->run(x);
    const CameraParam fitted = problem->record(x.ptr<double>());
    if (CameraLens::FromCameraParam(fitted, error)) param = fitted;
  }
  const std::vector<cv::Point2d> got = distortByRecord(param, ideal);
  double sum = 0.0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const double d = cv::norm(got[i] - frame[i]);
    fit.maxResidual = std::max(fit.maxResidual, d);
    sum += d * d;
  }
  fit.rmsResidual = std::sqrt(sum / static_cast<double>(got.size()));
  return fit;
}

std::string CameraFilePathFor(const std::string& ymlPath) {
  for (const char* end : {".yml", ".yaml"})
    if (endsWith(ymlPath, end) && ymlPath.size() > std::strlen(end))
      return ymlPath.substr(0, ymlPath.size() - std::strlen(end)) + ".dat";
  return {};
}

bool WriteCalibrationFiles(const std::string& ymlPath, const CalibrationResult& result, const BoardLayout& board,
                           const CameraParamFit& fit, std::string& error) {
  const std::string datPath = CameraFilePathFor(ymlPath);
  if (datPath.empty()) {
    error = "The calibration file '" + ymlPath + "' must end in .yml or .yaml.";
    return false;
  }
  std::string yaml;
  try {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char time[32] = "";
    if (gmtime_r(&now, &utc)) std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    yaml = OpenCVCalibrationText(result, board, time);
  } catch (const cv::Exception& e) {
    error = "Cannot write '" + ymlPath + "': " + e.msg;
    return false;
  }
  const CameraParamBytes bytes = encodeCameraParam(fit.param);
  return WriteWholeFile(ymlPath, yaml.data(), yaml.size(), error) &&
         WriteWholeFile(datPath, bytes.data(), bytes.size(), error);
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size, std::string& error) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = "Cannot write '" + path + "': " + reason() + ".";
    return false;
  }
  const bool written = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
  const std::string why = reason();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = "Cannot write '" + path + "': " + (written ? reason() : why) + ".";
    return false;
  }
  return true;
}

}  // namespace quorl
