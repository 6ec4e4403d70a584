#pragma once
// The synthetic scene: a textured square target on a textured table, filmed by a moving pinhole camera.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "capture/frame_source.h"

namespace quorl {

// Pinhole intrinsics for the current frame size: camera point (X, Y, Z) lands on pixel column
// fx X/Z + cx and pixel row fy Y/Z + cy (rows downwards).
struct PinholeIntrinsics {
  double fx = 0.0;
  double fy = 0.0;
  double cx = 0.0;
  double cy = 0.0;
};

// The shipped calibration (a 640 x 480 camera, focal length 600 px, principal point at the centre)
// scaled to width x height by the horizontal ratio width / 640, the principal point at (width/2, height/2).
PinholeIntrinsics DefaultIntrinsics(int width, int height);

// Camera paths. Time runs at 30 frames per second. At frame 0 every path shows the target front-on in the
// middle of the picture, its longer side half the picture height (seed-independent). Except in kLeave,
// the camera backs away wherever the path would bring a target corner within 6 % of the picture height of
// the picture's edge, so the whole target stays in view.
//  kOrbit:   tilt up to 45 degrees around a turning axis, distance 0.7x..1.5x, in-plane rotation 0..90
//            degrees, slow (under 1 degree and 1.5 % of distance per frame); the target stays in view.
//  kZoom:    distance 0.6x..2.0x with a slight tilt.
//  kSpin:    continuous in-plane rotation at 45 degrees per second with a slight tilt.
//  kShake:   hand-held shake: a few hertz of pan, tilt, roll and distance, over 10 px per frame at 320x240.
//  kOcclude: a gentle orbit while a plain bar crosses part of the target every 5 seconds.
//  kLeave:   the camera pans until the target is wholly out of the picture, waits, and pans back (8 s cycle).
enum class MotionProfile { kOrbit, kZoom, kSpin, kShake, kOcclude, kLeave };

// "orbit", "zoom", "spin", "shake", "occlude", "leave"; nothing for any other name.
std::optional<MotionProfile> ParseMotionProfile(std::string_view name);
const char* MotionProfileName(MotionProfile profile);
// The names above joined with ", ", for messages and help texts.
std::string MotionProfileList();

// Picture degradations, all off by default. Noise and the gain phase follow the seed.
//  noiseSigma:    standard deviation of additive Gaussian noise per channel, in grey levels (0..64).
//  blurSigma:     Gaussian blur radius in pixels (0..10), as from a soft lens.
//  gainAmplitude: slow brightness change: gain 1 +- gainAmplitude over a 7-second cycle (0..0.9).
struct SceneEffects {
  double noiseSigma = 0.0;
  double blurSigma = 0.0;
  double gainAmplitude = 0.0;
};

struct SceneSettings {
  int width = 320;
  int height = 240;
  // For width x height; fx, fy > 0. Unset: DefaultIntrinsics(width, height).
  std::optional<PinholeIntrinsics> intrinsics;
  MotionProfile profile = MotionProfile::kOrbit;
  uint32_t seed = 1;  // selects the path's free phases and the noise; the path starts at the same pose
  SceneEffects effects;
  // Image file shown as the target instead of the built-in texture; its longer side becomes the target's
  // width or height of 1 unit, the aspect ratio is kept. Empty: the built-in texture.
  std::string targetImage;
};

// Camera pose of one frame. World: the target lies in the plane z = 0 with its centre at the origin, x to
// the right and y down its face, in units of the target's longer side; the camera looks towards +z.
// A world point X maps to camera coordinates rotation * X + translation (rotation row-major).
struct ScenePose {
  std::array<double, 9> rotation{};
  std::array<double, 3> translation{};
};

class SyntheticScene final : public FrameSource {
 public:
  // Builds the textures. Nothing, with `error` set, for an invalid size, intrinsics that are not positive
  // and finite, effects outside their ranges, or a target image that cannot be read.
  static std::unique_ptr<SyntheticScene> Create(const SceneSettings& settings, std::string& error);

  // Renders the next frame (frame 0 first) and advances.
  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return width_; }
  int height() const override { return height_; }
  std::string description() const override;
  double frameRate() const override { return 30.0; }
  // Corners of the last frame read; nothing before the first read.
  std::optional<FrameCorners> trueCorners() const override;
  // Any valid size; the intrinsics scale by the horizontal ratio (as the calibration file does) and the
  // principal point keeps its relative position. The frame count carries on.
  bool setFrameSize(int width, int height) override;
  // Replaces the intrinsics (for the current frame size), e.g. with the calibration rescaled by the caller.
  // Returns false, changing nothing, unless fx, fy > 0 and all are finite.
  bool setIntrinsics(const PinholeIntrinsics& intrinsics);

  // Renders frame `index` (>= 0) into `bgr` (resized to the frame size, 8-bit BGR) without advancing.
  void render(int index, cv::Mat& bgr);
  // Pose, and target corners (the target's own top-left, top-right, bottom-right, bottom-left, which is
  // clockwise in the picture from the picture's top-left at frame 0), of frame `index`.
  ScenePose poseAt(int index) const;
  FrameCorners cornersAt(int index) const;
  // Index of the frame the next read() renders.
  int nextIndex() const { return next_; }
  void seek(int index) { next_ = index < 0 ? 0 : index; }

  const PinholeIntrinsics& intrinsics() const { return intrinsics_; }
  // Target extent in world units: the longer side is 1.
  double targetWidth() const { return targetHalf_[0] * 2.0; }
  double targetHeight() const { return targetHalf_[1] * 2.0; }

 private:
  SyntheticScene() = default;
  void prepareNoise();

  int width_ = 0;
  int height_ = 0;
  PinholeIntrinsics intrinsics_;
  MotionProfile profile_ = MotionProfile::kOrbit;
  uint32_t seed_ = 1;
  SceneEffects effects_;
  std::string targetName_;
  std::array<double, 2> targetHalf_{0.5, 0.5};
  std::array<double, 8> phases_{};  // seed-dependent path phases in [0, 1)

  // Mip levels, each half the size of the one before. Target level 0 is at most 512 texels wide; each
  // target level has a one-texel rim (a copy of its edge) and a coverage mask (255 inside, 0 on the rim).
  // The background levels hold 2 x 2 copies of the seamless background tile; they (and the built-in target
  // texture) are built once per process and shared read-only by all scenes.
  std::vector<cv::Mat> targetLevels_;
  std::vector<cv::Mat> targetMasks_;
  std::vector<cv::Mat> backgroundLevels_;
  double targetTexelsPerUnit_ = 0.0;  // at level 0
  // Noise split into its positive and negative parts over a frame plus a margin; each frame uses a
  // seed-dependent window of it.
  cv::Mat noisePlus_, noiseMinus_;
  cv::Mat frame_;  // scratch for read()
  cv::Mat targetPatch_, targetCover_;  // scratch for render()

  int next_ = 0;
  int last_ = -1;  // index of the last frame read, -1 before the first
};

}  // namespace quorl
