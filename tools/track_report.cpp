#include "tools/track_report.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "camera/camera_setup.h"
#include "camera/shipped_files.h"
#include "geometry/homography.h"
#include "geometry/quad.h"

namespace quorl {
namespace {

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)))];
}

}  // namespace

std::optional<int> CheckTrackInput(const TrackArgs& args, const TrackCalibration& calibration,
                                   const FrameSource& source, TrackSummary& summary) {
  if (!calibration.param) {
    if (!args.cameraParams.empty() || !args.calibration.empty()) {
      summary.Error(calibration.problem);
      return 2;
    }
    summary.Warn(calibration.problem + "; going on without a calibration: no pose can be computed");
  }
  if (args.corners) {
    const std::string frame = std::to_string(source.width()) + "x" + std::to_string(source.height());
    if (!QuadCoversFramePixel(*args.corners, source.width(), source.height())) {
      summary.Error("the --corners leave no part of the target inside the " + frame + " frame");
      return 2;
    }
    if (IsQuadSelfCrossing(*args.corners))
      summary.Warn(
          "the --corners cross themselves; give them in order around the target, clockwise");
  }
  return std::nullopt;
}

std::unique_ptr<FrameSource> OpenTrackSource(const TrackArgs& args, const std::optional<CameraParam>& camera,
                                             std::string& error) {
  const int width = args.size.width, height = args.size.height;
  FrameSourceOptions options;
  options.width = width;
  options.height = height;
  options.seed = args.seed;
  options.targetImage = args.targetImage;
  for (const PictureArg& picture : args.pictures) options.pictures.push_back(picture.path);
  options.loop = false;
  if (!args.lens.empty() && !(options.lens = LoadCalibrationFile(args.lens, error))) {
    error = "cannot film through the lens: " + error;
    return nullptr;
  }
  if (camera) {
    if (const auto k = cameraIntrinsicsForFrame(*camera, width, height))
      options.intrinsics = PinholeIntrinsics{k->fx, k->fy, k->cx, k->cy};
  }
  std::unique_ptr<FrameSource> source = OpenFrameSource(args.source, options, error);
  if (source && args.sizeGiven && (source->width() != width || source->height() != height) &&
      !source->setFrameSize(width, height)) {
    error = "cannot deliver " + source->description() + " at " + std::to_string(width) + "x" +
            std::to_string(height);
    return nullptr;
  }
  return source;
}

double CornerError(const FrameCorners& quad, const FrameCorners& truth) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) sum += std::hypot(quad[i].x - truth[i].x, quad[i].y - truth[i].y);
  return sum / 4.0;
}

FrameCorners QuadCorners(const Quad& quad) {
  FrameCorners corners;
  for (int i = 0; i < 4; ++i) corners[i] = cv::Point2d(quad.pt[i].x, quad.pt[i].y);
  return corners;
}

TrackRow MakeTrackRow(long long index, const FrameReport& report, const TargetReport& target,
                      const std::optional<FrameCorners>& truth) {
  const bool clicked = target.name == kClickedTargetName;
  return TrackRow{index,
                  target.name,
                  clicked ? report.modelActive : (IsShown(target.state) ? 1 : 0),
                  target.corners,
                  static_cast<std::size_t>(report.keypoints),
                  static_cast<std::size_t>(target.matches),
                  static_cast<std::size_t>(target.inliers),
                  report.barrier,
                  static_cast<float>(report.ms),
                  report.frameRate,
                  target.state,
                  truth,
                  target.pose,
                  std::nullopt};
}

Quad RoundedCorners(const FrameCorners& c) {
  Quad q;
  for (int i = 0; i < 4; ++i)
    q.pt[i] = {static_cast<int32_t>(std::floor(c[i].x + 0.5)), static_cast<int32_t>(std::floor(c[i].y + 0.5))};
  return q;
}

const char* const kTrackCsvUsage =
    R"(CSV columns, one row per frame from frame K on:
  frame               frame number
  modelActive         1 when the frame was processed with a model (the pose is drawn from the quad)
  quad_x0..quad_y3    the quad shown, corners in click order; -1 everywhere while lost
  keypoints           corners detected in the frame (model points on the registration row)
  matches, inliers    correspondences handed to the estimator that decided the frame, and those of
                      them that agree with its estimate (default mode: the accepted matches and the
                      best consensus set; robust mode: followed points and descriptor matches of
                      the deciding attempt, and 0 inliers when no estimate was accepted)
  barrier             detector threshold after the frame
  ms, frameRate       processing time of the whole frame (every target) and the frame rate it gives
  state               detecting, tracking, holding or lost (tracking: the estimation found an
                      acceptable consensus and the quad passed its check)
  gt_x0..gt_y3, err_px  true corners and mean corner error in pixels (sources that know them;
                      empty while a target is out of view)
With --picture, one row per frame and target, with a `target` column after `frame`: the clicked
target (--corners) is named `target`, each picture by its file's stem; ms is the whole frame's
processing time, the same on each of its rows.
)";

void TrackCsv::SetColumns(bool target, bool truth) {
  targetColumn_ = target;
  truthColumns_ = truth;
}

bool TrackCsv::Open(const std::string& path) {
  path_ = path;
  if (path == "-") {
    stream_ = &std::cout;
    return true;
  }
  file_.open(path);
  stream_ = &file_;
  return file_.is_open();
}

bool TrackCsv::Finish(std::string& error) {
  if (stream_ == nullptr) return true;
  stream_->flush();
  bool written = stream_->good();
  if (file_.is_open()) {
    file_.close();
    written = written && !file_.fail();
  }
  if (written) return true;
  error = "cannot write " + (path_ == "-" ? std::string("the CSV to standard output") : path_) + ": " +
          std::strerror(errno != 0 ? errno : EIO);
  return false;
}

void TrackCsv::Write(const TrackRow& r) {
  if (stream_ == nullptr) return;
  std::ostream& out_ = *stream_;
  if (!truthColumns_) truthColumns_ = r.truth.has_value();
  if (!headerWritten_) {
    out_ << (targetColumn_ ? "frame,target," : "frame,")
         << "modelActive,quad_x0,quad_y0,quad_x1,quad_y1,quad_x2,quad_y2,quad_x3,quad_y3,"
            "keypoints,matches,inliers,barrier,ms,frameRate,state";
    if (*truthColumns_) out_ << ",gt_x0,gt_y0,gt_x1,gt_y1,gt_x2,gt_y2,gt_x3,gt_y3,err_px";
    out_ << "\n";
    headerWritten_ = true;
  }
  out_ << r.frame << ',';
  if (targetColumn_) out_ << r.target << ',';
  out_ << r.modelActive;
  for (const cv::Point2d& c : r.quad) out_ << ',' << c.x << ',' << c.y;
  out_ << ',' << r.keypoints << ',' << r.matches << ',' << r.inliers << ',' << r.barrier << ',' << r.ms << ','
       << r.frameRate << ',' << TrackingStateName(r.state);
  if (r.truth && *truthColumns_) {
    for (const cv::Point2d& c : *r.truth) out_ << ',' << c.x << ',' << c.y;
    out_ << ',' << CornerError(r.quad, *r.truth);
  } else if (*truthColumns_) {
    out_ << ",,,,,,,,,";
  }
  out_ << "\n";
}

std::optional<TargetTruth> TruthOf(const std::vector<TargetTruth>& truths, const std::string& name) {
  const auto it = std::find_if(truths.begin(), truths.end(), [&](const TargetTruth& t) { return t.name == name; });
  if (it == truths.end()) return std::nullopt;
  return *it;
}

std::optional<PoseError> PoseErrorOf(const TrackRow& row) {
  if (row.state != TrackingState::Tracking || !row.pose || !row.truePose) return std::nullopt;
  const cv::Matx33d difference = row.pose->get_minor<3, 3>(0, 0) * row.truePose->get_minor<3, 3>(0, 0).t();
  const double degrees = std::acos(std::clamp((cv::trace(difference) - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / CV_PI;
  const double distance = cv::norm(row.pose->get_minor<3, 1>(0, 3)) / row.poseWidth;
  return PoseError{degrees, std::fabs(distance / cv::norm(row.truePose->get_minor<3, 1>(0, 3)) - 1.0)};
}

void TargetTally::Add(const TrackRow& row, const std::optional<TargetTruth>& truth, bool sourceKnows) {
  auto it = std::find_if(targets_.begin(), targets_.end(), [&](const Counts& c) { return c.name == row.target; });
  if (it == targets_.end()) {
    targets_.push_back(Counts{row.target});
    it = targets_.end() - 1;
  }
  Counts& c = *it;
  ++c.states[static_cast<int>(row.state)];
  if (!sourceKnows) return;
  c.truth = true;
  const bool tracking = row.state == TrackingState::Tracking;
  const double error = truth ? CornerError(row.quad, truth->corners) : INFINITY;
  if (truth && truth->whole) {
    ++c.whole;
    c.within10 += tracking && error < 10.0;
  }
  if (tracking && !(error < 10.0)) ++c.falseFinds;
  if (tracking && truth) {
    c.errorSum += error;
    ++c.errorCount;
  }
  if (const std::optional<PoseError> pose = PoseErrorOf(row)) {
    c.degreesSum += pose->degrees;
    c.distanceShareSum += pose->distanceShare;
    ++c.poseCount;
  }
}

void TargetTally::Print(std::FILE* out) const {
  for (const Counts& c : targets_) {
    std::fprintf(out, "target %s: states tracking %lld, holding %lld, lost %lld, detecting %lld", c.name.c_str(),
                c.states[static_cast<int>(TrackingState::Tracking)], c.states[static_cast<int>(TrackingState::Holding)],
                c.states[static_cast<int>(TrackingState::Lost)], c.states[static_cast<int>(TrackingState::Detecting)]);
    if (c.truth)
      std::fprintf(out, "; within 10 px %lld of %lld frames wholly in view (%.1f%%), false finds %lld, mean error %.2f px",
                  c.within10, c.whole, c.whole > 0 ? 100.0 * static_cast<double>(c.within10) / c.whole : 0.0,
                  c.falseFinds, c.errorCount > 0 ? c.errorSum / static_cast<double>(c.errorCount) : std::nan(""));
    if (c.poseCount > 0)
      std::fprintf(out, "; pose error: rotation mean %.2f deg, distance mean %.2f %%",
                   c.degreesSum / static_cast<double>(c.poseCount),
                   100.0 * c.distanceShareSum / static_cast<double>(c.poseCount));
    std::fprintf(out, "\n");
  }
  if (!times_.empty())
    std::fprintf(out, "ms per frame: median %.2f, 95th percentile %.2f\n", percentile(times_, 0.5), percentile(times_, 0.95));
}

void TrackSummary::Error(const std::string& text) const { std::fprintf(stderr, "%s: %s\n", tool_.c_str(), text.c_str()); }

void TrackSummary::Warn(const std::string& text) {
  Error("warning: " + text);
  warnings_.push_back(text);
}

void TrackSummary::CheckModel(long long frame, std::size_t modelPoints) {
  if (modelPoints >= kMinConsensus) return;
  Warn("the target registered on frame " + std::to_string(frame) + " has " + std::to_string(modelPoints) +
       " model points; tracking needs at least " + std::to_string(kMinConsensus));
}

void TrackSummary::Add(const TrackRow& row, bool registration) {
  ++stateCounts_[static_cast<int>(row.state)];
  if (registration) return;
  times_.push_back(row.ms);
  if (!row.truth) return;
  const double err = CornerError(row.quad, *row.truth);
  ++withTruth_;
  within5_ += err < 5.0;
  within10_ += err < 10.0;
  if (row.state == TrackingState::Tracking) errors_.push_back(err);
  if (const std::optional<PoseError> pose = PoseErrorOf(row)) {
    rotationErrors_.push_back(pose->degrees);
    distanceErrors_.push_back(pose->distanceShare);
  }
}

void TrackSummary::PrintHead(const std::string& source, const std::string& calibration, long long frames) const {
  std::FILE* out = out_;
  std::fprintf(out, "source: %s\n", source.c_str());
  std::fprintf(out, "calibration: %s\n", calibration.c_str());
  std::fprintf(out, "frames: %lld\n", frames);
  for (const std::string& w : warnings_) std::fprintf(out, "warning: %s\n", w.c_str());
}

void TrackSummary::Print(const std::string& source, const std::string& calibration, long long frames,
                         long long registerFrame, std::size_t modelPoints) const {
  std::FILE* out = out_;
  std::fprintf(out, "source: %s\n", source.c_str());
  std::fprintf(out, "calibration: %s\n", calibration.c_str());
  std::fprintf(out, "frames: %lld, registered on frame %lld with %zu model points\n", frames, registerFrame, modelPoints);
  for (const std::string& w : warnings_) std::fprintf(out, "warning: %s\n", w.c_str());
  long long rows = 0;
  for (long long n : stateCounts_) rows += n;
  std::fprintf(out, "states of the %lld frames from frame %lld on:", rows, registerFrame);
  const char* separator = " ";
  for (TrackingState s : {TrackingState::Detecting, TrackingState::Tracking, TrackingState::Holding,
                          TrackingState::Lost}) {
    std::fprintf(out, "%s%s %lld", separator, TrackingStateName(s), stateCounts_[static_cast<int>(s)]);
    separator = ", ";
  }
  std::fprintf(out, "\ntracked: %lld of %zu frames after registration\n",
              stateCounts_[static_cast<int>(TrackingState::Tracking)], times_.size());
  if (withTruth_ > 0) {
    std::fprintf(out, "within 5 px: %lld (%.1f%%), within 10 px: %lld (%.1f%%)\n", within5_,
                100.0 * static_cast<double>(within5_) / static_cast<double>(withTruth_), within10_,
                100.0 * static_cast<double>(within10_) / static_cast<double>(withTruth_));
    double mean = 0.0;
    for (double e : errors_) mean += e;
    std::fprintf(out, 
        "corner error of tracked frames: mean %.2f px, 95th percentile %.2f px\n",
        errors_.empty() ? std::nan("") : mean / static_cast<double>(errors_.size()), percentile(errors_, 0.95));
  }
  if (!rotationErrors_.empty()) {
    double rotation = 0.0, distance = 0.0;
    for (std::size_t i = 0; i < rotationErrors_.size(); ++i) rotation += rotationErrors_[i], distance += distanceErrors_[i];
    const double n = static_cast<double>(rotationErrors_.size());
    std::fprintf(out, "pose error of tracked frames: rotation mean %.2f deg, 95th percentile %.2f deg; distance mean %.2f %%, "
                "95th percentile %.2f %%\n",
                rotation / n, percentile(rotationErrors_, 0.95), 100.0 * distance / n,
                100.0 * percentile(distanceErrors_, 0.95));
  }
  std::fprintf(out, "ms per tracked frame: median %.2f, 95th percentile %.2f\n", percentile(times_, 0.5),
              percentile(times_, 0.95));
}

}  // namespace quorl
