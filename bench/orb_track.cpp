// orb-track: a reference tracker built from OpenCV's ORB features, to compare quorl-track against. It reads
// the same sources, registers the same corners on the same frame, applies the same quad mapping, check and
// hold rule, and writes the same CSV columns and summary lines.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/flann.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/open_source.h"
#include "features/picture_target.h"
#include "geometry/homography.h"
#include "geometry/planar_pose.h"
#include "geometry/quad.h"
#include "tools/track_options.h"
#include "tools/track_report.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

// ORB features kept per picture, for the registered region and for every frame alike.
constexpr int kOrbFeatures = 1000;
// Lowe's ratio test: a match counts when its best Hamming distance is below this share of the second best.
constexpr float kRatio = 0.8f;
// RANSAC inlier threshold of cv::findHomography, in frame pixels.
constexpr double kRansacThreshold = 3.0;
// Fewest ratio-test matches a homography is estimated from.
constexpr std::size_t kMinOrbMatches = 4;
// From this many pictures on, the frame's descriptors are first searched in one index over every picture's (as
// quorl-track's sets of as many pictures search one structure), and only the kVerifiedPictures pictures with most
// votes, beside those being followed, are matched.
constexpr std::size_t kIndexedPictures = 32;
constexpr std::size_t kVerifiedPictures = 5;

constexpr const char* kUsageHead = R"(Usage: orb-track [options]
Tracks the target with OpenCV's ORB features (Hamming k-NN matching with a ratio test, RANSAC
homography) for comparison with quorl-track: same sources, same registration, same quad check,
same CSV and summary. OpenCV runs on --threads threads (default 1), as quorl-track does. With
--picture (and no --corners), each picture is a target: one ORB model per picture, the frame's ORB
features matched against each.

)";

int usageError(const std::string& text) {
  std::cerr << "orb-track: " << text << "\nTry 'orb-track --help'.\n";
  return 2;
}

// Returns an exit code when the program should stop (help or a bad option), else nothing.
std::optional<int> parseArgs(int argc, char** argv, TrackArgs& a) {
  bool help = false;
  std::vector<ToolOption> options = TrackOptions(a);
  options.push_back(FlagOption("help", "this text", help));
  options.back().shortName = 'h';
  const std::optional<std::string> message = ParseOptions(argc, argv, options);
  if (help) {
    std::cout << kUsageHead << OptionHelp(options) << "\n" << kTrackCsvUsage;
    return 0;
  }
  if (message) return usageError(*message);
  return std::nullopt;
}

// Counts of one tracked frame, in the CSV's terms.
struct FrameStats {
  std::size_t keypoints = 0;  // ORB keypoints in the frame
  std::size_t matches = 0;    // matches that pass the ratio test
  std::size_t inliers = 0;    // RANSAC inliers of the homography estimated in this frame
};

// The ORB model of the registered region and the quad state, with the same rules as the tracker: the
// clicked corners are mapped through the newest homography (the previous one when estimation fails), then
// checked; a failing quad shows the last valid one for up to kMaxHeldFrames frames, then is lost.
class OrbTracker {
 public:
  OrbTracker() : orb_(cv::ORB::create(kOrbFeatures)), matcher_(cv::NORM_HAMMING) {}

  // The camera, for the pose: its intrinsics for the frame size, and its lens (which must outlive the tracker) when
  // the points are to be undistorted before estimation. Without intrinsics there is no pose.
  void setCamera(const std::optional<cv::Matx33d>& intrinsics, const FrameLens* lens) {
    intrinsics_ = intrinsics;
    lens_ = lens;
  }
  // The target's corners in model units for the pose (default kModelSquare; a picture: its rectangle 200 wide).
  void setModel(const CornerSet& model) { model_ = model; }

  // ORB features of `gray` inside the polygon `clicks`; returns the number of model keypoints.
  std::size_t registerModel(const cv::Mat& gray, const Quad& clicks) {
    clicks_ = clicks;
    for (int i = 0; i < 4; ++i) clickedIdeal_[i] = ideal(cv::Point2f(clicks.pt[i].x, clicks.pt[i].y));
    cv::Mat mask = cv::Mat::zeros(gray.size(), CV_8UC1);
    std::vector<cv::Point> polygon;
    for (const CornerPoint& c : clicks.pt) polygon.emplace_back(c.x, c.y);
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
    std::vector<cv::KeyPoint> keypoints;
    orb_->detectAndCompute(gray, mask, keypoints, modelDescriptors_);
    modelPoints_.clear();
    for (const cv::KeyPoint& k : keypoints) modelPoints_.push_back(ideal(k.pt));
    modelToFrame_ = cv::Matx33d::eye();
    currentQuad_ = clicks;
    return keypoints.size();
  }

  FrameStats trackFrame(const cv::Mat& gray) {
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    detect(gray, keypoints, descriptors);
    return matchFrame(keypoints, descriptors);
  }

  void detect(const cv::Mat& gray, std::vector<cv::KeyPoint>& keypoints, cv::Mat& descriptors) {
    orb_->detectAndCompute(gray, cv::noArray(), keypoints, descriptors);
  }

  // The tracked frame from its ORB features (detect).
  FrameStats matchFrame(const std::vector<cv::KeyPoint>& keypoints, const cv::Mat& descriptors) {
    std::vector<cv::DMatch> matches;
    if (!descriptors.empty() && !modelDescriptors_.empty()) {
      std::vector<std::vector<cv::DMatch>> knn;
      matcher_.knnMatch(descriptors, modelDescriptors_, knn, 2);
      for (const std::vector<cv::DMatch>& m : knn)
        if (m.size() == 2 && m[0].distance < kRatio * m[1].distance) matches.push_back(m[0]);
    }
    return estimateFrom(keypoints, matches);
  }

  // The tracked frame from `matches` of its `keypoints` (queryIdx) to the model's points (trainIdx).
  FrameStats estimateFrom(const std::vector<cv::KeyPoint>& keypoints, const std::vector<cv::DMatch>& matches) {
    FrameStats stats;
    stats.keypoints = keypoints.size();
    std::vector<cv::Point2f> from, to;
    for (const cv::DMatch& m : matches) {
      from.push_back(modelPoints_[static_cast<std::size_t>(m.trainIdx)]);
      to.push_back(ideal(keypoints[static_cast<std::size_t>(m.queryIdx)].pt));
    }
    stats.matches = from.size();
    if (from.size() >= kMinOrbMatches) {
      std::vector<uchar> inlierMask;
      const cv::Mat h = cv::findHomography(from, to, cv::RANSAC, kRansacThreshold, inlierMask);
      if (!h.empty()) {
        modelToFrame_ = cv::Matx33d(h);
        stats.inliers = static_cast<std::size_t>(std::count(inlierMask.begin(), inlierMask.end(), uchar{1}));
      }
    }
    // As in the tracker: no estimate, a failed one or one without an acceptable consensus fails the check.
    updateQuad(IsConsensusAcceptable(stats.matches, stats.inliers));
    return stats;
  }

  const Quad& currentQuad() const { return currentQuad_; }
  const cv::Mat& modelDescriptors() const { return modelDescriptors_; }
  // As if the target had been lost: nothing is held until it is found.
  void forget() {
    currentQuad_.pt.fill(CornerPoint{kLostCoordinate, kLostCoordinate});
    lastValidQuad_ = currentQuad_;
    missCount_ = kMaxHeldFrames;
  }
  // The quad check's smallest side (picture targets may be seen as small as quorl-track's accept).
  float minSide = kMinQuadSide;
  TrackingState state() const { return state_; }
  // The pose of the last tracked frame (model units, the target as setModel gave it) by OpenCV's solvePnP on its corners
  // (undistorted through the lens), with the camera's intrinsics; nothing while not tracking or without them.
  std::optional<cv::Matx44d> pose() const {
    if (state_ != TrackingState::Tracking || !intrinsics_) return std::nullopt;
    const std::optional<std::array<double, 16>> m = PlanarPose(model_, idealCorners_, *intrinsics_);
    return m ? std::optional<cv::Matx44d>(cv::Matx44d(m->data())) : std::nullopt;
  }

 private:
  cv::Point2f ideal(cv::Point2f frame) const { return lens_ != nullptr ? lens_->Undistort(frame) : frame; }

  // Corner i := modelToFrame (x_i, y_i, 1) (in ideal pixels through the lens, then carried to frame pixels),
  // rounded as the tracker rounds. False when a corner is unusable.
  bool mapCorners(Quad& out) {
    bool usable = true;
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d p = modelToFrame_ * cv::Vec3d(clickedIdeal_[i].x, clickedIdeal_[i].y, 1.0);
      idealCorners_[i] = cv::Point2d(p[0] / p[2], p[1] / p[2]);
      const cv::Point2d shown = lens_ != nullptr ? lens_->Distort(idealCorners_[i]) : idealCorners_[i];
      usable = RoundCoordinate(shown.x, out.pt[i].x) && usable;
      usable = RoundCoordinate(shown.y, out.pt[i].y) && usable;
    }
    return usable;
  }

  void updateQuad(bool estimateAccepted) {
    Quad candidate;
    const bool mapped = estimateAccepted && mapCorners(candidate);
    state_ = TrackingStateOf(AdvanceQuad(mapped, candidate, currentQuad_, lastValidQuad_, missCount_, minSide));
  }

  std::optional<cv::Matx33d> intrinsics_;
  const FrameLens* lens_ = nullptr;
  CornerSet model_ = kModelSquare;
  std::array<cv::Point2f, 4> clickedIdeal_{};
  std::array<cv::Point2d, 4> idealCorners_{};  // of the last mapped quad, ideal pixels

  cv::Ptr<cv::ORB> orb_;
  cv::BFMatcher matcher_;
  cv::Mat modelDescriptors_;
  std::vector<cv::Point2f> modelPoints_;
  cv::Matx33d modelToFrame_ = cv::Matx33d::eye();
  Quad clicks_;
  Quad currentQuad_;
  Quad lastValidQuad_;
  int32_t missCount_ = 0;
  TrackingState state_ = TrackingState::Detecting;
};

// One FLANN LSH index over the ORB descriptors of many pictures, to choose the pictures worth matching: each frame
// descriptor votes for the picture of its nearest descriptor.
class OrbPictureIndex {
 public:
  explicit OrbPictureIndex(const std::vector<OrbTracker>& trackers) {
    for (std::size_t p = 0; p < trackers.size(); ++p) {
      const cv::Mat& d = trackers[p].modelDescriptors();
      owner_.insert(owner_.end(), static_cast<std::size_t>(d.rows), p);
      descriptors_.push_back(d);
    }
    if (!descriptors_.empty())
      index_ = std::make_unique<cv::flann::Index>(descriptors_, cv::flann::LshIndexParams(6, 12, 1),
                                                  cvflann::FLANN_DIST_HAMMING);
  }

  // The votes of `descriptors` per picture.
  std::vector<int> Votes(const cv::Mat& descriptors, std::size_t pictures) const {
    std::vector<int> votes(pictures, 0);
    if (index_ == nullptr || descriptors.empty()) return votes;
    cv::Mat indices, distances;
    index_->knnSearch(descriptors, indices, distances, 1, cv::flann::SearchParams(32));
    for (int q = 0; q < indices.rows; ++q)
      if (const int best = indices.at<int>(q, 0); best >= 0) ++votes[owner_[static_cast<std::size_t>(best)]];
    return votes;
  }

 private:
  cv::Mat descriptors_;
  std::vector<std::size_t> owner_;  // the picture of each row of descriptors_
  std::unique_ptr<cv::flann::Index> index_;
};

// Where the summary goes: standard error when standard output carries the CSV.
std::FILE* SummaryStream(const TrackArgs& a) { return a.csv == "-" ? stderr : stdout; }

// 0 once standard output took the summary whole, else 1 with a message.
int FinishOutput() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::cerr << "orb-track: cannot write to standard output\n";
  return 1;
}

// Targets given as pictures: one ORB model per picture (the whole picture, at quorl-track's working size),
// the frame's ORB features matched against each, through `lens` when there is one; rows and summary as quorl-track
// writes them, with each picture's pose from `intrinsics`.
int runPictures(const TrackArgs& a, FrameSource& source, const TrackCalibration& calibration,
                const std::optional<cv::Matx33d>& intrinsics, const FrameLens* lens) {
  std::vector<OrbTracker> trackers(a.pictures.size());
  std::vector<std::string> names;
  for (std::size_t i = 0; i < a.pictures.size(); ++i) {
    std::string error;
    const cv::Mat gray = PrepareTargetPicture(cv::imread(a.pictures[i].path, cv::IMREAD_COLOR), a.pictures[i].path, error);
    if (gray.empty()) {
      std::cerr << "orb-track: " << error << "\n";
      return 2;
    }
    Quad corners;
    corners.pt = {CornerPoint{0, 0}, CornerPoint{gray.cols - 1, 0}, CornerPoint{gray.cols - 1, gray.rows - 1},
                  CornerPoint{0, gray.rows - 1}};
    trackers[i].registerModel(gray, corners);
    // The picture's own pixels are not seen through the lens: the camera comes after its model.
    trackers[i].setCamera(intrinsics, lens);
    trackers[i].setModel(PictureRectangle(gray.cols, gray.rows));
    trackers[i].minSide = RobustParams{}.minQuadSide;
    // Not found yet: nothing to hold.
    trackers[i].forget();
    names.push_back(std::filesystem::path(a.pictures[i].path).stem().string());
  }
  std::optional<OrbPictureIndex> pictureIndex;
  if (trackers.size() >= kIndexedPictures) pictureIndex.emplace(trackers);
  TrackCsv csv;
  if (!a.csv.empty() && !csv.Open(a.csv)) {
    std::cerr << "orb-track: cannot write " << a.csv << "\n";
    return 1;
  }
  csv.SetColumns(true, source.knowsTargets());
  TargetTally tally;
  const int known = source.frameCount();
  long long total = a.frames.value_or(known >= 0 ? known : 300);
  if (known >= 0) total = std::min<long long>(total, known);
  std::vector<uint8_t> packed;
  cv::Mat gray;
  int frameRate = 0;
  long long index = 0;
  for (; index < total && source.read(packed); ++index) {
    const cv::Mat bgr = UnpackFrame(packed);
    FrameTimer timer;
    timer.Start();
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    trackers.front().detect(gray, keypoints, descriptors);
    std::vector<FrameStats> stats;
    if (pictureIndex) {
      // The pictures being followed, and those with most votes, are matched as one by one; the others miss.
      const std::vector<int> votes = pictureIndex->Votes(descriptors, trackers.size());
      std::vector<std::size_t> order(trackers.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      const std::size_t verified = std::min(kVerifiedPictures, order.size());
      std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(verified), order.end(),
                        [&](std::size_t a, std::size_t b) { return votes[a] > votes[b]; });
      std::vector<bool> chosen(trackers.size(), false);
      for (std::size_t k = 0; k < verified; ++k) chosen[order[k]] = true;
      for (std::size_t i = 0; i < trackers.size(); ++i)
        stats.push_back(chosen[i] || IsShown(trackers[i].state()) ? trackers[i].matchFrame(keypoints, descriptors)
                                                                  : trackers[i].estimateFrom(keypoints, {}));
    } else {
      for (OrbTracker& t : trackers) stats.push_back(t.matchFrame(keypoints, descriptors));
    }
    timer.Stop();
    frameRate = FrameRateFromElapsed(timer.ElapsedMs(), frameRate);
    tally.AddFrameTime(timer.ElapsedMs());
    const std::vector<TargetTruth> truths = source.trueTargets();
    for (std::size_t i = 0; i < trackers.size(); ++i) {
      const std::optional<TargetTruth> truth = TruthOf(truths, names[i]);
      TrackRow row{index, names[i], 1, QuadCorners(trackers[i].currentQuad()), stats[i].keypoints, stats[i].matches,
                   stats[i].inliers, 0, timer.ElapsedMs(), frameRate, trackers[i].state(), std::nullopt};
      if (truth) row.truth = truth->corners, row.truePose = truth->pose;
      row.pose = trackers[i].pose();
      csv.Write(row);
      tally.Add(row, truth, source.knowsTargets());
    }
  }
  std::string error;
  if (!csv.Finish(error)) {
    std::cerr << "orb-track: " << error << "\n";
    return 1;
  }
  if (!a.quiet) {
    std::FILE* const out = SummaryStream(a);
    std::fprintf(out, "source: %s\ncalibration: %s\nframes: %lld\n", source.description().c_str(),
                 calibration.Describe().c_str(), index);
    tally.Print(out);
  }
  return FinishOutput();
}

int run(const TrackArgs& a) {
  cv::setNumThreads(a.threads);
  const TrackCalibration calibration = ReadTrackCalibration(a.cameraParams, a.calibration);
  std::string error;
  std::unique_ptr<FrameSource> source = OpenTrackSource(a, calibration.param, error);
  if (!source) {
    std::cerr << "orb-track: " << error << "\n";
    return 1;
  }
  // The camera at the source's frame size: the calibration's lens, or the record's intrinsics.
  std::optional<FrameLens> lens;
  std::optional<cv::Matx33d> intrinsics;
  if (calibration.lens) {
    if (const std::optional<CameraLens> resized = calibration.lens->Resized(source->width(), source->height())) {
      lens.emplace(*resized);
      intrinsics = resized->cameraMatrix();
    }
  } else if (calibration.param) {
    if (const auto k = cameraIntrinsicsForFrame(*calibration.param, source->width(), source->height()))
      intrinsics = cv::Matx33d(k->fx, k->skew, k->cx, 0, k->fy, k->cy, 0, 0, 1);
  }
  TrackSummary summary("orb-track", SummaryStream(a));
  if (const auto code = CheckTrackInput(a, calibration, *source, summary)) return *code;
  if (!a.pictures.empty() && !a.corners)
    return runPictures(a, *source, calibration, intrinsics, lens ? &*lens : nullptr);
  const int known = source->frameCount();
  long long total = a.frames.value_or(known >= 0 ? known : 300);
  if (known >= 0) total = std::min<long long>(total, known);
  if (a.registerFrame >= total) {
    std::cerr << "orb-track: registration frame " << a.registerFrame << " is past the end (" << total
              << " frames)\n";
    return 1;
  }
  TrackCsv csv;
  if (!a.csv.empty() && !csv.Open(a.csv)) {
    std::cerr << "orb-track: cannot write " << a.csv << "\n";
    return 1;
  }

  OrbTracker tracker;
  tracker.setCamera(intrinsics, lens ? &*lens : nullptr);
  std::vector<uint8_t> packed;
  cv::Mat gray;
  std::size_t modelPoints = 0;
  int frameRate = 0;
  long long index = 0;
  for (; index < total; ++index) {
    if (!source->read(packed)) break;
    if (index < a.registerFrame) continue;
    const cv::Mat bgr = UnpackFrame(packed);
    const auto truth = source->trueCorners();
    if (bgr.empty()) {
      std::cerr << "orb-track: frame " << index << " is not a 24-bit picture\n";
      return 1;
    }
    if (index == a.registerFrame) {
      Quad corners;
      if (a.corners) {
        corners = *a.corners;
      } else if (truth) {
        corners = RoundedCorners(*truth);
      } else {
        std::cerr << "orb-track: this source does not know where the target is; give --corners\n";
        return 1;
      }
      cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
      modelPoints = tracker.registerModel(gray, corners);
      summary.CheckModel(index, modelPoints);
      const TrackRow row{index, {}, 0, QuadCorners(corners), modelPoints, 0, 0, 0, 0.0f, frameRate, TrackingState::Detecting, truth};
      csv.Write(row);
      summary.Add(row, true);
      continue;
    }
    // Timed like the tracked-frame processing: from the gray conversion to the checked quad.
    FrameTimer timer;
    timer.Start();
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    const FrameStats stats = tracker.trackFrame(gray);
    timer.Stop();
    frameRate = FrameRateFromElapsed(timer.ElapsedMs(), frameRate);
    const TrackRow row{index,          {},
                       1,              QuadCorners(tracker.currentQuad()),
                       stats.keypoints, stats.matches,
                       stats.inliers,  0,
                       timer.ElapsedMs(), frameRate,
                       tracker.state(), truth,
                       tracker.pose(), source->truePose()};
    csv.Write(row);
    summary.Add(row, false);
  }
  if (index <= a.registerFrame) {
    std::cerr << "orb-track: the source ended after " << index << " frames, before the registration frame "
              << a.registerFrame << "\n";
    return 1;
  }
  if (!csv.Finish(error)) {
    std::cerr << "orb-track: " << error << "\n";
    return 1;
  }
  if (!a.quiet) summary.Print(source->description(), calibration.Describe(), index, a.registerFrame, modelPoints);
  return FinishOutput();
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  quorl::TrackArgs args;
  if (const auto code = quorl::parseArgs(argc, argv, args)) return *code;
  try {
    return quorl::run(args);
  } catch (const std::exception& e) {
    std::cerr << "orb-track: " << e.what() << "\n";
  }
  return 1;
}
