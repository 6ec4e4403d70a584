#include "tracker/robust_tracker.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "geometry/quad.h"
#include "geometry/robust_homography.h"

namespace quorl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNotDescribed = INT_MIN;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<cv::Mat> BuildPyramid(const GrayImage& gray) {
  std::vector<cv::Mat> pyramid;
  cv::buildOpticalFlowPyramid(GrayMatView(gray).clone(), pyramid, cv::Size(kFlowWindow, kFlowWindow), kFlowLevels,
                              false);
  return pyramid;
}

bool CornersOf(const RobustModel& model, const cv::Matx33d& h, std::array<cv::Point2d, 4>& out) {
  for (int i = 0; i < 4; ++i) {
    cv::Point2f p;
    if (!Project(h, model.quad[i], p)) return false;
    out[i] = p;
  }
  return true;
}

// The quad of `h` is convex, in click order and large enough to be shown.
bool PlausibleQuad(const std::array<cv::Point2d, 4>& corners) {
  Quad q;
  for (int i = 0; i < 4; ++i)
    if (!RoundCoordinate(corners[i].x, q.pt[i].x) || !RoundCoordinate(corners[i].y, q.pt[i].y)) return false;
  return isQuadValid(q, kRobustMinQuadSide);
}

// How an estimate is verified: the correlation it needs, and the homography the motion predicts (or
// none), with which an estimate that agrees needs only kPredictedCorrelation. While tracking, a partial
// view changes the last estimate affinely.
struct Verification {
  double correlation;
  const cv::Matx33d* prediction;
  bool tracking;
};

// Estimate, refine and verify from `matches`. `coarsest` is the first refinement level.
bool Solve(RobustTracker& t, const std::vector<PointMatch>& matches, const std::vector<cv::Mat>& pyramid,
           int coarsest, const Verification& rule, cv::Matx33d& result, std::array<cv::Point2d, 4>& corners) {
  RobustFrameStats& s = t.stats;
  auto start = Clock::now();
  RobustEstimate estimate;
  bool found = EstimateRobustHomography(matches, estimate);
  const bool partial = found && rule.tracking && InlierSpread(matches, estimate, t.model.quad) < kMinFullSpread;
  if (partial) found = EstimateAffineUpdate(matches, t.modelToFrame, estimate);
  s.estimateMs += MsSince(start);
  if (!found) return false;
  s.inliers = estimate.inliers;
  // A consensus of a minority is what a jump leaves among matches made for the old view.
  if (estimate.inliers < kMinInlierShare * static_cast<double>(matches.size())) return false;
  start = Clock::now();
  const RefinementResult refined = t.stages.refine
                                       ? RefineHomography(t.refinement, pyramid, estimate.modelToFrame, coarsest, 0,
                                                          partial)
                                       : MeasureAgreement(t.refinement, pyramid, estimate.modelToFrame, 1);
  s.refineMs += MsSince(start);
  s.correlation = refined.correlation;
  if (refined.coverage < kMinCoverage || refined.correlation < kPredictedCorrelation) return false;
  if (!CornersOf(t.model, refined.homography, corners) || !PlausibleQuad(corners)) return false;
  if (refined.correlation >= rule.correlation) {
    result = refined.homography;
    return true;
  }
  std::array<cv::Point2d, 4> expected;
  if (rule.prediction == nullptr || !CornersOf(t.model, *rule.prediction, expected)) return false;
  // Each frame since the last accepted one may have moved the target by the last motion again.
  const double reach = kPredictionAgreement + 2.0 * t.lastMotion * (t.lostFrames + 1);
  for (int i = 0; i < 4; ++i)
    if (cv::norm(corners[i] - expected[i]) > reach) return false;
  result = refined.homography;
  return true;
}

}  // namespace

void ResetRobust(RobustTracker& tracker) {
  const RobustStages stages = tracker.stages;
  tracker = RobustTracker{};
  tracker.stages = stages;
}

void RegisterRobust(RobustTracker& tracker, const GrayImage& gray, const std::array<cv::Point2f, 4>& clicks, int arc) {
  ResetRobust(tracker);
  const cv::Mat view = GrayMatView(gray);
  RegisterRobustModel(tracker.model, view, clicks, arc);
  tracker.refinement = BuildRefinementTemplate(tracker.model.image, clicks);
  tracker.previousPyramid = BuildPyramid(gray);
  tracker.acceptedRun = 1;
  for (int i = 0; i < 4; ++i) tracker.corners[i] = clicks[i];
}

bool TrackRobust(RobustTracker& t, const GrayImage& gray, int barrier, int& cornerCount) {
  t.stats = RobustFrameStats{};
  cornerCount = 0;
  if (!t.registered() || gray.empty()) return false;
  std::vector<cv::Mat> pyramid = BuildPyramid(gray);
  FrameFeatures features;
  int describedAt = kNotDescribed;
  auto describe = [&](int at) {
    if (describedAt == at) return;
    const auto start = Clock::now();
    DescribeFrame(gray, t.model.arc, at, features);
    t.stats.detectMs += MsSince(start);
    t.stats.corners = static_cast<int>(features.corners.size());
    // Only a count at the frame's own barrier steers that barrier.
    cornerCount = at == barrier ? t.stats.corners : 0;
    describedAt = at;
  };

  cv::Matx33d accepted;
  std::array<cv::Point2d, 4> corners;
  bool ok = false;
  if (t.acceptedRun > 0 && (t.stages.flow || t.stages.guided)) {
    // Constant motion from the last two estimates predicts this frame.
    const cv::Matx33d predicted =
        t.acceptedRun >= 2 ? cv::Matx33d(t.modelToFrame * t.earlierModelToFrame.inv() * t.modelToFrame) : t.modelToFrame;
    std::vector<PointMatch> matches;
    if (t.stages.flow) {
      const auto start = Clock::now();
      matches = FollowTrackPoints(t.model, t.previousPyramid, pyramid, t.modelToFrame, predicted);
      t.stats.flowMs += MsSince(start);
      t.stats.flowPoints = static_cast<int>(matches.size());
    }
    if (t.stages.guided) {
      describe(barrier);
      const auto start = Clock::now();
      const std::vector<PointMatch> guided = MatchGuided(t.model, features, predicted, kGuidedRadius + t.lastMotion);
      matches.insert(matches.end(), guided.begin(), guided.end());
      t.stats.matchMs += MsSince(start);
      t.stats.matches = static_cast<int>(guided.size());
    }
    ok = Solve(t, matches, pyramid, 1, Verification{kAcceptCorrelation, &predicted, true}, accepted, corners);
  }
  if (!ok && (t.acceptedRun > 0 || t.lostFrames % kLostSearchPeriod == 0)) {
    // The barrier chosen at registration suits the target; a busy background may have raised the frame's.
    describe(std::min(barrier, t.model.barrier));
    t.stats.global = true;
    const auto start = Clock::now();
    std::vector<PointMatch> matches = MatchGlobally(t.model, features);
    if (t.stages.vote) matches = FilterByPoseVote(t.model, features, matches);
    t.stats.matchMs += MsSince(start);
    t.stats.matches = static_cast<int>(matches.size());
    // Shortly after losing it, a find where the target was counts as agreeing with the motion.
    const Verification rule{kFoundCorrelation, t.lostFrames < kMaxHeldFrames ? &t.modelToFrame : nullptr, false};
    ok = Solve(t, matches, pyramid, kTemplateLevels - 1, rule, accepted, corners);
  }

  if (ok) {
    double motion = 0.0;
    for (int i = 0; i < 4; ++i) motion = std::max(motion, cv::norm(corners[i] - t.corners[i]));
    t.lastMotion = t.acceptedRun > 0 ? std::min(motion, 50.0) : 0.0;
    t.earlierModelToFrame = t.acceptedRun > 0 ? t.modelToFrame : accepted;
    t.modelToFrame = accepted;
    t.corners = corners;
    ++t.acceptedRun;
    t.lostFrames = 0;
  } else {
    t.acceptedRun = 0;
    ++t.lostFrames;
  }
  t.previousPyramid = std::move(pyramid);
  return ok;
}

}  // namespace quorl
