#pragma once
// Import of an OpenCV camera calibration (YAML or XML written by cv::FileStorage) into a camera record.

#include <optional>
#include <string>
#include <vector>

#include "camera/camera_param.h"

namespace quorl {

// Recognised keys, first match wins:
//   camera matrix: camera_matrix, cameraMatrix, M1 (first camera of a stereo calibration); 3 x 3, finite,
//     bottom row (0, 0, k) with k != 0 (the matrix is divided by k), fx > 0, fy > 0;
//   distortion: distortion_coefficients, dist_coeffs, distCoeffs, D1; 4, 5, 8, 12 or 14 coefficients
//     (k1, k2, p1, p2[, k3, ...]), optional;
//   image size: image_width + image_height, or imageSize / image_size as [width, height]; optional.
struct ImportedCalibration {
  // mat = (K | 0); dist_factor = (cx, cy, k1 / (fx fy), 1), the radial term re-expressed per squared pixel;
  // xsize, ysize = the image size, or 0 when the file has none.
  CameraParam param;
  bool hasImageSize = false;
  // The distortion coefficients as the file gives them, in OpenCV's order (k1, k2, p1, p2[, k3, ...]);
  // empty when it gives none.
  std::vector<double> coefficients;
  // Readable notes on what the record cannot carry (further distortion terms that are not zero).
  std::vector<std::string> notes;
};

// Parses the file at `path` (gzip-compressed or not, at most 1 MiB of text). On failure returns nothing and
// sets `error` to a readable reason.
std::optional<ImportedCalibration> importOpenCVCalibration(const std::string& path, std::string& error);

// Same for the file's whole text held in memory (format recognised from its first line). A text holding
// NUL bytes, or an XML text that ends inside a tag, is refused. OpenCV parses the text in a child
// process (fork), so a text that crashes its parser, or keeps it busy for over 2 s, is refused too.
std::optional<ImportedCalibration> importOpenCVCalibrationText(const std::string& text, std::string& error);

}  // namespace quorl
