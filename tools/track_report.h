#pragma once
// What the headless trackers share: opening a source with the calibration's camera, the per-frame CSV
// and the summary, so that runs of different trackers on the same frames compare line by line.

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/open_source.h"
#include "camera/camera_param.h"
#include "camera/shipped_files.h"
#include "features/model.h"
#include "geometry/pose.h"
#include "tools/track_options.h"
#include "tracker/tracker.h"

namespace quorl {

class TrackSummary;

// A target's width in model units (kModelSquare's side; a picture's too).
inline constexpr double kModelWidth = 2.0 * kModelSquare[1].x;

// The checks of a run before its first frame. An unusable calibration named by --camera-params stops the
// run (exit code 2); one found by default is a warning, and the run goes on without a pose. --corners that
// leave no part of the target inside the frame stop it too (2); --corners that cross themselves are a
// warning. Returns the exit code when the run must stop.
std::optional<int> CheckTrackInput(const TrackArgs& args, const TrackCalibration& calibration,
                                   const FrameSource& source, TrackSummary& summary);

// Opens the source of `args` at args.size. The synthetic scene films through `camera` (resized to the
// frame) when given, else through its default camera, and shows args.targetImage as its target. With
// --size given, sources of their own size (files, sequences, images, cameras) are asked for that size:
// files are scaled to it, a camera takes the nearest it offers. Nothing, with `error`, when the source
// does not open or cannot be scaled.
std::unique_ptr<FrameSource> OpenTrackSource(const TrackArgs& args, const std::optional<CameraParam>& camera,
                                             std::string& error);

// Mean distance, in pixels, between the quad's corners and the true ones.
double CornerError(const FrameCorners& quad, const FrameCorners& truth);

// The integer corners of a quad as frame points.
FrameCorners QuadCorners(const Quad& quad);

// True corners rounded to the nearest pixel, as a user would click them.
Quad RoundedCorners(const FrameCorners& corners);

// One row of the per-frame CSV.
struct TrackRow {
  long long frame = 0;
  std::string target;  // the target's name in runs with pictures (the clicked one is "target"), else empty
  int modelActive = 0;
  FrameCorners quad;  // sub-pixel where the tracker estimates so
  std::size_t keypoints = 0;
  std::size_t matches = 0;
  std::size_t inliers = 0;
  int barrier = 0;
  float ms = 0.0f;
  int frameRate = 0;
  TrackingState state = TrackingState::Detecting;
  std::optional<FrameCorners> truth;
  // The target's pose, in `poseWidth` units per target width (model units, the target 200 wide, or a picture's
  // printed width in metres), and the source's true pose (FrameSource::truePose, TargetTruth::pose: in target
  // widths), for the summary's pose error; not written to the CSV.
  std::optional<cv::Matx44d> pose = std::nullopt;
  std::optional<cv::Matx44d> truePose = std::nullopt;
  double poseWidth = kModelWidth;
};

// The angle between a row's rotation and its true one (degrees), and its distance's error as a share of the true
// distance; nothing unless the row is tracking with a pose and a true pose.
struct PoseError {
  double degrees = 0.0;
  double distanceShare = 0.0;
};
std::optional<PoseError> PoseErrorOf(const TrackRow& row);

// The row of `target` in frame `index` from the engine's report of the frame; modelActive is the frame's for the
// clicked target, and 1 for a picture while it is shown.
TrackRow MakeTrackRow(long long index, const FrameReport& report, const TargetReport& target,
                      const std::optional<FrameCorners>& truth);

// What the CSV's columns hold, for the tools' usage texts.
extern const char* const kTrackCsvUsage;

// The CSV file: a header from the first row (with the truth columns when that row has them), then rows.
class TrackCsv {
 public:
  // False when the file cannot be created; "-" is standard output.
  bool Open(const std::string& path);
  // Fixes the columns before the first row: a `target` column after `frame`, and the truth columns (left
  // empty in rows without truth). Without this call the first row decides the truth columns.
  void SetColumns(bool target, bool truth);
  void Write(const TrackRow& row);
  // Flushes and closes the file; false, with `error` naming the file and the reason, when a write failed (a full
  // disk). True when no file was opened.
  bool Finish(std::string& error);

 private:
  std::string path_;
  std::ofstream file_;
  std::ostream* stream_ = nullptr;  // file_, or standard output for "-"
  bool headerWritten_ = false;
  bool targetColumn_ = false;
  std::optional<bool> truthColumns_;
};

// The truth of the target `name` among `truths`, if the source shows it.
std::optional<TargetTruth> TruthOf(const std::vector<TargetTruth>& truths, const std::string& name);

// Per-target counts of a run with pictures, against the source's truth where it has one: the states, the
// frames in which the target was wholly in view and those of them tracked within 10 px, false finds
// (tracking while the target is out of view, or more than 10 px off), and the mean corner error.
class TargetTally {
 public:
  // `truth`: the target's truth in this frame, when the source knows targets; `sourceKnows`: it does.
  void Add(const TrackRow& row, const std::optional<TargetTruth>& truth, bool sourceKnows);
  // The whole frame's processing time, once per frame.
  void AddFrameTime(double ms) { times_.push_back(ms); }
  // One line per target in the order first seen, then the frame times:
  //   target NAME: states tracking T, holding H, lost L, detecting D[; within 10 px W of V frames wholly in
  //   view (P%), false finds F, mean error E px][; pose error: rotation mean R deg, distance mean S %]
  // (the pose error over the tracked rows with a pose whose truth has one).
  void Print(std::FILE* out = stdout) const;

 private:
  struct Counts {
    std::string name;
    long long states[4] = {};
    long long whole = 0, within10 = 0, falseFinds = 0;
    double errorSum = 0.0;
    long long errorCount = 0;
    double degreesSum = 0.0, distanceShareSum = 0.0;
    long long poseCount = 0;
    bool truth = false;
  };
  std::vector<Counts> targets_;
  std::vector<double> times_;
};

// Accumulates the rows of the CSV (written or not) and prints the summary. Tracked rows with a pose and a true pose
// add a pose error (PoseErrorOf).
class TrackSummary {
 public:
  // `tool` prefixes the messages on standard error; the summary goes to `out`.
  explicit TrackSummary(std::string tool, std::FILE* out = stdout) : tool_(std::move(tool)), out_(out) {}

  // Counts the row's state. A registration row counts nothing else; the other rows, frames tracked after
  // registration, add their time and, with the truth, their corner error.
  void Add(const TrackRow& row, bool registration);
  // Prints "<tool>: <text>" on standard error now; `Warn` also keeps "warning: <text>" for the summary,
  // after its registration line.
  void Error(const std::string& text) const;
  void Warn(const std::string& text);
  // Warns when a model registered on `frame` has fewer points than an acceptable consensus needs
  // (kMinConsensus): no frame can then be tracked.
  void CheckModel(long long frame, std::size_t modelPoints);
  void Print(const std::string& source, const std::string& calibration, long long frames, long long registerFrame,
             std::size_t modelPoints) const;
  // The source, calibration, frame count and warnings alone (a run without a clicked target).
  void PrintHead(const std::string& source, const std::string& calibration, long long frames) const;

 private:
  std::string tool_;
  std::FILE* out_;
  std::vector<std::string> warnings_;
  long long stateCounts_[4] = {};  // by TrackingState
  long long within5_ = 0, within10_ = 0, withTruth_ = 0;
  std::vector<double> errors_, times_;
  std::vector<double> rotationErrors_, distanceErrors_;  // degrees, and shares of the true distance
};

}  // namespace quorl
