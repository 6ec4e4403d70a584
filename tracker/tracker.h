#pragma once
// The frame loop: per-tick detection while no model exists, tracking once one is registered.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_setup.h"
#include "camera/lens.h"
#include "features/model.h"
#include "geometry/homography.h"
#include "geometry/pose.h"
#include "geometry/quad.h"
#include "image/corners.h"
#include "image/dib_image.h"
#include "tracker/robust_tracker.h"
#include "tracker/target_set.h"

namespace quorl {

// What the frame loop needs from its host (the desktop view, the headless tool, tests).
// All calls happen on the thread that runs the loop.
class TrackerPlatform {
 public:
  virtual ~TrackerPlatform() = default;
  // True while a frame source is connected; without one, ticks do nothing.
  virtual bool hasCapture() const = 0;
  // Newest frame as a packed 24-bit bitmap (40-byte header, bottom-up rows padded to 4 bytes).
  // Returns false when there is no frame; the bytes stay valid until the next call.
  virtual bool grabFrame(const uint8_t*& packed, std::size_t& byteCount) = 0;
  virtual void startTick() = 0;  // periodic tick, id 1, every kTickPeriodMs
  virtual void stopTick() = 0;
  virtual void requestRepaint() = 0;
  // The detector settings, owned by the Options dialog; refreshSettingsDisplay copies them to its controls.
  virtual TrackerSettings& settings() = 0;
  virtual void refreshSettingsDisplay() = 0;
  // One-button message box with a fixed text; `detail`, when not empty, says what it concerns and why
  // (for a file: "<path>: <reason>").
  virtual void report(const std::string& text, const std::string& detail) = 0;
};

inline constexpr int kTickPeriodMs = 33;

// Yellow 3 x 3 marks (bytes 0, 255, 255) for detected corners; a corner on the picture border marks one pixel.
void MarkCorner(DibImage& display, const CornerPoint& corner);

// What the last tick made of the target. Detecting: no model (or none since Register Frame). Tracking:
// this frame's estimation found an acceptable consensus and its quad passed the check. Holding: the check
// failed (or the estimation did) for 1 to kMaxHeldFrames frames in a row, the last valid quad is shown.
// Lost: more failures than that.
enum class TrackingState { Detecting, Tracking, Holding, Lost };

// Tracking or holding: a quad is shown.
inline bool IsShown(TrackingState state) { return state == TrackingState::Tracking || state == TrackingState::Holding; }

// "detecting", "tracking", "holding", "lost": the words of the headless tools' CSV and summary.
const char* TrackingStateName(TrackingState state);

// The state a checked quad puts the tracker in (Tracking, Holding or Lost alike).
TrackingState TrackingStateOf(QuadState quad);

// The tracker's state record; owned by the view for the program's life.
struct TrackerState {
  CameraSetup camera;  // calibration resized to the frame, projection, clip planes
  PoseEstimate pose;   // homography from the model square and the modelview of the last tracked frame
  ModelRecord model;
  HomographySampler sampler;  // this tracker's sample sequence, carried over registrations
  DibImage frame;    // newest captured frame
  DibImage display;  // copy of frame with marks; the background picture
  GrayImage gray;    // frame in gray, made by each tick's processing (shared by the picture targets)
  int clickMode = 0;
  Quad clicks{{{{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}}}};
  int clickCount = 0;
  int modelActive = 0;
  TrackingState trackingState = TrackingState::Detecting;
  float elapsedMs = 0.0f;  // duration of the last tick when it tracked a registered target or pictures, else 0
  // Matching > Robust Tracking: tracked frames go through `robust`, which registration then also
  // builds (or the first robust frame, from the registered frame, when the mode is switched on later).
  bool robustMode = false;
  RobustTracker robust;
  // Corners of model.currentQuad before rounding (the robust mode's sub-pixel estimate; in the default
  // mode the integer corners themselves).
  std::array<cv::Point2d, 4> quadCorners{};
  // Targets given as pictures, followed in every tick beside the clicked target (in either mode).
  TargetSet pictures;
  // A full calibration (setCalibration): the lens at its own size, and `lens` at the frame's size. With it the
  // robust mode and the picture targets work in ideal pixels and take their pose from PlanarPose with its
  // intrinsics; the default mode keeps its own pose. Shared read-only, so copies of the state may share the table.
  std::optional<CameraLens> calibration;
  std::shared_ptr<const FrameLens> lens;
};

// Takes `calibration` as the camera: its record (rescaled to every frame size, as a camera file is) for the
// projection and the default mode, and its lens for the robust mode and the picture targets. False, nothing
// changed, when its record gives no projection.
bool setCalibration(TrackerState& state, const CameraLens& calibration);

// Loads the calibration file at `path`, resized to width x height, into state.camera. A missing file
// reports "Can't find the camera parameter file!!!"; a bad one "File read error!!!", each with the detail
// "<path>: <reason>"; either way the set-up keeps its previous values. Returns true when loaded.
bool loadCamera(TrackerState& state, const std::string& path, int width, int height, TrackerPlatform& platform);

// Register Frame: stops the tick, resets the model, starts collecting four clicks; the state is Detecting.
void beginRegistration(TrackerState& state, TrackerPlatform& platform);

// A click at frame pixel (x, y); ignored unless collecting. The fourth registers the model from the
// frozen frame and restarts the tick.
void addClick(TrackerState& state, int x, int y, TrackerPlatform& platform);

// Frames per second from the processing time: 1000 / round(ms) in integers; a time that rounds to
// 0 ms keeps `previous`.
int FrameRateFromElapsed(float elapsedMs, int previous);

// Wall-clock timer of the tracked-frame processing on the monotonic clock.
class FrameTimer {
 public:
  void Start();
  void Stop();  // elapsed time since Start, in milliseconds
  float ElapsedMs() const { return elapsedMs_; }

 private:
  std::chrono::steady_clock::time_point start_{};
  float elapsedMs_ = 0.0f;
};

// White width x height pictures and a cleared click state.
void initialise(TrackerState& state, int width, int height);

// One tick: grab, rebuild frame and display, then detect-only or tracked processing and the pictures, then repaint.
// A tick that tracks (a registered target or pictures) is timed from the processing on: elapsedMs and the frame
// rate in the settings; one that does not sets elapsedMs to 0. A tick without a frame (no source, no buffer, or a bitmap that is refused) changes nothing and
// returns false. A frame of another size than the last rescales the calibration to it and restarts the robust mode's
// motion (its next frame searches globally); the registered model stays.
bool tick(TrackerState& state, TrackerPlatform& platform);

// The registration a user makes at the desktop, in one call: `warmup` detection ticks on the platform's current frame,
// Register Frame, then the four corners clicked in order. False, with nothing changed, when there is no frame to
// register on.
bool registerWithCorners(TrackerState& state, const Quad& corners, long long warmup, TrackerPlatform& platform);

// Matching > Robust Tracking. Switching the mode forgets the robust mode's model and motion (its stage switches stay):
// switched on again, it starts from the registered frame.
void setRobustMode(TrackerState& state, bool on);

// After an error thrown out of a tick or a registration (an OpenCV error): a registration in progress ends, and the
// robust mode starts over from the registered frame. The registered model stays.
void recoverFromError(TrackerState& state);

// The name of the clicked target in the reports of every target.
inline constexpr const char* kClickedTargetName = "target";

// A target given as a picture: `picture` (8-bit gray or BGR, as given) under `name`, `width` metres wide
// (0: model units), with FAST-`arc` corners. A name already taken (by another picture, or kClickedTargetName)
// gets "-2", "-3", ... Null, with `error`
// ("<name>: <reason>"), when the picture cannot be a target (see PrepareTargetPicture).
const PictureTarget* addPictureTarget(TrackerState& state, const std::string& name, const cv::Mat& picture, double width,
                                      int arc, std::string& error);
// The picture of a file as given (8-bit BGR), its size checked in its header before it is decoded; empty, with
// `error` ("<path>: <reason>"), for a missing file, an unreadable one or one outside the size limits.
cv::Mat readPictureFile(const std::string& path, std::string& error);
// The same from a picture file, named by the file's stem; `error` is "<path>: <reason>".
const PictureTarget* addPictureFile(TrackerState& state, const std::string& path, double width, int arc,
                                    std::string& error);

// The camera pose `modelview` (row-major, see PoseEstimate) with its rotation replaced by the nearest
// orthonormal one and its translation multiplied by `unit`; nothing when an entry is not finite.
std::optional<cv::Matx44d> RigidPose(const std::array<double, 16>& modelview, double unit);

// One target after the last tick.
//   corners:    tracking: the estimate (sub-pixel in the robust mode and for pictures); holding: the last valid
//               one; otherwise -1 each.
//   homography: tracking or holding: the clicked target's registration-frame pixels (the clicks onto `corners`),
//               or a picture's pixels as given, to frame pixels; otherwise zero.
//   pose:       tracking or holding with a calibration: rigid (RigidPose), the clicked target in model units, a
//               picture in metres when its width was given (else model units: the picture 200 wide).
//   matches:    correspondences handed to the estimator that decided the frame (default mode: the accepted
//               matches; robust mode and pictures: followed points and descriptor matches of the deciding attempt).
//   inliers:    those of `matches` that agree with the frame's estimate; at most `matches`, and 0 in the robust
//               mode when no estimate was accepted.
struct TargetReport {
  std::string name;  // kClickedTargetName for the clicked target
  TrackingState state = TrackingState::Detecting;
  std::array<cv::Point2d, 4> corners{};
  cv::Matx33d homography = cv::Matx33d::zeros();
  std::optional<cv::Matx44d> pose;
  int matches = 0;
  int inliers = 0;
};

// What the last tick made of the frame, as every front end reports it: Quorl's view and stream, quorl-track's CSV
// and JSON, the library and Python are all made from it.
struct FrameReport {
  int keypoints = 0;  // corners detected in the frame at its barrier
  int barrier = 0;
  int modelActive = 0;  // 1 when the frame was processed with the clicked target's model
  // The last tick's processing time, whole (the clicked target and every picture; 0 when it tracked nothing: no
  // registered target and no pictures), and the frame rate the ticks that tracked give (FrameRateFromElapsed).
  double ms = 0.0;
  int frameRate = 0;
  // One record per target: the clicked one (kClickedTargetName) first when it is registered, then the pictures in
  // the order they were added.
  std::vector<TargetReport> targets;

  // The clicked target's record; without a registered one, a detecting record with -1 corners.
  TargetReport Clicked() const;
};
FrameReport reportFrame(const TrackerState& state, const TrackerSettings& settings);

// Tracking with a registered model; returns 0 without a model, else 1. A frame whose estimation did not
// run or found no acceptable consensus (IsConsensusAcceptable) fails the quad check like a bad quad.
int processTrackedFrame(TrackerState& state, TrackerPlatform& platform);

// Detection without a model: corners, optional marks, the 300..500 barrier band, the count.
void processDetectOnly(TrackerState& state, TrackerPlatform& platform);

}  // namespace quorl
