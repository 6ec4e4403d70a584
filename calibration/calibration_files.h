#pragma once
// What a calibration writes: OpenCV's calibration YAML and, beside it, the 136-byte camera file whose
// distortion values are fitted to the OpenCV model.

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "calibration/board.h"
#include "calibration/session.h"
#include "camera/camera_param.h"

namespace quorl {

// The YAML text in the layout of OpenCV's calibration sample (cv::FileStorage): calibration_time,
// nframes, image_width, image_height, board_width, board_height (inner corners), square_size (metres),
// board (BoardLayoutText), flags (0), camera_matrix (3 x 3), distortion_coefficients (5 x 1: k1 k2 p1 p2 k3),
// avg_reprojection_error, per_view_reprojection_errors (N x 1). The time is left out when `time` is empty.
std::string OpenCVCalibrationText(const CalibrationResult& result, const BoardLayout& board, const std::string& time);

// The camera record nearest to an OpenCV calibration of `size` frames: mat = (K | 0), the size, and
// dist_factor fitted by Levenberg-Marquardt (from the centre at the principal point, k = k1 / (fx fy),
// scale 1) so that the record's model (CameraLens::kCameraFile) puts each ideal pixel where the OpenCV
// model does, over a grid of kFitGrid x kFitGrid frame pixels spanning the frame. Exactly no distortion
// gives (cx, cy, 0, 1). The residuals are the distances in frame pixels between the two models over that
// grid. Nothing, with `error`, for a camera matrix or size CameraLens refuses.
inline constexpr int kFitGrid = 25;
struct CameraParamFit {
  CameraParam param;
  double maxResidual = 0.0;
  double rmsResidual = 0.0;
};
std::optional<CameraParamFit> FitCameraParam(const cv::Matx33d& cameraMatrix, const cv::Vec<double, 5>& distortion,
                                             cv::Size size, std::string& error);

// `ymlPath` with its .yml / .yaml ending replaced by .dat; empty when it has neither ending.
std::string CameraFilePathFor(const std::string& ymlPath);

// Writes the YAML to `ymlPath` (ending in .yml or .yaml) and the fitted camera file beside it
// (CameraFilePathFor), the YAML's calibration_time the current UTC time. Both texts are made before either file is opened; each write and close is checked.
// False with `error` naming the file and the reason.
bool WriteCalibrationFiles(const std::string& ymlPath, const CalibrationResult& result, const BoardLayout& board,
                           const CameraParamFit& fit, std::string& error);

// Writes `size` bytes to `path` (created or truncated), each write and the close checked. False with
// `error` ("Cannot write 'PATH': REASON.") otherwise.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size, std::string& error);

}  // namespace quorl
