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

bool CornersOf(const RobustModel& model, const cv::Matx33d& h, std::array<cv::Point2d, 4>& out) {
  for (int i = 0; i < 4; ++i) {
    cv::Point2f p;
    if (!Project(h, model.quad[i], p)) return false;
    out[i] = p;
  }
  return true;
}

// The quad is convex, in click order and large enough to be shown.
bool PlausibleQuad(const std::array<cv::Point2d, 4>& corners, float minSide) {
  Quad q;
  for (int i = 0; i < 4; ++i)
    if (!RoundCoordinate(corners[i].x, q.pt[i].x) || !RoundCoordinate(corners[i].y, q.pt[i].y)) return false;
  return isQuadValid(q, minSide);
}

// What an attempt's estimate must reach: `correlation`, or predictedCorrelation with corners within `reach` of those of
// `prediction` (when there is one). `tracking`: a partial view may change the last estimate affinely.
struct Verification {
  double correlation;
  const cv::Matx33d* prediction;
  double reach;
  bool tracking;
};

// One attempt from `matches`, refined from template level `coarsest`; the rules in the order of the header's
// description. On success `result` and `corners` hold the estimate.
bool EstimateAndVerify(RobustTracker& t, const std::vector<PointMatch>& matches, const std::vector<cv::Mat>& pyramid,
                       int coarsest, const Verification& rule, cv::Matx33d& result,
                       std::array<cv::Point2d, 4>& corners) {
  const RobustParams& p = t.params;
  RobustFrameStats& s = t.stats;
  s.matches = static_cast<int>(matches.size());
  s.inliers = 0;
  s.correlation = -1.0;

  auto start = Clock::now();
  RobustEstimate estimate;
  bool found = EstimateRobustHomography(matches, p, estimate);
  const bool partial = found && rule.tracking && InlierSpread(matches, estimate, t.model.quad) < p.minFullSpread;
  if (partial) found = EstimateAffineUpdate(matches, t.modelToFrame, p, estimate);
  s.estimateMs += MsSince(start);
  if (!found) return false;
  if (estimate.inliers < p.minInlierShare * static_cast<double>(matches.size())) return false;

  start = Clock::now();
  const RefinementResult refined =
      t.stages.refine ? RefineHomography(t.refinement, pyramid, estimate.modelToFrame, coarsest, 0, p, partial)
                      : MeasureAgreement(t.refinement, pyramid, estimate.modelToFrame, 1);
  s.refineMs += MsSince(start);
  s.correlation = refined.correlation;
  if (refined.coverage < p.minCoverage) return false;
  if (!CornersOf(t.model, refined.homography, corners) || !PlausibleQuad(corners, p.minQuadSide)) return false;

  bool agrees = refined.correlation >= rule.correlation;
  std::array<cv::Point2d, 4> expected;
  if (!agrees && refined.correlation >= p.predictedCorrelation && rule.prediction != nullptr &&
      CornersOf(t.model, *rule.prediction, expected)) {
    agrees = true;
    for (int i = 0; i < 4; ++i) agrees = agrees && cv::norm(corners[i] - expected[i]) <= rule.reach;
  }
  if (!agrees) return false;
  result = refined.homography;
  s.inliers = estimate.inliers;
  return true;
}

}  // namespace

void ResetRobust(RobustTracker& tracker) {
  const RobustParams params = tracker.params;
  const RobustStages stages = tracker.stages;
  tracker = RobustTracker{};
  tracker.params = params;
  tracker.stages = stages;
}

void RestartRobustMotion(RobustTracker& tracker) {
  tracker.previousPyramid.clear();
  tracker.acceptedRun = 0;
  tracker.lastMotion = 0.0;
  // Too long ago for a find where the target was to count as agreeing with the motion.
  tracker.lostFrames = kMaxHeldFrames;
}

void RegisterRobust(RobustTracker& tracker, const GrayImage& gray, const std::array<cv::Point2f, 4>& clicks, int arc) {
  ResetRobust(tracker);
  const cv::Mat view = GrayMatView(gray);
  RegisterRobustModel(tracker.model, view, clicks, arc, tracker.params);
  tracker.refinement = BuildRefinementTemplate(tracker.model.image, clicks, tracker.params);
  tracker.previousPyramid = BuildFlowPyramid(view, tracker.params);
  tracker.acceptedRun = 1;
  for (int i = 0; i < 4; ++i) tracker.corners[i] = clicks[i];
}

bool TrackRobust(RobustTracker& t, const GrayImage& gray, int barrier, int& cornerCount) {
  const RobustParams& p = t.params;
  t.stats = RobustFrameStats{};
  cornerCount = 0;
  if (!t.registered() || gray.empty()) return false;
  std::vector<cv::Mat> pyramid = BuildFlowPyramid(GrayMatView(gray), p);
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
  // Each frame since the last accepted one may have moved the target by the last motion again.
  const double reach = std::min(p.predictionAgreement + 2.0 * t.lastMotion * (t.lostFrames + 1), p.maxAgreementReach);

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
      matches = FollowTrackPoints(t.model, t.previousPyramid, pyramid, t.modelToFrame, predicted, p);
      t.stats.flowMs += MsSince(start);
      t.stats.flowPoints = static_cast<int>(matches.size());
    }
    if (t.stages.guided) {
      describe(barrier);
      const auto start = Clock::now();
      const std::vector<PointMatch> guided =
          MatchGuided(t.model, features, predicted, p.guidedRadius + t.lastMotion, p);
      matches.insert(matches.end(), guided.begin(), guided.end());
      t.stats.matchMs += MsSince(start);
    }
    ok = EstimateAndVerify(t, matches, pyramid, 1, Verification{p.acceptCorrelation, &predicted, reach, true}, accepted,
                           corners);
  }
  if (!ok) {
    // The barrier chosen at registration suits the target; a busy background may have raised the frame's.
    describe(std::min(barrier, t.model.barrier));
    t.stats.global = true;
    const auto start = Clock::now();
    std::vector<PointMatch> matches = MatchGlobally(t.model, features, p);
    if (t.stages.vote) matches = FilterByPoseVote(t.model, features, matches, p);
    t.stats.matchMs += MsSince(start);
    // Shortly after losing it, a find where the target was counts as agreeing with the motion.
    const cv::Matx33d* where = t.lostFrames < kMaxHeldFrames ? &t.modelToFrame : nullptr;
    ok = EstimateAndVerify(t, matches, pyramid, kTemplateLevels - 1,
                           Verification{p.foundCorrelation, where, reach, false}, accepted, corners);
  }

  if (ok) {
    double motion = 0.0;
    for (int i = 0; i < 4; ++i) motion = std::max(motion, cv::norm(corners[i] - t.corners[i]));
    t.lastMotion = t.acceptedRun > 0 ? std::min(motion, p.maxMotion) : 0.0;
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
