#pragma once
// The keypoint model of the registered target and the per-frame tracking data kept with it.

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "features/correspondence.h"
#include "features/descriptor.h"
#include "features/keypoint_index.h"
#include "image/corners.h"
#include "image/quib_image.h"

namespace quorl {

// Four corners in click order (clockwise on screen), frame pixel coordinates.
struct Quad {
  std::array<CornerPoint, 4> pt{};
  bool operator==(const Quad&) const = default;
};

// Model scales in the order their keypoints are stored, and the factors mapping a keypoint found at each
// scale back to registered-frame pixels (the double reciprocals of the scales).
inline constexpr std::array<double, 4> kModelScales = {0.5, 0.7, 1.0, 1.4};
inline constexpr std::array<double, 4> kModelBackFactors = {2.0, 1.4285714285714286, 1.0, 0.7142857142857143};

// Ownership: the record owns every member. Constructed empty (no tree), frameToModel the identity,
// quads zero, missCount 0. Reset by ResetModel before each registration.
struct ModelRecord {
  GrayImage modelImage;
  CornerList modelKeypoints;                // the 0.5 list, then 0.7, 1.0, 1.4
  std::array<CornerList, 4> scaleKeypoints;  // per scale, in that scale's image coordinates
  CornerList frameCorners;                   // corners of the current frame
  KeypointIndex keypointIndex;
  CorrespMap matchMap;                       // accepted matches of the current frame
  CorrespMap inlierMap;                      // best consensus set of the current frame
  cv::Mat frameToModel = cv::Mat::eye(3, 3, CV_32FC1);  // current frame -> registered frame
  Quad currentQuad;
  Quad lastValidQuad;
  int32_t missCount = 0;

  bool isRegistered() const { return keypointIndex.tree != nullptr; }
};

}  // namespace quorl
