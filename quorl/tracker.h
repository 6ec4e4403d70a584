#pragma once
// Quorl's tracker as a library: register a planar target by its four corners in one frame, then follow it
// frame by frame. No windows, no OpenGL; frames are OpenCV images.
//
//   quorl::Tracker tracker;
//   tracker.registerTarget(first, {{{x0, y0}, {x1, y1}, {x2, y2}, {x3, y3}}});
//   for (const cv::Mat& frame : frames) {
//     const quorl::TrackResult r = tracker.track(frame);
//     if (r.state == quorl::TrackState::Tracking) draw(r.quad);
//   }
//
// Errors: bad input (options, images, corners) throws std::invalid_argument; a failure inside the tracking (an OpenCV
// error) throws std::runtime_error, after which the tracker starts over from its registered target; a moved-from
// Tracker throws std::logic_error. Nothing else escapes.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace quorl {

struct TrackerOptions {
  int cornerType = 1;  // FAST variant 0..3 for FAST-9..FAST-12
  int barrier = 40;    // initial corner threshold, -255..255; adapted from frame to frame
  int warmup = 30;     // detection ticks (0..100000) on the registration image before it is registered
  bool robust = false;  // the robust tracking mode
  std::string cameraParams;  // calibration file; empty: the shipped Data/camera_param.dat
  // The camera's full calibration (an OpenCV YAML/XML file, or a camera parameter file whose distortion values are
  // applied), used instead of cameraParams: the robust mode and the pictures track through its lens and take their
  // pose with its principal point. Empty: none.
  std::string calibration;
};

// Detecting: no target registered (or nothing to track in it). Tracking: this frame's estimate was accepted. Holding:
// it failed for 1 to 6 frames in a row; the last valid quad is kept. Lost: longer.
enum class TrackState { Detecting, Tracking, Holding, Lost };

// "detecting", "tracking", "holding", "lost": the words of quorl-track's CSV.
const char* stateName(TrackState state);

// One target given as a picture, after a frame.
struct TargetResult {
  std::string name;
  TrackState state = TrackState::Detecting;  // detecting until first found
  std::array<cv::Point2f, 4> quad{};         // the picture's corners in the frame, as TrackResult::quad
  cv::Matx33d homography = cv::Matx33d::zeros();  // picture pixels (as given) to frame pixels, or zero
  // Model-to-camera rigid transform as TrackResult::pose, the picture centred on the origin; in metres when
  // its width was given, else in model units (the picture 200 wide).
  std::optional<cv::Matx44d> pose;
  int matches = 0;
  int inliers = 0;
};

// How well a picture will track: its corners at its own size, their spread over it (0..1) and their
// distinctness (0..1, repeated patterns count against it), and a score of the three (0..1). A poor
// picture has a `warning` ("few distinct corners: this picture will track poorly"), else it is empty.
struct PictureRating {
  int corners = 0;
  double spread = 0.0;
  double distinctness = 0.0;
  double score = 0.0;
  std::string warning;
};

struct TrackResult {
  TrackState state = TrackState::Detecting;
  // Corners of the target in the frame, clockwise from the top-left (sub-pixel in the robust mode). Holding: the last
  // valid quad; lost or detecting: every coordinate -1.
  std::array<cv::Point2f, 4> quad{};
  // Maps registration-frame pixels to this frame's pixels (the registered corners onto `quad`); all zero
  // while detecting or lost.
  cv::Matx33d homography = cv::Matx33d::zeros();
  // Model-to-camera rigid transform, row-major, camera x right, y down, z forwards, target modelled as a square of side
  // 200 centred on the origin; its rotation is orthonormal (the nearest rotation to the one the homography gives). Only
  // while tracking or holding, with a usable calibration.
  std::optional<cv::Matx44d> pose;
  int keypoints = 0;  // corners detected in the frame
  int matches = 0;    // correspondences handed to the estimator that decided the frame
  int inliers = 0;    // those of them that agree with the frame's accepted estimate
  double ms = 0.0;    // processing time of the frame, every target included (FrameReport::ms)
  std::vector<TargetResult> targets;  // the picture targets, in the order they were added
};

// One tracker owns all of its state: trackers may run on different threads at once (each one on one
// thread at a time), and each gives exactly the results it gives alone. Images are CV_8UC3 (BGR) or
// CV_8UC1 of any size (the calibration is resized to the frame size); anything else throws
// std::invalid_argument naming what was given.
class Tracker {
 public:
  // Throws std::invalid_argument when options.cameraParams names a file that cannot be used, or an option
  // is out of range. Without such a file and without the shipped one, tracking works but gives no pose.
  explicit Tracker(TrackerOptions options = {});
  ~Tracker();
  Tracker(Tracker&&) noexcept;
  Tracker& operator=(Tracker&&) noexcept;
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // Runs options.warmup detection ticks on `image`, then registers the target inside `corners` (clockwise
  // from the top-left, pixels, rounded to the nearest; the robust mode then moves them onto the target's edges
  // where its sides show them). Returns the number of model points (0: nothing to track; track() then reports
  // "detecting"). Corners outside the image throw std::invalid_argument.
  int registerTarget(const cv::Mat& image, const std::array<cv::Point2f, 4>& corners);

  // One frame: tracking once a target is registered, else detection only ("detecting"); every picture
  // target is followed beside it.
  TrackResult track(const cv::Mat& image);

  // A target given as a picture (CV_8UC3 BGR or CV_8UC1, sides of 32 to 16384 pixels), the whole picture,
  // under `name` (a name already taken gets "-2", "-3", ...), `width` metres wide (0: model units). Bad
  // pictures throw std::invalid_argument naming them and the reason. Pictures stay through registerTarget.
  PictureRating addPictureTarget(const std::string& name, const cv::Mat& picture, double width = 0.0);
  // The same from a picture file, named by the file's stem.
  PictureRating addPictureFile(const std::string& path, double width = 0.0);
  // The pictures of a picture library (made by quorl-library build), named as above, with their ratings in the
  // library's order: a thousand pictures in about a second. A file that is not a usable library (missing, damaged,
  // cut short, of another version) throws std::invalid_argument naming it and the reason; the pictures stay as
  // they were.
  std::vector<PictureRating> addPictureLibrary(const std::string& path);
  // Forgets every picture target.
  void removePictureTargets();

  // Forgets the target and the adapted threshold: back to the state of a new tracker.
  void reset();

  const TrackerOptions& options() const;

 private:
  struct State;
  State& state(const char* caller) const;  // throws std::logic_error when moved from
  std::unique_ptr<State> state_;
};

}  // namespace quorl
