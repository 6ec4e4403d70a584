#include "geometry/planar_pose.h"

#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>

namespace quorl {

std::optional<std::array<double, 16>> PlanarPose(const CornerSet& model, const std::array<cv::Point2d, 4>& ideal,
                                                 const cv::Matx33d& cameraMatrix) {
  std::vector<cv::Point3d> object;
  std::vector<cv::Point2d> image(ideal.begin(), ideal.end());
  for (const PlanePoint& p : model) object.emplace_back(p.x, p.y, 0.0);
  for (const cv::Point2d& p : image)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
  cv::Mat rvec, tvec;
  const cv::Mat k(cameraMatrix);
  try {
    if (!cv::solvePnP(object, image, k, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_IPPE)) return std::nullopt;
    cv::solvePnPRefineLM(object, image, k, cv::noArray(), rvec, tvec);
  } catch (const cv::Exception&) {
    return std::nullopt;  // degenerate corners (collinear, coincident)
  }
  cv::Matx33d r;
  cv::Rodrigues(rvec, r);
  const cv::Vec3d t(tvec);
  if (!(t[2] > 0.0)) return std::nullopt;
  std::array<double, 16> modelview{};
  for (int row = 0; row < 3; ++row) {
    for (int c = 0; c < 3; ++c) modelview[4 * row + c] = r(row, c);
    modelview[4 * row + 3] = t[row];
  }
  modelview[15] = 1.0;
  for (const double v : modelview)
    if (!std::isfinite(v)) return std::nullopt;
  return modelview;
}

}  // namespace quorl
