#pragma once
// Matching stages of the robust tracking mode: frame features with orientation, optical flow of model
// points, global and prediction-guided descriptor matching, and the pose-vote filter of global matches.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/lens.h"
#include "features/robust_model.h"
#include "features/robust_params.h"
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

// Corners of a frame with their descriptors and Z_11 phases. Matches take their frame positions from
// `positions`: the corners in ideal pixels when the frame is seen through a lens, else the corners.
struct FrameFeatures {
  CornerList corners;
  std::vector<cv::Point2f> positions;
  std::vector<KeypointDescriptor> descriptors;
  std::vector<float> orientations;
};

// Detects FAST-`arc` corners at `barrier` and describes each; `lens` (when given, for the frame's size)
// undistorts their positions.
void DescribeFrame(const GrayImage& gray, int arc, int barrier, FrameFeatures& out, const FrameLens* lens = nullptr);

// Global matching: squared descriptor distance at most params.matchDistance, and the second nearest model point at
// least params.matchRatio times farther, unless it is the same target point found at another scale (within
// params.samePointPixels pixels of the coarser of the two scales).
std::vector<PointMatch> MatchGlobally(const RobustModel& model, const FrameFeatures& frame, const RobustParams& params);

// One search structure over the points of several models: a global match finds the nearest point among all
// of them; the ratio rule compares it with the second nearest when that is of the same model (unless it
// is the same target point at another scale). A second nearest of another model does not refuse it:
// measured on the picture scenes, that refused a third of the true matches of ten pictures.
// The very same descriptor in several models (lookalike pictures sharing a photo) is one tree point, whose match counts
// for each of them: as several points it would tie and match none.
struct TargetIndex {
  // The straight points of every model, and apart the tilted views' (as each model's own trees).
  struct Part {
    ExactKdTree tree;
    // Tree point k stands for owners[begin[k]] .. owners[begin[k + 1] - 1], each a (model, point); the first decides
    // the ratio rule.
    std::vector<std::pair<int32_t, int32_t>> owners;
    std::vector<int32_t> begin;
    void Build(const std::vector<const RobustModel*>& models, bool tiltedViews);
  };
  Part straight, tilted;
  // Over `models` (which must outlive the index unchanged), in that order.
  void Build(const std::vector<const RobustModel*>& models);
};

// Global matching of `frame` against every model of `index`: the matches of models[m] in element m.
std::vector<std::vector<PointMatch>> MatchAllGlobally(const std::vector<const RobustModel*>& models,
                                                      const TargetIndex& index, const FrameFeatures& frame,
                                                      const RobustParams& params);

// Pose votes: each global match implies the target's centre (frame pixels), its rotation (the phase difference) and its
// scale (the model point's scale slot). Two votes agree when their slots differ by at most one, their rotations by at
// most params.voteAngle radians and their centres by at most params.voteCentre times the target radius at the first
// vote's scale. The vote with most agreeing votes wins; it and the matches agreeing with it are kept, if at least
// params.minVoteCluster.
std::vector<PointMatch> FilterByPoseVote(const RobustModel& model, const FrameFeatures& frame,
                                         const std::vector<PointMatch>& matches, const RobustParams& params);

// Prediction-guided matching: each corner is compared only with the model points that `modelToFrame`
// puts within `radius` frame pixels of it and whose scale slot is within one of the predicted scale;
// the nearest is taken under the global distance limit and, among those candidates, the ratio rule.
std::vector<PointMatch> MatchGuided(const RobustModel& model, const FrameFeatures& frame,
                                    const cv::Matx33d& modelToFrame, double radius, const RobustParams& params);

// Optical flow: the model's track points, placed by `previous` (model to frame) in the previous frame and predicted by
// `predicted` in this one, are followed by pyramidal Lucas-Kanade from the previous pyramid into this one and back; a
// point counts when it returns within params.flowReturnError pixels. Pyramids come from BuildFlowPyramid; pyramids of
// different sizes give no matches. With a `lens` the homographies map to ideal pixels: the points are followed in
// frame pixels and the matches hold their ideal positions.
std::vector<PointMatch> FollowTrackPoints(const RobustModel& model, const std::vector<cv::Mat>& previousPyramid,
                                          const std::vector<cv::Mat>& pyramid, const cv::Matx33d& previous,
                                          const cv::Matx33d& predicted, const RobustParams& params,
                                          const FrameLens* lens = nullptr);

// The optical-flow pyramid of `gray` (CV_8UC1, copied) with params.flowWindow and params.flowLevels.
std::vector<cv::Mat> BuildFlowPyramid(const cv::Mat& gray, const RobustParams& params);

// Projects model point `p` by `h`; false when it lands at or behind infinity.
bool Project(const cv::Matx33d& h, cv::Point2f p, cv::Point2f& out);

}  // namespace quorl
