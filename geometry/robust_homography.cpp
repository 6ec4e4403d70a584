#include "geometry/robust_homography.h"

#include <algorithm>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "features/robust_matching.h"

namespace quorl {

bool EstimateRobustHomography(const std::vector<PointMatch>& matches, const RobustParams& params, RobustEstimate& out) {
  if (matches.size() < static_cast<std::size_t>(params.minInliers)) return false;
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
    h = cv::findHomography(model, frame, cv::USAC_MAGSAC, params.estimatorThreshold, mask, params.estimatorIterations,
                           params.estimatorConfidence);
  } catch (const cv::Exception&) {
    return false;  // degenerate input the estimator refuses
  }
  if (h.empty()) return false;
  const int inliers = static_cast<int>(std::count(mask.begin(), mask.end(), uint8_t{1}));
  if (inliers < params.minInliers) return false;
  out.modelToFrame = cv::Matx33d(h);
  out.inlier = std::move(mask);
  out.inliers = inliers;
  return true;
}

bool EstimateAffineUpdate(const std::vector<PointMatch>& matches, const cv::Matx33d& previous,
                          const RobustParams& params, RobustEstimate& out) {
  if (matches.size() < static_cast<std::size_t>(params.minInliers)) return false;
  std::vector<cv::Point2f> before, after;
  for (const PointMatch& m : matches) {
    cv::Point2f p;
    if (!Project(previous, m.model, p)) return false;
    before.push_back(p);
    after.push_back(m.frame);
  }
  std::vector<uint8_t> mask;
  const cv::Mat a =
      cv::estimateAffine2D(before, after, mask, cv::RANSAC, params.estimatorThreshold,
                           static_cast<std::size_t>(params.estimatorIterations), params.estimatorConfidence);
  if (a.empty()) return false;
  const int inliers = static_cast<int>(std::count(mask.begin(), mask.end(), uint8_t{1}));
  if (inliers < params.minInliers) return false;
  const cv::Matx33d change(a.at<double>(0, 0), a.at<double>(0, 1), a.at<double>(0, 2), a.at<double>(1, 0),
                           a.at<double>(1, 1), a.at<double>(1, 2), 0.0, 0.0, 1.0);
  out.modelToFrame = change * previous;
  out.inlier = std::move(mask);
  out.inliers = inliers;
  return true;
}

double InlierSpread(const std::vector<PointMatch>& matches, const RobustEstimate& estimate,
                    const std::array<cv::Point2f, 4>& quad) {
  const double quadArea = cv::contourArea(std::vector<cv::Point2f>(quad.begin(), quad.end()));
  if (!(quadArea > 0.0)) return 0.0;
  std::vector<cv::Point2f> points, hull;
  for (std::size_t i = 0; i < matches.size() && i < estimate.inlier.size(); ++i)
    if (estimate.inlier[i]) points.push_back(matches[i].model);
  if (points.size() < 3) return 0.0;
  cv::convexHull(points, hull);
  return cv::contourArea(hull) / quadArea;
}

}  // namespace quorl
