#pragma once
// The robust tracking mode: model points followed by optical flow and matched under the motion's
// prediction, a robust homography on sub-pixel positions refined against the registered template and
// verified by its correlation, and a global search with pose votes that finds a lost target again.

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "features/robust_matching.h"
#include "features/robust_model.h"
#include "geometry/template_refinement.h"
#include "image/quib_image.h"

namespace quorl {

// A frame's estimate is accepted when the refined template correlates with the frame at least this
// well over at least kMinCoverage of its samples, and the quad stays convex with sides of at least
// kRobustMinQuadSide pixels (smaller than the default mode's limit, for far and steeply tilted views).
// While tracking, an estimate whose corners lie within kPredictionAgreement pixels (plus twice the last
// frame's motion) of the motion's prediction needs only kPredictedCorrelation: partial occlusion.
inline constexpr double kAcceptCorrelation = 0.55;
// A target found by the global search needs this correlation, unless it was lost for fewer than
// kMaxHeldFrames frames and is found where it was (then the rules above apply).
inline constexpr double kFoundCorrelation = 0.75;
inline constexpr double kPredictedCorrelation = 0.3;
inline constexpr double kPredictionAgreement = 8.0;
inline constexpr double kMinCoverage = 0.25;
// The estimator's inliers must also be at least this share of the matches it was given.
inline constexpr double kMinInlierShare = 0.5;
inline constexpr float kRobustMinQuadSide = 12.0f;
// An estimate whose inliers span less than this share of the target's area, made while tracking, is
// redone as an affine change of the last estimate and refined without perspective parameters: a partly
// hidden or partly visible target does not fix its perspective.
inline constexpr double kMinFullSpread = 0.3;
// Guided matching looks this far around each prediction, plus the last frame's corner motion.
inline constexpr double kGuidedRadius = 6.0;
// While the target is lost the global search runs on every kLostSearchPeriod-th frame.
inline constexpr int kLostSearchPeriod = 1;

// Stages that can be switched off, to measure what each contributes. All on by default.
struct RobustStages {
  bool flow = true;     // optical flow of the track points
  bool guided = true;   // prediction-guided descriptor matching
  bool vote = true;     // pose votes before the estimator in the global search
  bool refine = true;   // template refinement (off: the estimate is only verified)
};

// What the last frame did, for displays, logs and benchmarks.
struct RobustFrameStats {
  int corners = 0;      // frame corners described (0 when no stage needed them)
  int matches = 0;      // descriptor matches (guided or global) handed to the estimator
  int flowPoints = 0;   // track points followed
  int inliers = 0;
  bool global = false;  // the global search ran
  double correlation = -1.0;
  double flowMs = 0, detectMs = 0, matchMs = 0, estimateMs = 0, refineMs = 0;
};

// Ownership: everything is owned; the tracker is reset by RegisterRobust. Frames of one tracker are
// processed one at a time; separate trackers share nothing.
struct RobustTracker {
  RobustModel model;
  RefinementTemplate refinement;
  RobustStages stages;
  std::vector<cv::Mat> previousPyramid;   // of the last frame processed
  cv::Matx33d modelToFrame = cv::Matx33d::eye();          // last accepted estimate
  cv::Matx33d earlierModelToFrame = cv::Matx33d::eye();   // the one accepted before it
  int acceptedRun = 0;   // consecutive accepted frames up to the last one (1 right after registration)
  int lostFrames = 0;    // frames since the last accepted one
  double lastMotion = 0.0;  // largest corner motion between the last two accepted frames, pixels
  std::array<cv::Point2d, 4> corners{};   // of the last accepted estimate
  RobustFrameStats stats;

  bool registered() const { return !model.image.empty(); }
};

// Forgets the model and the motion; the stage switches stay.
void ResetRobust(RobustTracker& tracker);

// Registers the target of `gray` inside `clicks` (integer frame pixels, click order) with FAST-`arc`
// corners: builds the model and the refinement template and starts tracking from the identity.
void RegisterRobust(RobustTracker& tracker, const GrayImage& gray, const std::array<cv::Point2f, 4>& clicks, int arc);

// Tracks one frame, detecting corners (when a stage needs them) at `barrier`. Returns true when an
// estimate was accepted; then `modelToFrame` and `corners` hold it. `corners` counts the frame corners.
bool TrackRobust(RobustTracker& tracker, const GrayImage& gray, int barrier, int& cornerCount);

}  // namespace quorl
