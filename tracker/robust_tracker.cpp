#include "tracker/robust_tracker.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "features/picture_target.h"
#include "geometry/edge_snap.h"
#include "geometry/quad.h"
#include "geometry/robust_homography.h"

namespace quorl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNotDescribed = INT_MIN;
constexpr int kCoarserTries = 2;

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
// `prediction` (when there is one), over at least `coverage` of the samples (and minCoverage). `tracking`: a partial
// view may change the last estimate affinely.
struct Verification {
  double correlation;
  const cv::Matx33d* prediction;
  double reach;
  bool tracking;
  double coverage;
};

// Each frame since the last accepted one may have moved the target by the last motion again.
double Reach(const RobustTracker& t) {
  const RobustParams& p = t.params;
  return std::min(p.predictionAgreement + 2.0 * t.lastMotion * (t.lostFrames + 1), p.maxAgreementReach);
}

// The template whose scale is nearest (by ratio) to the scale at which `modelToFrame` shows the target (the last one
// for finestTemplate).
const ScaledTemplate& TemplateFor(const RobustTracker& t, const cv::Matx33d& modelToFrame) {
  std::array<cv::Point2d, 4> corners;
  double shown = 1.0;
  if (t.finestTemplate) return t.refinements.back();
  if (t.refinements.size() > 1 && CornersOf(t.model, modelToFrame, corners)) {
    const std::vector<cv::Point2f> model(t.model.quad.begin(), t.model.quad.end());
    const std::vector<cv::Point2f> frame(corners.begin(), corners.end());
    shown = std::sqrt(std::fabs(cv::contourArea(frame)) / std::max(1.0, std::fabs(cv::contourArea(model))));
  }
  const ScaledTemplate* best = &t.refinements.front();
  for (const ScaledTemplate& r : t.refinements)
    if (std::fabs(std::log(r.scale / shown)) < std::fabs(std::log(best->scale / shown))) best = &r;
  return *best;
}

// One attempt from `matches`, refined from template level `coarsest`; the rules in the order of the header's
// description. On success `result` and `corners` hold the estimate.
bool EstimateAndVerify(RobustTracker& t, const std::vector<PointMatch>& matches, const RobustFrame& frame,
                       int coarsest, const Verification& rule, cv::Matx33d& result,
                       std::array<cv::Point2d, 4>& corners) {
  const RobustParams& p = t.params;
  const std::vector<cv::Mat>& pyramid = frame.pyramid;
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
  const auto refine = [&](const ScaledTemplate& chosen) {
    const cv::Matx33d toScaled = chosen.ModelToScaled();
    const cv::Matx33d scaledToFrame = estimate.modelToFrame * toScaled.inv();
    RefinementResult r =
        t.stages.refine ? RefineHomography(chosen.tmpl, pyramid, scaledToFrame, coarsest, 0, p, partial, frame.lens())
                        : MeasureAgreement(chosen.tmpl, pyramid, scaledToFrame, 1, frame.lens());
    r.homography = r.homography * toScaled;
    return r;
  };
  // The refined estimate is shown as `corners` and passes the rule.
  const auto passes = [&](const RefinementResult& r) {
    if (r.coverage < std::max(p.minCoverage, rule.coverage)) return false;
    if (!CornersOf(t.model, r.homography, corners) || !PlausibleQuad(corners, p.minQuadSide)) return false;
    if (r.correlation >= rule.correlation) return true;
    std::array<cv::Point2d, 4> expected;
    if (r.correlation < p.predictedCorrelation || rule.prediction == nullptr ||
        !CornersOf(t.model, *rule.prediction, expected))
      return false;
    for (int i = 0; i < 4; ++i)
      if (cv::norm(corners[i] - expected[i]) > rule.reach) return false;
    return true;
  };
  const ScaledTemplate* chosen = &TemplateFor(t, estimate.modelToFrame);
  RefinementResult refined = refine(*chosen);
  bool agrees = passes(refined);
  // A find that the camera shows softer than its template (a steep view, a photo through other optics) is tried
  // against up to kCoarserTries coarser templates while it fails but agrees at all.
  for (int tries = 0; !agrees && !rule.tracking && refined.correlation >= p.predictedCorrelation &&
                      chosen != &t.refinements.front() && tries < kCoarserTries;
       ++tries) {
    refined = refine(*--chosen);
    agrees = passes(refined);
  }
  s.refineMs += MsSince(start);
  s.correlation = refined.correlation;
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

void AdoptRobustModel(RobustTracker& tracker, RobustModel model, std::span<const double> templateScales,
                      const GrayImage* frame) {
  ResetRobust(tracker);
  tracker.model = std::move(model);
  for (const double scale : templateScales) {
    ScaledTemplate scaled;
    scaled.scale = scale;
    std::array<cv::Point2f, 4> corners = tracker.model.quad;
    cv::Mat image = tracker.model.image;
    if (scale != 1.0) {
      const cv::Size size(std::max(1, cvRound(image.cols * scale)), std::max(1, cvRound(image.rows * scale)));
      cv::resize(tracker.model.image, image, size, 0, 0, cv::INTER_AREA);
      scaled.ratio = cv::Point2d(static_cast<double>(size.width) / tracker.model.image.cols,
                                 static_cast<double>(size.height) / tracker.model.image.rows);
      const cv::Matx33d toScaled = scaled.ModelToScaled();
      for (cv::Point2f& c : corners)
        c = cv::Point2f(static_cast<float>(toScaled(0, 0) * c.x + toScaled(0, 2)),
                        static_cast<float>(toScaled(1, 1) * c.y + toScaled(1, 2)));
    }
    scaled.tmpl = BuildRefinementTemplate(image, corners, tracker.params);
    if (!scaled.tmpl.empty() || scale == 1.0) tracker.refinements.push_back(std::move(scaled));
  }
  if (frame != nullptr) {
    tracker.previousPyramid = BuildFlowPyramid(GrayMatView(*frame), tracker.params);
    tracker.acceptedRun = 1;
    for (int i = 0; i < 4; ++i) tracker.corners[i] = tracker.model.quad[i];
  } else {
    tracker.lostFrames = kMaxHeldFrames;  // never seen: no place where a find would agree with a motion
  }
}

void RegisterRobust(RobustTracker& tracker, const GrayImage& gray, const std::array<cv::Point2f, 4>& clicks, int arc,
                    const FrameLens* lens) {
  RobustModel model;
  cv::Mat image = GrayMatView(gray);
  std::array<cv::Point2f, 4> corners = clicks;
  if (lens != nullptr) {
    image = lens->UndistortImage(image);
    for (cv::Point2f& c : corners) c = lens->Undistort(c);
  }
  corners = SnapCornersToEdges(image, corners);
  RegisterRobustModel(model, image, corners, arc, tracker.params);
  // Templates at halving scales, as a picture's: a find of the target seen at under half its registered size is
  // verified against a coarser one too (tracking refines on the registered one).
  const cv::Rect box = cv::boundingRect(std::vector<cv::Point2f>(corners.begin(), corners.end()));
  AdoptRobustModel(tracker, std::move(model), PictureTemplateScales(std::max(box.width, box.height)), &gray);
  tracker.finestTemplate = true;
}

RobustFrame::RobustFrame(const GrayImage& gray, const RobustParams& params, const FrameLens* lens)
    : pyramid(BuildFlowPyramid(GrayMatView(gray), params)), gray_(gray), lens_(lens), describedAt_(kNotDescribed) {}

const FrameFeatures& RobustFrame::Features(int arc, int barrier) {
  if (describedAt_ != barrier || describedArc_ != arc) {
    const auto start = Clock::now();
    DescribeFrame(gray_, arc, barrier, features_, lens_);
    describeMs += MsSince(start);
    describedAt_ = barrier;
    describedArc_ = arc;
  }
  return features_;
}

bool FollowTarget(RobustTracker& t, RobustFrame& frame, int barrier, cv::Matx33d& accepted,
                  std::array<cv::Point2d, 4>& corners) {
  const RobustParams& p = t.params;
  if (t.acceptedRun <= 0 || !(t.stages.flow || t.stages.guided)) return false;
  // Constant motion from the last two estimates predicts this frame.
  const cv::Matx33d predicted =
      t.acceptedRun >= 2 ? cv::Matx33d(t.modelToFrame * t.earlierModelToFrame.inv() * t.modelToFrame) : t.modelToFrame;
  std::vector<PointMatch> matches;
  if (t.stages.flow) {
    const auto start = Clock::now();
    matches = FollowTrackPoints(t.model, t.previousPyramid, frame.pyramid, t.modelToFrame, predicted, p, frame.lens());
    t.stats.flowMs += MsSince(start);
    t.stats.flowPoints = static_cast<int>(matches.size());
  }
  if (t.stages.guided) {
    const double before = frame.describeMs;
    const FrameFeatures& features = frame.Features(t.model.arc, barrier);
    t.stats.detectMs += frame.describeMs - before;
    t.stats.corners = static_cast<int>(features.corners.size());
    const auto start = Clock::now();
    const std::vector<PointMatch> guided = MatchGuided(t.model, features, predicted, p.guidedRadius + t.lastMotion, p);
    matches.insert(matches.end(), guided.begin(), guided.end());
    t.stats.matchMs += MsSince(start);
  }
  return EstimateAndVerify(t, matches, frame, 1, Verification{p.acceptCorrelation, &predicted, Reach(t), true, 0.0},
                           accepted, corners);
}

bool FindTarget(RobustTracker& t, RobustFrame& frame, const FrameFeatures& features, std::vector<PointMatch> matches,
                cv::Matx33d& accepted, std::array<cv::Point2d, 4>& corners) {
  const RobustParams& p = t.params;
  t.stats.global = true;
  t.stats.corners = static_cast<int>(features.corners.size());
  // Shortly after losing it, a find where the target was counts as agreeing with the motion.
  const cv::Matx33d* where = t.lostFrames < kMaxHeldFrames ? &t.modelToFrame : nullptr;
  // The straight points' matches first; with the tilted views' when those find nothing (the many tilted matches of a
  // straight view would outvote its true ones).
  const auto tilted = std::stable_partition(matches.begin(), matches.end(),
                                            [&](const PointMatch& m) { return t.model.points[m.modelIndex].view == 0; });
  std::vector<PointMatch> second(tilted, matches.end());
  matches.erase(tilted, matches.end());
  if (!second.empty()) second.insert(second.end(), matches.begin(), matches.end());
  for (std::vector<PointMatch>* attempt : {&matches, &second}) {
    if (attempt == &second && second.empty()) break;
    const auto start = Clock::now();
    if (t.stages.vote) *attempt = FilterByPoseVote(t.model, features, *attempt, p);
    t.stats.matchMs += MsSince(start);
    const double coverage = attempt == &second ? p.tiltedFindCoverage : 0.0;
    if (EstimateAndVerify(t, *attempt, frame, kTemplateLevels - 1,
                          Verification{p.foundCorrelation, where, Reach(t), false, coverage}, accepted, corners))
      return true;
  }
  return false;
}

cv::Matx33d PolishFind(const RobustTracker& t, const RobustFrame& frame, const cv::Matx33d& accepted) {
  const RobustParams& p = t.params;
  const ScaledTemplate& chosen = TemplateFor(t, accepted);
  const cv::Matx33d toScaled = chosen.ModelToScaled();
  RefinementResult r = RefineHomography(chosen.tmpl, frame.pyramid, accepted * toScaled.inv(), 1, 0, p,
                                        false, frame.lens());
  r.homography = r.homography * toScaled;
  std::array<cv::Point2d, 4> corners;
  const bool holds = r.coverage >= p.minCoverage && r.correlation >= p.foundCorrelation &&
                     CornersOf(t.model, r.homography, corners) && PlausibleQuad(corners, p.minQuadSide);
  return holds ? r.homography : accepted;
}

bool FinishTargetFrame(RobustTracker& t, const RobustFrame& frame, bool ok, const cv::Matx33d& accepted,
                       const std::array<cv::Point2d, 4>& corners) {
  if (ok) {
    double motion = 0.0;
    for (int i = 0; i < 4; ++i) motion = std::max(motion, cv::norm(corners[i] - t.corners[i]));
    t.lastMotion = t.acceptedRun > 0 ? std::min(motion, t.params.maxMotion) : 0.0;
    t.earlierModelToFrame = t.acceptedRun > 0 ? t.modelToFrame : accepted;
    t.modelToFrame = accepted;
    t.corners = corners;
    ++t.acceptedRun;
    t.lostFrames = 0;
  } else {
    t.acceptedRun = 0;
    ++t.lostFrames;
  }
  t.previousPyramid = frame.pyramid;
  return ok;
}

std::array<cv::Point2d, 4> FrameCornersOf(const RobustTracker& tracker, const FrameLens* lens) {
  std::array<cv::Point2d, 4> corners = tracker.corners;
  if (lens != nullptr)
    for (cv::Point2d& c : corners) c = lens->Distort(c);
  return corners;
}

QuadState AdvanceRobustQuad(const RobustTracker& tracker, bool accepted, const FrameLens* lens, Quad& currentQuad,
                            Quad& lastValidQuad, int32_t& missCount) {
  Quad candidate{};
  bool mapped = accepted;
  const std::array<cv::Point2d, 4> corners = FrameCornersOf(tracker, lens);
  for (int i = 0; i < 4 && mapped; ++i)
    mapped = RoundCoordinate(corners[i].x, candidate.pt[i].x) && RoundCoordinate(corners[i].y, candidate.pt[i].y);
  return AdvanceQuad(mapped, candidate, currentQuad, lastValidQuad, missCount, tracker.params.minQuadSide);
}

bool TrackRobust(RobustTracker& t, const GrayImage& gray, int barrier, int& cornerCount, const FrameLens* lens) {
  t.stats = RobustFrameStats{};
  cornerCount = 0;
  if (!t.registered() || gray.empty()) return false;
  RobustFrame frame(gray, t.params, lens);
  cv::Matx33d accepted;
  std::array<cv::Point2d, 4> corners;
  bool ok = FollowTarget(t, frame, barrier, accepted, corners);
  if (!ok) {
    // The barrier chosen at registration suits the target; a busy background may have raised the frame's.
    const double before = frame.describeMs;
    const FrameFeatures& features = frame.Features(t.model.arc, std::min(barrier, t.model.barrier));
    t.stats.detectMs += frame.describeMs - before;
    const auto start = Clock::now();
    std::vector<PointMatch> matches = MatchGlobally(t.model, features, t.params);
    t.stats.matchMs += MsSince(start);
    ok = FindTarget(t, frame, features, std::move(matches), accepted, corners);
  }
  // Only a count at the frame's own barrier steers that barrier.
  if (frame.describedAt() == barrier) cornerCount = t.stats.corners;
  return FinishTargetFrame(t, frame, ok, accepted, corners);
}

}  // namespace quorl
