#pragma once
// The synthetic scene: a textured square target on a textured table, filmed by a moving pinhole camera.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/lens.h"
#include "capture/frame_source.h"
#include "capture/lens_view.h"

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
// kApproach and kClutter, the camera backs away wherever the path would bring a target corner within 6 % of
// the picture height of the picture's edge, so the whole target stays in view.
//  kOrbit:    tilt up to 45 degrees around a turning axis, distance 0.7x..1.5x, in-plane rotation 0..90
//             degrees, slow (under 1 degree and 1.5 % of distance per frame); the target stays in view.
//  kZoom:     distance 0.6x..2.0x with a slight tilt.
//  kSpin:     continuous in-plane rotation at 45 degrees per second with a slight tilt.
//  kShake:    hand-held shake: a few hertz of pan, tilt, roll and distance, over 10 px per frame at 320x240.
//  kOcclude:  a gentle orbit while a plain bar crosses part of the target every 5 seconds.
//  kLeave:    the camera pans until the target is wholly out of the picture, waits, and pans back (8 s cycle).
// Harder motions and pictures:
//  kApproach: the camera moves in until the target is 2.7x its frame-0 size and back (9 s cycle), with a
//             slight tilt; at the closest point the picture cuts off part of the target.
//  kRecede:   the camera backs away until the target is 0.37x its frame-0 size and back (10 s cycle).
//  kTilt:     tilt to 72 degrees about the horizontal axis, back, then the same about the vertical axis
//             (6 s each: 2.5 s out, 1 s held, 2.5 s back); the side that tilts away alternates per cycle.
//  kBlur:     the shake at half its amplitude; from 1 s on, one of every three 5-frame runs is smeared by a
//             linear motion blur of 5 to 11 px along the target's motion in the picture (motionBlurAt).
//  kDim:      kOcclude's orbit without the bar; gain 1 + 0.6 sin(2 pi t / 8 s), so 0.4..1.6, and sensor
//             noise of sigma 8.
//  kClutter:  a busy background (MakeClutterTile); every 10 s the camera pans until the target is wholly
//             out, backs away to twice the distance while out, pans back to find it at half size, holds,
//             and comes back to the frame-0 distance.
//  kCut:      a cut every second: each shot's camera is 30..50 degrees of rotation and a distance ratio of
//             0.6..1.6 from the shot before (tilt up to 40 degrees, distance 0.7x..2x), with a slow drift.
//  kStill:    the frame-0 camera, still, with sensor noise of sigma 4 (for jitter).
enum class MotionProfile {
  kOrbit,
  kZoom,
  kSpin,
  kShake,
  kOcclude,
  kLeave,
  kApproach,
  kRecede,
  kTilt,
  kBlur,
  kDim,
  kClutter,
  kCut,
  kStill
};

// Every profile, in the order above.
std::span<const MotionProfile> AllMotionProfiles();
// The profiles' names: "orbit", "zoom", ..., "still"; nothing for any other name.
std::optional<MotionProfile> ParseMotionProfile(std::string_view name);
const char* MotionProfileName(MotionProfile profile);
// The names joined with ", ", for messages and help texts.
std::string MotionProfileList();

// Picture degradations, all off by default. Noise and the gain phase follow the seed. The dim and still
// profiles add their own noise to noiseSigma (in quadrature), and dim multiplies its gain with this one.
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
  // Films through this lens (rescaled to the frame size; without skew); its intrinsics replace `intrinsics`,
  // and the true corners are where the lens shows them.
  std::optional<CameraLens> lens;
};

// Where the camera of a profile is at one moment, before the framing rule.
struct CameraPath {
  double tilt = 0.0;      // angle between the optical axis and the target's normal, radians
  double azimuth = 0.0;   // direction of the in-plane axis the camera tilts about, radians
  double roll = 0.0;      // rotation about the optical axis, radians
  double distance = 1.0;  // along the optical axis to the look-at point, in frame-0 distances
  double panX = 0.0;      // look-at point on the target plane, world units
  double panY = 0.0;
};

// Motion blur of one frame: a straight smear `length` pixels long (0: none) in the picture direction
// `angle` (radians, x right, y down).
struct MotionBlur {
  double length = 0.0;
  double angle = 0.0;
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
  std::optional<cv::Matx44d> truePose() const override;
  // Any valid size; the intrinsics scale by the horizontal ratio (as the calibration file does) and the
  // principal point keeps its relative position. The frame count carries on.
  bool setFrameSize(int width, int height) override;
  // Replaces the intrinsics (for the current frame size), e.g. with the calibration rescaled by the caller.
  // Returns false, changing nothing, unless fx, fy > 0 and all are finite, or when filming through a lens.
  bool setIntrinsics(const PinholeIntrinsics& intrinsics);

  // Renders frame `index` (>= 0) into `bgr` (resized to the frame size, 8-bit BGR) without advancing.
  void render(int index, cv::Mat& bgr);
  // Pose, and target corners (the target's own top-left, top-right, bottom-right, bottom-left, which is
  // clockwise in the picture from the picture's top-left at frame 0, in frame pixels), of frame `index`. The cut profile
  // draws its shots on first use, so even these const calls must not run on two threads at once.
  ScenePose poseAt(int index) const;
  FrameCorners cornersAt(int index) const;
  // The blur of frame `index`; none outside the blur profile.
  MotionBlur motionBlurAt(int index) const;
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
  bool prepareLens(std::string& error);  // the lens view for the frame size
  // Background, target, occluder and motion blur of frame `index` through a pinhole camera `k` over `size`.
  void renderView(int index, const PinholeIntrinsics& k, cv::Size size, cv::Mat& bgr);
  CameraPath shot(int k) const;

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

  // Cut profile: the camera of each shot so far (shot k covers frames 30k..30k+29), grown on demand by
  // poseAt, as each shot is drawn relative to the one before; at most 65536 shots (36 hours, 3 MiB),
  // after which the last shot stays.
  mutable std::vector<CameraPath> shots_;

  int next_ = 0;
  int last_ = -1;  // index of the last frame read, -1 before the first

  std::optional<CameraLens> lens_;            // as given
  std::shared_ptr<const LensView> lensView_;  // at the frame size, when filming through a lens
  cv::Mat canvas_;                            // scratch: the ideal picture before the lens
};

}  // namespace quorl
