#include "tracker/target_set.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "geometry/planar_pose.h"
#include "geometry/quad.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

// Writes `text` into `display` with its baseline's left end at (x, y), in the outline's green on a dark
// rim so that it reads on any picture; what falls outside the picture is cut.
void DrawLabel(DibImage& display, const std::string& text, int x, int y) {
  if (display.rows24() == nullptr || text.empty()) return;
  constexpr double kScale = 0.45;
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, kScale, 1, &baseline);
  cv::Mat ink(size.height + baseline + 4, size.width + 4, CV_8UC1, cv::Scalar(0));
  cv::putText(ink, text, cv::Point(2, size.height + 1), cv::FONT_HERSHEY_SIMPLEX, kScale, cv::Scalar(255), 1,
              cv::LINE_AA);
  cv::Mat rim;
  cv::dilate(ink, rim, cv::Mat());
  const int top = y - size.height - 1;
  for (int r = 0; r < ink.rows; ++r) {
    const int py = top + r;
    if (py < 0 || py >= display.height()) continue;
    uint8_t* row = display.rows24()[py];
    for (int c = 0; c < ink.cols; ++c) {
      const int px = x - 2 + c;
      if (px < 0 || px >= display.width()) continue;
      uint8_t* p = row + 3 * px;
      if (ink.at<uint8_t>(r, c) > 96) {
        p[0] = 0;
        p[1] = 255;
        p[2] = 0;
      } else if (rim.at<uint8_t>(r, c) > 96) {
        p[0] = p[1] = p[2] = 0;
      }
    }
  }
}

// A find of picture i, which looks alike turned half a turn, turned the way up its view shows; where the view cannot
// tell, the way nearer the corners it had moments ago, or else the way up nearer the frame's (its top edge above its
// bottom edge), as a camera is mostly held.
void TurnAsShown(LookalikeJudge& judge, std::size_t i, const RobustTracker& t, const RobustFrame& frame,
                 const FrameLens* lens, cv::Matx33d& accepted, std::array<cv::Point2d, 4>& corners) {
  if (!judge.AlikeTurned(i)) return;
  const HalfTurnView view = judge.HalfTurn(i, accepted, frame.pyramid, lens);
  const std::array<cv::Point2d, 4> turned = {corners[2], corners[3], corners[0], corners[1]};
  const auto away = [&](const std::array<cv::Point2d, 4>& from) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) sum += cv::norm(from[k] - t.corners[k]);
    return sum;
  };
  const bool turn = view.verdict == HalfTurnVerdict::Turned ||
                    (view.verdict == HalfTurnVerdict::Either &&
                     (t.lostFrames < kMaxHeldFrames ? away(turned) < away(corners)
                                                    : corners[0].y + corners[1].y > corners[2].y + corners[3].y));
  if (!turn) return;
  accepted = accepted * view.turn;
  for (int k = 0; k < 4; ++k) {
    const cv::Vec3d p = accepted * cv::Vec3d(t.model.quad[k].x, t.model.quad[k].y, 1.0);
    corners[k] = cv::Point2d(p[0] / p[2], p[1] / p[2]);
  }
}

// The quad, state, homography and pose of `t` after a frame whose estimate was `accepted` (or not).
void UpdateShown(PictureTarget& t, bool accepted, const CameraSetup& camera, const FrameLens* lens, int frameWidth,
                 int frameHeight) {
  const RobustTracker& r = t.robust;
  const QuadState quad = AdvanceRobustQuad(r, accepted, lens, t.currentQuad, t.lastValidQuad, t.missCount);
  t.everFound = t.everFound || quad == QuadState::Tracking;
  t.state = t.everFound ? TrackingStateOf(quad) : TrackingState::Detecting;
  t.matches = r.stats.matches;
  t.inliers = r.stats.inliers;
  if (quad == QuadState::Tracking) {
    t.corners = FrameCornersOf(r, lens);
    const cv::Matx33d working = cv::Matx33d::diag(cv::Vec3d(t.workingScale, t.workingScale, 1.0));
    t.homography = r.modelToFrame * working;
  } else if (t.state != TrackingState::Holding) {
    t.corners.fill(cv::Point2d(kLostCoordinate, kLostCoordinate));
    t.homography = cv::Matx33d::zeros();
  }
  if (IsShown(t.state)) ComputeTargetPose(camera, lens, frameWidth, frameHeight, t.ModelRectangle(), t.corners, t.pose);
}

}  // namespace

void ComputeTargetPose(const CameraSetup& camera, const FrameLens* lens, int frameWidth, int frameHeight,
                       const CornerSet& model, const std::array<cv::Point2d, 4>& corners, PoseEstimate& pose) {
  CornerSet centred{};
  for (int i = 0; i < 4; ++i) centred[i] = PlanePoint{corners[i].x - frameWidth / 2, corners[i].y - frameHeight / 2};
  estimateSquareHomography(pose, model, centred);
  if (!hasCalibration(camera)) return;
  if (lens == nullptr) {
    poseFromHomography(camera.cameraParams.mat[0][0], camera.cameraParams.mat[1][1], pose);
    return;
  }
  std::array<cv::Point2d, 4> ideal;
  for (int i = 0; i < 4; ++i) ideal[i] = lens->Undistort(cv::Point2f(corners[i]));
  if (const std::optional<std::array<double, 16>> modelview = PlanarPose(model, ideal, lens->lens().cameraMatrix()))
    pose.modelview = *modelview;
  else
    pose.modelview.fill(std::numeric_limits<double>::quiet_NaN());  // reported as no pose
}

CornerSet PictureTarget::ModelRectangle() const { return PictureRectangle(fileSize.width, fileSize.height); }

PictureTarget NewPictureTarget() {
  PictureTarget t;
  t.robust.params.flowPointArea = kPictureFlowPointArea;
  t.robust.params.templateSamples = kPictureTemplateSamples;
  t.robust.params.foundCorrelation = kPictureFoundCorrelation;
  t.robust.params.minCoverage = kPictureMinCoverage;
  t.state = TrackingState::Detecting;
  t.corners.fill(cv::Point2d(kLostCoordinate, kLostCoordinate));
  return t;
}

PictureTarget BuildPictureTarget(const std::string& name, const cv::Mat& picture, cv::Size fileSize, double width,
                                 int arc) {
  PictureTarget t = NewPictureTarget();
  t.name = name;
  t.width = width;
  t.fileSize = fileSize;
  t.workingScale = fileSize.width > 0 ? static_cast<double>(picture.cols) / fileSize.width : 1.0;
  const float right = static_cast<float>(picture.cols - 1), bottom = static_cast<float>(picture.rows - 1);
  const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), cv::Point2f(right, 0), cv::Point2f(right, bottom),
                                              cv::Point2f(0, bottom)};
  const int longer = std::max(picture.cols, picture.rows);
  RobustModel model;
  RegisterRobustModel(model, picture, corners, arc, t.robust.params, PictureScales(longer), true);
  // Half precision (about three digits), as a picture library keeps them: a library's pictures match exactly as the
  // pictures built here.
  for (KeypointDescriptor& d : model.descriptors)
    for (double& v : d) v = static_cast<float>(cv::float16_t(static_cast<float>(v)));
  t.trackability = RateTrackability(model);
  t.miniature = Miniature(picture);
  AdoptRobustModel(t.robust, std::move(model), PictureTemplateScales(longer), nullptr);
  return t;
}

const PictureTarget& TargetSet::Add(const std::string& name, const cv::Mat& picture, cv::Size fileSize, double width,
                                    int arc) {
  // Built whole before the set changes, so that a failure leaves the set as it was.
  PictureTarget t = BuildPictureTarget(name, picture, fileSize, width, arc);
  if (built) built(t);
  targets_.push_back(std::move(t));
  indexed_ = false;
  return targets_.back();
}

void TargetSet::AddPrepared(std::vector<PictureTarget> prepared, std::vector<PictureSearch::Tree> forest) {
  if (!forest.empty()) forests_.push_back({targets_.size(), prepared.size(), std::move(forest)});
  targets_.reserve(targets_.size() + prepared.size());
  for (PictureTarget& t : prepared) {
    t.name = UniqueName(t.name);
    targets_.push_back(std::move(t));
  }
  indexed_ = false;
}

std::string TargetSet::UniqueName(const std::string& name) const {
  // The clicked target's name is taken too, so that the two are never confused in the reports.
  const auto taken = [&](const std::string& n) {
    return n == kClickedTargetName ||
           std::any_of(targets_.begin(), targets_.end(), [&](const PictureTarget& t) { return t.name == n; });
  };
  std::string unique = name;
  for (int k = 2; taken(unique); ++k) unique = name + "-" + std::to_string(k);
  return unique;
}

void TargetSet::Clear() {
  targets_.clear();
  search_.Clear();
  adoptedCount_ = 0;
  forests_.clear();
  indexed_ = false;
}

int TargetSet::found() const {
  return static_cast<int>(std::count_if(targets_.begin(), targets_.end(),
                                        [](const PictureTarget& t) { return t.state == TrackingState::Tracking; }));
}

void TargetSet::Index() {
  indexed_ = true;
  models_.clear();
  for (const PictureTarget& t : targets_) models_.push_back(&t.robust.model);
  if (targets_.size() >= kSearchedPictures) {
    index_ = TargetIndex{};
    // The largest library's forest (given now, or held since an earlier Index: targets are only ever added), its
    // pictures first in the search's order, the others after them.
    std::vector<PictureSearch::Tree> trees;
    std::size_t first = 0, count = 0;
    if (!forests_.empty()) {
      GivenForest& largest = *std::max_element(forests_.begin(), forests_.end(),
                                               [](const GivenForest& a, const GivenForest& b) { return a.count < b.count; });
      trees = std::move(largest.trees);
      first = largest.first;
      count = largest.count;
    } else if (adoptedCount_ > 0) {
      trees = search_.TakeTrees();
      first = adoptedFirst_;
      count = adoptedCount_;
    }
    forests_.clear();
    adoptedCount_ = 0;
    searchOrder_.clear();
    for (std::size_t m = first; m < first + count; ++m) searchOrder_.push_back(m);
    for (std::size_t m = 0; m < targets_.size(); ++m)
      if (m < first || m >= first + count) searchOrder_.push_back(m);
    searchModels_.clear();
    std::size_t own = 0, added = 0;
    for (std::size_t k = 0; k < searchOrder_.size(); ++k) {
      searchModels_.push_back(models_[searchOrder_[k]]);
      (k < count ? own : added) += PictureSearch::PointsOf(*searchModels_.back());
    }
    if (count > 0 && static_cast<double>(added) <= kForestAddedShare * static_cast<double>(own) &&
        search_.Adopt(searchModels_, std::move(trees), count)) {
      adoptedFirst_ = first;
      adoptedCount_ = count;
    } else {
      std::iota(searchOrder_.begin(), searchOrder_.end(), std::size_t{0});
      searchModels_ = models_;
      search_.Build(models_);
    }
  } else {
    search_.Clear();
    adoptedCount_ = 0;
    index_.Build(models_);
  }
  std::vector<LookalikePicture> pictures;
  for (const PictureTarget& t : targets_)
    pictures.push_back({&t.miniature, t.miniature.cols / (t.robust.model.quad[1].x + 1.0)});
  lookalikes_.Build(std::move(pictures));
}

std::vector<std::vector<PointMatch>> TargetSet::Candidates(const FrameFeatures& features,
                                                            const std::vector<uint8_t>& wanted,
                                                            const RobustParams& params) const {
  std::vector<uint8_t> searchWanted;
  for (const std::size_t m : searchOrder_) searchWanted.push_back(wanted[m]);
  std::vector<std::vector<PointMatch>> found = search_.Candidates(searchModels_, features, searchWanted, params);
  std::vector<std::vector<PointMatch>> matches(targets_.size());
  for (std::size_t k = 0; k < found.size(); ++k) matches[searchOrder_[k]] = std::move(found[k]);
  return matches;
}

const RobustModel& TargetSet::Matchable(std::size_t i) {
  RobustModel& model = targets_[i].robust.model;
  if (model.tree.empty() && model.tiltTree.empty() && !model.empty()) model.BuildTrees();
  return model;
}

void TargetSet::RestartMotion() {
  for (PictureTarget& t : targets_) RestartRobustMotion(t.robust);
}

void TargetSet::Track(const GrayImage& gray, DibImage& display, const CameraSetup& camera, const FrameLens* lens) {
  if (targets_.empty() || gray.empty()) return;
  if (!indexed_) Index();
  const RobustParams& params = targets_.front().robust.params;
  const int arc = targets_.front().robust.model.arc;
  RobustFrame frame(gray, params, lens);
  std::vector<uint8_t> ok(targets_.size(), 0);
  std::vector<cv::Matx33d> accepted(targets_.size());
  std::vector<std::array<cv::Point2d, 4>> corners(targets_.size());
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    targets_[i].robust.stats = RobustFrameStats{};
    ok[i] = FollowTarget(targets_[i].robust, frame, detector_.barrier, accepted[i], corners[i]);
    // A followed picture replaced by a lookalike (the next card dealt on it) is lost here; the search below finds
    // the lookalike where it was.
    if (ok[i] && lookalikes_.Judge(i, accepted[i], frame.pyramid, lens).kind == LookalikeVerdict::Kind::Other)
      ok[i] = 0;
    // So is one replaced by a picture outside the set that resembles it and its lookalikes, looked for every
    // kAbsentSearchPeriod-th frame (the targets in turn).
    if (ok[i] && lookalikes_.Has(i) && (frames_ + static_cast<long long>(i)) % kAbsentSearchPeriod == 0 &&
        lookalikes_.Departs(i, accepted[i], frame.pyramid, lens, kFollowDepartureBars))
      ok[i] = 0;
  }
  // One global search for every target not followed, on the corners at the set's barrier (each picture
  // scale has points down to that contrast and lower): with a PictureSearch on every frame, else every frame
  // while nothing is followed or a target was lost moments ago and every kAbsentSearchPeriod-th frame otherwise.
  const bool noneFollowed = std::count(ok.begin(), ok.end(), 1) == 0;
  bool urgent = noneFollowed;
  for (std::size_t i = 0; i < targets_.size(); ++i)
    urgent = urgent || (!ok[i] && targets_[i].robust.lostFrames < kMaxHeldFrames);
  ++frames_;
  if (std::count(ok.begin(), ok.end(), 0) > 0 &&
      (!search_.empty() || urgent || frames_ % kAbsentSearchPeriod == 0)) {
    const int barrier = noneFollowed ? std::min(detector_.barrier, kPictureSearchBarrier) : detector_.barrier;
    // Each picture is matched with the corners of the FAST variant it was described with (pictures added after a
    // change of the variant keep theirs).
    std::vector<int> arcs;
    for (std::size_t i = 0; i < targets_.size(); ++i)
      if (!ok[i] && std::find(arcs.begin(), arcs.end(), targets_[i].robust.model.arc) == arcs.end())
        arcs.push_back(targets_[i].robust.model.arc);
    std::vector<uint8_t> wanted(targets_.size(), 0);
    // A picture with fewer matches than a vote cluster needs is absent: no estimate is tried. Matches inside a
    // lookalike followed or found in this frame are dropped first (the view there is that lookalike). A find stands
    // only when the view tells the picture from each of its lookalikes; one where the view shows a lookalike
    // instead is handed to that lookalike, matched on its own, and so on up to kLookalikeHandoffs times. A find of a
    // picture with lookalikes whose view departs from it somewhere (Departs: a picture outside the set that resembles
    // them, the card of a deck the set left out) does not stand.
    const auto dropTaken = [&](std::size_t i, std::vector<PointMatch>& matches) {
      if (!lookalikes_.Has(i)) return;
      for (const std::size_t c : lookalikes_.Of(i)) {
        if (!ok[c]) continue;
        const std::vector<cv::Point2f> quad(corners[c].begin(), corners[c].end());
        std::erase_if(matches, [&](const PointMatch& m) { return cv::pointPolygonTest(quad, m.frame, false) >= 0; });
      }
    };
    const auto tryFind = [&](std::size_t i, const FrameFeatures& features, std::vector<PointMatch> matches) {
      for (int handoff = 0; handoff <= kLookalikeHandoffs && !ok[i]; ++handoff) {
        dropTaken(i, matches);
        if (matches.size() < static_cast<std::size_t>(params.minVoteCluster) ||
            !FindTarget(targets_[i].robust, frame, features, std::move(matches), accepted[i], corners[i]))
          return;
        TurnAsShown(lookalikes_, i, targets_[i].robust, frame, lens, accepted[i], corners[i]);
        const LookalikeVerdict verdict = lookalikes_.Judge(i, accepted[i], frame.pyramid, lens);
        ok[i] = verdict.kind == LookalikeVerdict::Kind::Distinct &&
                !(lookalikes_.Has(i) && lookalikes_.Departs(i, PolishFind(targets_[i].robust, frame, accepted[i]),
                                                            frame.pyramid, lens, kFindDepartureBars));
        if (verdict.kind != LookalikeVerdict::Kind::Other || !wanted[verdict.other]) return;
        i = verdict.other;
        matches = MatchGlobally(Matchable(i), features, params);
      }
    };
    for (const int variant : arcs) {
      const FrameFeatures& features = frame.Features(variant, barrier);
      for (std::size_t i = 0; i < targets_.size(); ++i) wanted[i] = !ok[i] && targets_[i].robust.model.arc == variant;
      std::vector<std::vector<PointMatch>> matches = search_.empty()
                                                         ? MatchAllGlobally(models_, index_, features, params)
                                                         : Candidates(features, wanted, params);
      if (search_.empty()) {
        for (std::size_t i = 0; i < targets_.size(); ++i)
          if (wanted[i]) tryFind(i, features, std::move(matches[i]));
        continue;
      }
      // Those lost moments ago, then the kVerifiedPictures whose matches hold the largest pose-vote clusters (of
      // kCandidateCluster matches or more), each matched again on its own.
      RobustParams voting = params;
      voting.minVoteCluster = kCandidateCluster;
      std::vector<std::pair<std::size_t, std::size_t>> ranked;  // (cluster, picture)
      for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (!wanted[i]) continue;
        if (targets_[i].robust.lostFrames < kMaxHeldFrames) {
          tryFind(i, features, MatchGlobally(Matchable(i), features, params));
          continue;
        }
        dropTaken(i, matches[i]);
        if (matches[i].size() >= static_cast<std::size_t>(kCandidateCluster))
          if (const std::size_t size = FilterByPoseVote(*models_[i], features, matches[i], voting).size(); size > 0)
            ranked.emplace_back(size, i);
      }
      const std::size_t tried = std::min(kVerifiedPictures, ranked.size());
      std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(tried), ranked.end(),
                        [](const auto& a, const auto& b) {
                          return a.first > b.first || (a.first == b.first && a.second < b.second);
                        });
      for (std::size_t k = 0; k < tried; ++k)
        tryFind(ranked[k].second, features, MatchGlobally(Matchable(ranked[k].second), features, params));
    }
  }
  if (frame.describedAt() == detector_.barrier && frame.describedArc() == arc)
    AdaptBarrier(detector_, static_cast<int>(frame.Features(arc, detector_.barrier).corners.size()), kTrackBandLow,
                 kTrackBandHigh);
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    PictureTarget& t = targets_[i];
    FinishTargetFrame(t.robust, frame, ok[i] != 0, accepted[i], corners[i]);
    UpdateShown(t, ok[i] != 0, camera, lens, gray.width, gray.height);
    if (!IsShown(t.state)) continue;
    DrawQuadOutline(t.currentQuad, display);
    const CornerPoint& label = t.currentQuad.pt[0];
    DrawLabel(display, t.name, label.x + 3, label.y - 4 < 12 ? label.y + 14 : label.y - 4);
  }
}

}  // namespace quorl
