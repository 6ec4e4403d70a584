#pragma once
// The tracking engine without a window: the frame loop with its headless host, as quorl-track and the library drive it.
// Frames go in as packed bitmaps; a target is registered as a user registers it at the desktop (detection ticks,
// Register Frame, four clicks); each frame gives a FrameReport.

#include <optional>
#include <string>

#include "camera/camera_param.h"
#include "tracker/headless_platform.h"
#include "tracker/tracker.h"

namespace quorl {

// Limits of the engine's options, the same for every front end.
inline constexpr int kMaxCornerType = 3;         // FAST-9 .. FAST-12
inline constexpr int kMaxBarrier = 255;          // |barrier|
inline constexpr long long kMaxWarmup = 100000;  // detection ticks before a registration

struct EngineOptions {
  int cornerType = 1;     // FAST variant 0..kMaxCornerType for FAST-9..FAST-12
  int barrier = 40;       // initial corner threshold, -kMaxBarrier..kMaxBarrier; adapted frame to frame
  long long warmup = 30;  // detection ticks on the registration frame before it is registered
  bool robust = false;    // the robust tracking mode
  RobustStages stages;    // its stages (all on by default)
};

// Empty when every option is within its limits; otherwise "<option> must be <low>..<high>, not <value>" for the first
// that is not (options named as in EngineOptions).
std::string CheckEngineOptions(const EngineOptions& options);

// Ownership: the engine owns its loop state and host; nothing is shared between engines, so engines may run on
// different threads at once (each on one thread at a time). The ANN library's process-wide calls are serialised by the
// keypoint index.
class TrackingEngine {
 public:
  // `name` starts the messages printed on standard error. The calibration, when given, is rescaled to every frame size
  // the engine sees; without one, tracking works but gives no pose. The options must pass CheckEngineOptions.
  TrackingEngine(const EngineOptions& options, std::string name, const std::optional<CameraParam>& calibration);

  // The buffer the next frame is written into (a packed 24-bit bitmap, see TrackerPlatform::grabFrame).
  std::vector<uint8_t>& frameBuffer() { return platform_.packed; }

  // One tick on the buffered frame. False when the frame is refused (nothing changes then).
  bool Track();

  // Registers the target at `corners` (frame pixels, clockwise from the top-left) on the buffered frame, after
  // options.warmup detection ticks on it. False when the frame is refused.
  bool Register(const Quad& corners);

  FrameReport Report() const { return reportFrame(state_, platform_.values); }
  // A target given as a picture file or a picture (see addPictureFile and addPictureTarget), with the
  // engine's FAST variant.
  const PictureTarget* AddPicture(const std::string& path, double width, std::string& error) {
    return addPictureFile(state_, path, width, options_.cornerType + 9, error);
  }
  const PictureTarget* AddPicture(const std::string& name, const cv::Mat& picture, double width, std::string& error) {
    return addPictureTarget(state_, name, picture, width, options_.cornerType + 9, error);
  }
  // A full calibration (see setCalibration): the robust mode and the picture targets then track through its lens
  // and take their pose with its intrinsics. False when its record gives no projection.
  bool SetCalibration(const CameraLens& calibration) { return setCalibration(state_, calibration); }
  // After an exception out of Track or Register: see recoverFromError.
  void RecoverFromError() { recoverFromError(state_); }
  const TrackerState& state() const { return state_; }
  TrackerState& state() { return state_; }

 private:
  EngineOptions options_;
  HeadlessPlatform platform_;
  TrackerState state_;
};

}  // namespace quorl
