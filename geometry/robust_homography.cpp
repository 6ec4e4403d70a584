#include "geometry/robust_homography.h"

#include <algorithm>

#include <opencv2/calib3d.hpp>

namespace quorl {

bool EstimateRobustHomography(const std::vector<PointMatch>& matches, RobustEstimate& out) {
  if (matches.size() < static_cast<std::size_t>(kRobustMinInliers)) return false;
  std::vector<cv::Point2f> model, frame;
  model.reserve(matches.size());
  frame.reserve(matches.size());
  for (const PointMatch& m : matches) {
    model.push_back(m.model);
    frame.push_back(m.frame);
  }
  std::vector<uint8_t> mask;
  cv::Mat h;
  try {
    h = cv::findHomography(model, frame, cv::USAC_MAGSAC, kRobustThreshold, mask, kRobustMaxIterations,
                           kRobustConfidence);
  } catch (const cv::Exception&) {
    return false;  // degenerate input the estimator refuses
  }
  if (h.empty()) return false;
  const int inliers = static_cast<int>(std::count(mask.begin(), mask.end(), uint8_t{1}));
  if (inliers < kRobustMinInliers) return false;
  out.modelToFrame = cv::Matx33d(h);
  out.inlier = std::move(mask);
  out.inliers = inliers;
  return true;
}

}  // namespace quorl
