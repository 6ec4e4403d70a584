#pragma once
// Matching stages of the robust tracking mode: frame features with orientation, optical flow of model
// points, global and prediction-guided descriptor matching, and the pose-vote filter of global matches.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "features/robust_model.h"
#include "image/corners.h"
#include "image/quib_image.h"

namespace quorl {

// One model-to-frame correspondence at sub-pixel positions. `modelIndex` is the model point, or -1 for
// a followed point; `corner` is the frame corner, or -1.
struct PointMatch {
  cv::Point2f model;
  cv::Point2f frame;
  int32_t modelIndex = -1;
  int32_t corner = -1;
};

// Corners of a frame with their descriptors and Z_11 phases.
struct FrameFeatures {
  CornerList corners;
  std::vector<KeypointDescriptor> descriptors;
  std::vector<float> orientations;
};

// Detects FAST-`arc` corners at `barrier` and describes each.
void DescribeFrame(const GrayImage& gray, int arc, int barrier, FrameFeatures& out);

// Global matching: squared descriptor distance at most kRobustMatchDistance, and the second nearest
// model point at least kRobustMatchRatio times farther, unless it is the same target point found at
// another scale (within kSamePointPixels pixels of the coarser of the two scales).
inline constexpr double kRobustMatchDistance = 0.03;
inline constexpr double kRobustMatchRatio = 1.5;
inline constexpr double kSamePointPixels = 2.5;
std::vector<PointMatch> MatchGlobally(const RobustModel& model, const FrameFeatures& frame);

// Pose votes: each global match implies the target's centre (frame pixels), its rotation (the phase
// difference) and its scale (the model point's scale slot). Two votes agree when their slots differ by
// at most one, their rotations by at most kVoteAngle radians and their centres by at most kVoteCentre
// times the target radius at the first vote's scale. The vote with most agreeing votes wins; it and the
// matches agreeing with it are kept, if at least kMinVoteCluster.
inline constexpr double kVoteAngle = 0.5;
inline constexpr double kVoteCentre = 0.35;
inline constexpr std::size_t kMinVoteCluster = 6;
std::vector<PointMatch> FilterByPoseVote(const RobustModel& model, const FrameFeatures& frame,
                                         const std::vector<PointMatch>& matches);

// Prediction-guided matching: each corner is compared only with the model points that `modelToFrame`
// puts within `radius` frame pixels of it and whose scale slot is within one of the predicted scale;
// the nearest is taken under the global distance limit and, among those candidates, the ratio rule.
std::vector<PointMatch> MatchGuided(const RobustModel& model, const FrameFeatures& frame,
                                    const cv::Matx33d& modelToFrame, double radius);

// Optical flow: the model's track points, placed by `previous` (model to frame) in the previous frame
// and predicted by `predicted` in this one, are followed by pyramidal Lucas-Kanade from the previous
// pyramid into this one and back; a point counts when it returns within kFlowReturnError pixels.
// Pyramids come from cv::buildOpticalFlowPyramid with kFlowWindow and kFlowLevels.
inline constexpr int kFlowWindow = 15;
inline constexpr int kFlowLevels = 3;
inline constexpr float kFlowReturnError = 1.0f;
std::vector<PointMatch> FollowTrackPoints(const RobustModel& model, const std::vector<cv::Mat>& previousPyramid,
                                          const std::vector<cv::Mat>& pyramid, const cv::Matx33d& previous,
                                          const cv::Matx33d& predicted);

// Scale slot nearest to `scale` (by ratio).
int NearestScaleSlot(double scale);

// Projects model point `p` by `h`; false when it lands at or behind infinity.
bool Project(const cv::Matx33d& h, cv::Point2f p, cv::Point2f& out);

}  // namespace quorl
