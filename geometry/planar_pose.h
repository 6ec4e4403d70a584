#pragma once
// Camera pose of a planar target from its corners seen through a calibrated camera: OpenCV's IPPE solution
// of the planar perspective-n-point problem, refined by Levenberg-Marquardt on the reprojection error.

#include <array>
#include <optional>

#include <opencv2/core.hpp>

#include "geometry/pose.h"

namespace quorl {

// `model`: the target's corners in its own plane (z = 0, model units); `ideal`: where they are seen, in ideal
// (undistorted) pixels of a camera with `cameraMatrix`. Returns the modelview as PoseEstimate::modelview holds it
// (row-major, model to camera, x right, y down, z forwards, translation in model units) with an orthonormal
// rotation; nothing when no pose puts the target in front of the camera or a value is not finite.
std::optional<std::array<double, 16>> PlanarPose(const CornerSet& model, const std::array<cv::Point2d, 4>& ideal,
                                                 const cv::Matx33d& cameraMatrix);

}  // namespace quorl
