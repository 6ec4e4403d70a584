#pragma once
// The robust tracking mode: model points followed by optical flow and matched under the motion's
// prediction, a robust homography on sub-pixel positions refined against the registered template and
// verified by its correlation, and a global search with pose votes that finds a lost target again.

#include <array>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "features/robust_matching.h"
#include "features/robust_model.h"
#include "features/robust_params.h"
#include "geometry/quad.h"
#include "geometry/template_refinement.h"
#include "image/quib_image.h"

namespace quorl {

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
  // Correspondences handed to the estimator by the attempt that decided the frame (followed points and
  // guided matches, or the global search's matches), and of those the ones that agree with the accepted
  // estimate (0 when none was accepted).
  int matches = 0;
  int inliers = 0;
  int flowPoints = 0;   // track points followed into this frame (part of `matches` when tracking)
  bool global = false;  // the global search ran
  double correlation = -1.0;  // of the deciding attempt's refined estimate (-1: none was refined)
  double flowMs = 0, detectMs = 0, matchMs = 0, estimateMs = 0, refineMs = 0;
};

// Ownership: everything is owned; the tracker is reset by RegisterRobust. Frames of one tracker are
// processed one at a time; separate trackers share nothing.
// A refinement template of the registered image resized by `scale`, for views of about that scale (a
// template much finer than the frame's view of it would not correlate). `ratio` is the resized image's size over the
// registered one's on each axis (the sizes are rounded); resizing keeps the pixel areas, so a registered point p lies
// at (p + 0.5) ratio - 0.5 in the template's pixels (ModelToScaled).
struct ScaledTemplate {
  double scale = 1.0;
  cv::Point2d ratio{1.0, 1.0};
  RefinementTemplate tmpl;
  cv::Matx33d ModelToScaled() const {
    return {ratio.x, 0.0, 0.5 * ratio.x - 0.5, 0.0, ratio.y, 0.5 * ratio.y - 0.5, 0.0, 0.0, 1.0};
  }
};

struct RobustTracker {
  RobustParams params;
  RobustModel model;
  std::vector<ScaledTemplate> refinements;  // ascending scales, the last at 1
  // Refinement uses the template nearest (by ratio) to the scale the view shows, or always the last: a clicked target
  // is refined on its registered template, the coarser ones only verify finds (with the nearest, its mean corner error
  // on the orbit, tilt, recede and clutter profiles was 0.14-0.24 px instead of 0.05-0.13; with the nearest from half
  // its size down, recede and clutter still lost half their precision).
  bool finestTemplate = false;
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

// Forgets the model and the motion; the parameters and stage switches stay.
void ResetRobust(RobustTracker& tracker);

// Forgets the motion and the last frame (as after a change of frame size), keeping the model: the next frame is
// searched globally, with no prediction from earlier frames.
void RestartRobustMotion(RobustTracker& tracker);

// Registers the target of `gray` inside `clicks` (integer frame pixels, click order) with FAST-`arc` corners: builds
// the model and the refinement templates (at 1 and halving scales, as a picture's) and starts tracking from the
// identity. Through a `lens` (for the frame's size) the model is built on the frame's ideal picture, so that the
// model and its estimates are in ideal pixels. The clicks are first moved onto the target's edges where its sides
// show them (SnapCornersToEdges), so that the registered target is the one whose corners were clicked, not the
// whole pixels nearest them.
void RegisterRobust(RobustTracker& tracker, const GrayImage& gray, const std::array<cv::Point2f, 4>& clicks, int arc,
                    const FrameLens* lens = nullptr);

// One frame as the robust targets see it: its flow pyramid, and its corners described at most once per
// barrier. Shared by every target tracked in the frame; then handed on as their previous pyramid. Through a
// `lens` (for the frame's size; it must outlive the frame) every estimate maps to ideal pixels.
class RobustFrame {
 public:
  RobustFrame(const GrayImage& gray, const RobustParams& params, const FrameLens* lens = nullptr);
  // The frame's FAST-`arc` corners at `barrier` with their descriptors, described on first use (the last
  // variant and barrier asked for are kept).
  const FrameFeatures& Features(int arc, int barrier);
  int describedAt() const { return describedAt_; }
  int describedArc() const { return describedArc_; }
  const GrayImage& gray() const { return gray_; }
  const FrameLens* lens() const { return lens_; }
  std::vector<cv::Mat> pyramid;
  double describeMs = 0.0;  // time spent describing

 private:
  const GrayImage& gray_;
  const FrameLens* lens_;
  FrameFeatures features_;
  int describedAt_;
  int describedArc_ = 0;
};

// Takes `model` already built (RegisterRobustModel) with refinement templates of its image at
// `templateScales`, the motion reset. With the registration `frame` the target is tracked from the
// identity there; without one it is searched for globally.
void AdoptRobustModel(RobustTracker& tracker, RobustModel model, std::span<const double> templateScales,
                      const GrayImage* frame);

// The per-target steps of a frame, in this order. FollowTarget: the tracking attempt (followed points
// and guided matches at `barrier`), for a target accepted in the last frame. FindTarget: the global attempt
// with `matches` made by a global search (pose-vote filtered when that stage is on): those of straight points, then,
// if they fail and there are any, with those of tilted views too (then with params.tiltedFindCoverage of the picture in
// view); a find short of the bar is verified against up to two coarser templates as well. FinishTargetFrame:
// the motion update; returns `ok`.
bool FollowTarget(RobustTracker& t, RobustFrame& frame, int barrier, cv::Matx33d& accepted,
                  std::array<cv::Point2d, 4>& corners);
bool FindTarget(RobustTracker& t, RobustFrame& frame, const FrameFeatures& features, std::vector<PointMatch> matches,
                cv::Matx33d& accepted, std::array<cv::Point2d, 4>& corners);
// A find `accepted` by FindTarget refined once more from template level 1, as the next frame's follow would refine
// it (a find may hold its corners a pixel or two off; its follow, hundredths); `accepted` itself when that fails.
cv::Matx33d PolishFind(const RobustTracker& t, const RobustFrame& frame, const cv::Matx33d& accepted);
bool FinishTargetFrame(RobustTracker& t, const RobustFrame& frame, bool ok, const cv::Matx33d& accepted,
                       const std::array<cv::Point2d, 4>& corners);

// Tracks one frame, detecting corners (when a stage needs them) at `barrier`. Returns true when an estimate was
// accepted; then `modelToFrame` and `corners` hold it. `cornerCount` is the number of frame corners found at `barrier`
// (0 when none were looked for there).
//
// While tracking, followed points and guided matches go through one estimate-and-verify attempt; when that fails (or
// the target was lost) the global search, with pose votes, makes another. An attempt is accepted when, in this order:
// the estimator finds a consensus (a partial view while tracking: an affine change of the last estimate); it holds
// params.minInlierShare of the matches; the refined template covers params.minCoverage of its samples and gives a
// plausible quad; its correlation reaches the attempt's level (acceptCorrelation tracking, foundCorrelation searching),
// or predictedCorrelation with corners within reach of the motion's prediction (a find where a just-lost target was
// counts too).
bool TrackRobust(RobustTracker& tracker, const GrayImage& gray, int barrier, int& cornerCount,
                 const FrameLens* lens = nullptr);

// The corners of the last accepted estimate in frame pixels: carried through `lens` when the estimates are in ideal
// pixels.
std::array<cv::Point2d, 4> FrameCornersOf(const RobustTracker& tracker, const FrameLens* lens);

// The Tracking / Holding / Lost step (AdvanceQuad, params.minQuadSide) after a frame: the accepted estimate's
// corners (FrameCornersOf) rounded as the candidate, none when `accepted` is false.
QuadState AdvanceRobustQuad(const RobustTracker& tracker, bool accepted, const FrameLens* lens, Quad& currentQuad,
                            Quad& lastValidQuad, int32_t& missCount);

}  // namespace quorl
