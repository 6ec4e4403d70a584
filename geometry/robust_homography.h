#pragma once
// Homography of the robust tracking mode: MAGSAC++ (OpenCV's USAC) over sub-pixel correspondences.

#include <vector>

#include <opencv2/core.hpp>

#include "features/robust_matching.h"
#include "features/robust_params.h"

namespace quorl {

struct RobustEstimate {
  cv::Matx33d modelToFrame = cv::Matx33d::eye();
  std::vector<uint8_t> inlier;  // per match
  int inliers = 0;
};

// Fits the model-to-frame homography of `matches` with the estimator settings of `params`; false (estimate untouched)
// with fewer than params.minInliers inliers or no solution. The estimator's random state is fixed per call, so the same
// matches give the same result on any thread.
bool EstimateRobustHomography(const std::vector<PointMatch>& matches, const RobustParams& params, RobustEstimate& out);

// The same from a partial view: an affine change of the frame after `previous` (model to frame), found by RANSAC with
// the same settings, so that the view's perspective stays that of `previous`.
bool EstimateAffineUpdate(const std::vector<PointMatch>& matches, const cv::Matx33d& previous,
                          const RobustParams& params, RobustEstimate& out);

// Area of the convex hull of the inliers' model positions over the area of `quad` (model pixels); 0 for
// an empty or degenerate quad.
double InlierSpread(const std::vector<PointMatch>& matches, const RobustEstimate& estimate,
                    const std::array<cv::Point2f, 4>& quad);

}  // namespace quorl
