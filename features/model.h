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

// Empties the model for a new registration: the image, the keypoint lists, both maps and the index
// (without closing the ANN library), and zeroes currentQuad. frameToModel, lastValidQuad and missCount
// are left as they are.
void ResetModel(ModelRecord& model);

// Scale slot (0..3, the position in kModelScales) of model keypoint `index`, from the lengths of the
// 0.5, 0.7 and 1.0 lists; indices past them are scale 1.4.
int ModelScale(const ModelRecord& model, int32_t index);

// Registered-frame position of a keypoint found in the image of scale slot `slot`: each coordinate times
// the slot's back-mapping factor, truncated toward zero.
CornerPoint RegisteredFramePosition(CornerPoint keypoint, int slot);

}  // namespace quorl
