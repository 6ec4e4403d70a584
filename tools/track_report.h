#pragma once
// What the headless trackers share: opening a source with the calibration's camera, the per-frame CSV
// and the summary, so that runs of different trackers on the same frames compare line by line.

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/open_source.h"
#include "features/model.h"
#include "tracker/tracker.h"

namespace quorl {

// Opens `sourceName` at width x height. The synthetic scene films through the camera of the calibration file at
// `cameraParams` (resized to the frame) when it can be read, else through its default camera, and shows the
// picture in `targetImage` as its target (empty: its built-in texture).
std::unique_ptr<FrameSource> OpenTrackSource(const std::string& sourceName, int width, int height, uint32_t seed,
                                             const std::string& targetImage, const std::string& cameraParams,
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
};

// What the CSV's columns hold, for the tools' usage texts.
extern const char* const kTrackCsvUsage;

// The CSV file: a header from the first row (with the truth columns when that row has them), then rows.
class TrackCsv {
 public:
  // False when the file cannot be created.
  bool Open(const std::string& path);
  void Write(const TrackRow& row);

 private:
  std::ofstream out_;
  bool headerWritten_ = false;
};

// Accumulates the rows of the CSV (written or not) and prints the summary.
class TrackSummary {
 public:
  // Counts the row's state. A registration row counts nothing else; the other rows, frames tracked after
  // registration, add their time and, with the truth, their corner error.
  void Add(const TrackRow& row, bool registration);
  void Print(const std::string& source, long long frames, long long registerFrame, std::size_t modelPoints) const;

 private:
  long long stateCounts_[4] = {};  // by TrackingState
  long long within5_ = 0, within10_ = 0, withTruth_ = 0;
  std::vector<double> errors_, times_;
};

}  // namespace quorl
