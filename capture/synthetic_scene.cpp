#include "capture/synthetic_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/scene_textures.h"

namespace quorl {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kFps = 30.0;
// At frame 0 the target's longer side spans this fraction of the picture height.
constexpr double kFrontSpan = 0.5;
// Background texels per world unit at level 0 (the target has its own texture's density).
constexpr double kBackgroundTexelsPerUnit = 200.0;
// Outside the leave profile the camera backs away when a corner would come closer than this fraction of
// the picture height to the picture's edge.
constexpr double kFramingMargin = 0.06;
// Mip levels kept per texture; the smallest is at least 16 texels wide.
constexpr int kMaxLevels = 6;
// Margin of the noise field around the frame: the range of the per-frame window offset.
constexpr int kNoiseMargin = 64;
// Cut profile: frames per shot, and the shots drawn at most (36 hours); later frames keep the last shot.
constexpr int kFramesPerShot = 30;
constexpr int kMaxShots = 1 << 16;
// Blur profile: frames per run of equally treated frames; one run of every three is blurred.
constexpr int kBlurRun = 5;

// Every profile in enumeration order, and its name at the same index.
constexpr MotionProfile kProfileOrder[] = {
    MotionProfile::kOrbit,    MotionProfile::kZoom,   MotionProfile::kSpin, MotionProfile::kShake,
    MotionProfile::kOcclude,  MotionProfile::kLeave,  MotionProfile::kApproach, MotionProfile::kRecede,
    MotionProfile::kTilt,     MotionProfile::kBlur,   MotionProfile::kDim,  MotionProfile::kClutter,
    MotionProfile::kCut,      MotionProfile::kStill};
constexpr const char* kProfileNames[] = {"orbit",  "zoom", "spin", "shake", "occlude", "leave", "approach",
                                         "recede", "tilt", "blur", "dim",   "clutter", "cut",   "still"};
static_assert(std::size(kProfileOrder) == std::size(kProfileNames));
static_assert([] {
  for (std::size_t i = 0; i < std::size(kProfileOrder); ++i)
    if (static_cast<std::size_t>(kProfileOrder[i]) != i) return false;
  return true;
}());

uint64_t splitMix(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// 0 below 0, 1 above 1, a smooth S in between (zero slope at both ends).
double ease(double x) {
  x = std::clamp(x, 0.0, 1.0);
  return x * x * (3.0 - 2.0 * x);
}
double wave(double s, double period, double phase) { return std::sin(2.0 * kPi * (s / period + phase)); }
// 0 at s = 0, rising smoothly to 1 and back over `period`.
double swell(double s, double period) { return 0.5 * (1.0 - std::cos(2.0 * kPi * s / period)); }
// exp of a sinusoid that starts at 1 (log 0) and ranges over [lo, hi].
double logSwing(double s, double period, double lo, double hi) {
  const double c = 0.5 * (std::log(lo) + std::log(hi)), a = 0.5 * (std::log(hi) - std::log(lo));
  return std::exp(c + a * std::sin(2.0 * kPi * s / period + std::asin(-c / a)));
}

// Half the picture's extent on the target plane at the frame-0 distance, in world units, per axis.
struct ViewExtent {
  double halfX = 1.0;
  double halfY = 1.0;
};

// Rotation by `angle` about the unit axis (ux, uy, 0).
cv::Matx33d inPlaneAxisRotation(double ux, double uy, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), v = 1.0 - c;
  return {c + ux * ux * v, ux * uy * v,     uy * s,   //
          ux * uy * v,     c + uy * uy * v, -ux * s,  //
          -uy * s,         ux * s,          c};
}

// Hand-held shake scaled by `amount` (1: the shake profile): two sinusoids per axis, 1.5..2.5 Hz and
// 3..4.5 Hz, faded in over half a second.
CameraPath handShake(double s, const std::array<double, 8>& ph, double amount) {
  CameraPath p;
  const double a = ease(s / 0.5);
  auto jitter = [&](int i) {
    const double f1 = 1.5 + ph[i], f2 = 3.0 + 1.5 * ph[(i + 3) % 8];
    return std::sin(2.0 * kPi * (f1 * s + ph[(i + 1) % 8])) + 0.5 * std::sin(2.0 * kPi * (f2 * s + ph[(i + 5) % 8]));
  };
  p.panX = 0.08 * amount * a * jitter(0);
  p.panY = 0.07 * amount * a * jitter(1);
  p.roll = 6.0 * kDeg * amount * a * jitter(2);
  const double tx = 8.0 * kDeg * amount * a * jitter(3), ty = 8.0 * kDeg * amount * a * jitter(4);
  p.tilt = std::hypot(tx, ty);
  p.azimuth = std::atan2(ty, tx);
  p.distance = std::exp(0.06 * amount * a * jitter(5));
  return p;
}

// The outward pan of the leave and clutter profiles: `out` (0..1) of the way along direction `dir`
// (0..3: right, down, left, up) to where the target's centre lies `reach` world units beyond `scale` times
// the view's half extent.
void panOut(CameraPath& p, double out, int dir, const ViewExtent& view, double scale, double reach) {
  const double dx[] = {1.0, 0.0, -1.0, 0.0}, dy[] = {0.0, 1.0, 0.0, -1.0};
  p.panX = out * dx[dir] * (scale * view.halfX + reach);
  p.panY = out * dy[dir] * (scale * view.halfY + reach);
}

CameraPath pathAt(MotionProfile profile, double s, const std::array<double, 8>& ph, const ViewExtent& view) {
  CameraPath p;
  const double rollSign = ph[7] < 0.5 ? 1.0 : -1.0;
  switch (profile) {
    case MotionProfile::kOrbit:
      p.tilt = 45.0 * kDeg * swell(s, 12.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 20.0);
      p.roll = rollSign * 90.0 * kDeg * swell(s, 16.0);
      p.distance = logSwing(s, 14.0, 0.7, 1.5);
      p.panX = 0.06 * ease(s) * wave(s, 9.0, ph[1]);
      p.panY = 0.05 * ease(s) * wave(s, 11.0, ph[2]);
      break;
    case MotionProfile::kZoom:
      p.tilt = 10.0 * kDeg * swell(s, 9.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 15.0);
      p.distance = logSwing(s, 10.0, 0.6, 2.0);
      break;
    case MotionProfile::kSpin: {
      // 45 degrees per second, reached smoothly over the first second.
      const double turned = s < 1.0 ? s * s * s - 0.5 * s * s * s * s : s - 0.5;
      p.roll = rollSign * 45.0 * kDeg * turned;
      p.tilt = 8.0 * kDeg * swell(s, 7.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 13.0);
      break;
    }
    case MotionProfile::kShake:
      p = handShake(s, ph, 1.0);
      break;
    case MotionProfile::kBlur:
      p = handShake(s, ph, 0.5);
      break;
    case MotionProfile::kOcclude:
    case MotionProfile::kDim:
      p.tilt = 20.0 * kDeg * swell(s, 11.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 17.0);
      p.roll = rollSign * 20.0 * kDeg * std::sin(2.0 * kPi * s / 13.0);
      p.distance = logSwing(s, 15.0, 0.85, 1.2);
      break;
    case MotionProfile::kLeave: {
      // 8-second cycles: hold 2 s, pan out 1.5 s, stay out 1.5 s, pan back 1.5 s, hold 1.5 s.
      // The direction turns by a quarter each cycle; far enough that the target's corners clear the picture.
      const int cycle = static_cast<int>(std::floor(s / 8.0));
      const double c = s - 8.0 * cycle;
      const double out = ease((c - 2.0) / 1.5) - ease((c - 5.0) / 1.5);
      panOut(p, out, (static_cast<int>(ph[0] * 4.0) + cycle) % 4, view, 1.0, 0.8);
      p.tilt = 10.0 * kDeg * swell(s, 9.0);
      p.azimuth = 2.0 * kPi * (ph[1] + s / 19.0);
      break;
    }
    case MotionProfile::kApproach:
      p.distance = logSwing(s, 9.0, 1.0 / 2.7, 1.0);
      p.tilt = 12.0 * kDeg * swell(s, 7.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 11.0);
      p.roll = rollSign * 10.0 * kDeg * std::sin(2.0 * kPi * s / 13.0);
      break;
    case MotionProfile::kRecede:
      p.distance = logSwing(s, 10.0, 1.0, 2.7);
      p.tilt = 12.0 * kDeg * swell(s, 8.0);
      p.azimuth = 2.0 * kPi * (ph[0] + s / 11.0);
      p.roll = rollSign * 10.0 * kDeg * std::sin(2.0 * kPi * s / 13.0);
      break;
    case MotionProfile::kTilt: {
      // 6-second phases, alternately about the horizontal (azimuth 0) and the vertical axis; every other
      // cycle the other side tilts away.
      const int phase = static_cast<int>(std::floor(s / 6.0));
      const double c = s - 6.0 * phase;
      p.tilt = 72.0 * kDeg * (ease(c / 2.5) - ease((c - 3.5) / 2.5));
      p.azimuth = (phase % 2 == 0 ? 0.0 : 0.5 * kPi) + ((phase / 2 + (ph[0] < 0.5 ? 0 : 1)) % 2 == 0 ? 0.0 : kPi);
      break;
    }
    case MotionProfile::kClutter: {
      // 10-second cycles: hold 2 s, pan out 1.5 s, back away to twice the distance while out 1.5 s, pan
      // back 1.5 s, hold at half size 2 s, come back to the frame-0 distance 1.5 s. The reach allows for
      // the tilt's stretch of the view on the far side.
      const int cycle = static_cast<int>(std::floor(s / 10.0));
      const double c = s - 10.0 * cycle;
      p.distance = 1.0 + ease((c - 3.5) / 1.5) - ease((c - 8.5) / 1.5);
      panOut(p, ease((c - 2.0) / 1.5) - ease((c - 5.0) / 1.5), (static_cast<int>(ph[0] * 4.0) + cycle) % 4, view,
             1.25 * p.distance, 0.8);
      p.tilt = 8.0 * kDeg * swell(s, 9.0);
      p.azimuth = 2.0 * kPi * (ph[1] + s / 19.0);
      break;
    }
    case MotionProfile::kCut:  // drawn per shot by the scene
    case MotionProfile::kStill:
      break;
  }
  return p;
}

// The camera axes (columns) in world coordinates: tilt about an in-plane axis, then roll.
cv::Matx33d cameraAxes(const CameraPath& p) {
  const double cr = std::cos(p.roll), sr = std::sin(p.roll);
  const cv::Matx33d roll(cr, -sr, 0, sr, cr, 0, 0, 0, 1);
  return inPlaneAxisRotation(std::cos(p.azimuth), std::sin(p.azimuth), p.tilt) * roll;
}

// Angle of the rotation between two sets of camera axes, radians.
double rotationAngle(const cv::Matx33d& a, const cv::Matx33d& b) {
  return std::acos(std::clamp((cv::trace(a.t() * b) - 1.0) / 2.0, -1.0, 1.0));
}

// The shot after `prev` in the cut profile, drawn from `state`: tilt up to 40 degrees, roll within 70
// degrees, distance 0.7..2 at a ratio of 0.62..1.58 to the one before, a small pan, and 31..49 degrees of
// rotation from `prev`; the margins leave room for the drift within shots, so that every cut stays within
// 30..50 degrees and 0.6..1.6. Should no draw qualify, the roll alone turns by 40 degrees.
CameraPath nextShot(const CameraPath& prev, uint64_t state) {
  auto uniform = [&state] { return static_cast<double>(splitMix(state) >> 11) / 9007199254740992.0; };
  const cv::Matx33d before = cameraAxes(prev);
  for (int attempt = 0; attempt < 200; ++attempt) {
    CameraPath next;
    next.tilt = 40.0 * kDeg * std::sqrt(uniform());
    next.azimuth = 2.0 * kPi * uniform();
    next.roll = (140.0 * uniform() - 70.0) * kDeg;
    next.distance = std::clamp(prev.distance * std::exp(std::log(0.62) + std::log(1.58 / 0.62) * uniform()), 0.7, 2.0);
    next.panX = 0.12 * (2.0 * uniform() - 1.0);
    next.panY = 0.10 * (2.0 * uniform() - 1.0);
    const double angle = rotationAngle(before, cameraAxes(next));
    if (angle >= 31.0 * kDeg && angle <= 49.0 * kDeg) return next;
  }
  CameraPath next = prev;
  next.roll += prev.roll > 0.0 ? -40.0 * kDeg : 40.0 * kDeg;
  return next;
}

// The slow drift of the cut profile's camera within and across shots (none at time 0). It turns and
// moves every shot alike, so the cuts keep their angles and distance ratios.
CameraPath drifted(CameraPath p, double s) {
  p.roll += 4.0 * kDeg * std::sin(2.0 * kPi * s / 3.3);
  p.distance *= std::exp(0.03 * std::sin(2.0 * kPi * s / 2.7));
  return p;
}

// Camera pose for a path point; d0 is the frame-0 distance in world units.
ScenePose poseFromPath(const CameraPath& p, double d0) {
  const cv::Matx33d m = cameraAxes(p);
  const cv::Vec3d axis(m(0, 2), m(1, 2), m(2, 2));
  const cv::Vec3d centre = cv::Vec3d(p.panX, p.panY, 0.0) - p.distance * d0 * axis;
  const cv::Matx33d r = m.t();
  const cv::Vec3d t = -(r * centre);

  ScenePose pose;
  for (int i = 0; i < 9; ++i) pose.rotation[static_cast<std::size_t>(i)] = r(i / 3, i % 3);
  for (int i = 0; i < 3; ++i) pose.translation[static_cast<std::size_t>(i)] = t[i];
  return pose;
}

cv::Matx33d planeToImage(const PinholeIntrinsics& k, const ScenePose& pose) {
  const auto& r = pose.rotation;
  const auto& t = pose.translation;
  const cv::Matx33d K(k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1);
  return K * cv::Matx33d(r[0], r[1], t[0], r[3], r[4], t[1], r[6], r[7], t[2]);
}

// The target's corners (its own top-left first, clockwise) for half extents `half`.
FrameCorners projectCorners(const PinholeIntrinsics& k, const ScenePose& pose, const std::array<double, 2>& half) {
  const cv::Matx33d h = planeToImage(k, pose);
  const double x = half[0], y = half[1];
  const cv::Vec3d world[4] = {{-x, -y, 1}, {x, -y, 1}, {x, y, 1}, {-x, y, 1}};
  FrameCorners corners;
  for (std::size_t i = 0; i < 4; ++i) {
    const cv::Vec3d p = h * world[i];
    corners[i] = cv::Point2d(p[0] / p[2], p[1] / p[2]);
  }
  return corners;
}

// Texels per picture pixel at picture point (x, y) for the picture-to-plane map g and `texelsPerUnit`.
double texelsPerPixel(const cv::Matx33d& g, double x, double y, double texelsPerUnit) {
  const cv::Vec3d w = g * cv::Vec3d(x, y, 1.0);
  if (std::abs(w[2]) < 1e-12) return 1.0;
  const double u = w[0] / w[2], v = w[1] / w[2];
  const double j00 = (g(0, 0) - u * g(2, 0)) / w[2], j01 = (g(0, 1) - u * g(2, 1)) / w[2];
  const double j10 = (g(1, 0) - v * g(2, 0)) / w[2], j11 = (g(1, 1) - v * g(2, 1)) / w[2];
  return texelsPerUnit * std::sqrt(std::abs(j00 * j11 - j01 * j10));
}

// The level (0 .. levels - 1) whose texels come nearest to one per pixel, in powers of two.
int mipLevel(double texelsPerPixel, int levels) {
  const double l = std::floor(std::log2(std::max(texelsPerPixel, 1e-6)) + 0.5);
  return static_cast<int>(std::clamp(l, 0.0, static_cast<double>(levels - 1)));
}

std::vector<cv::Mat> buildLevels(const cv::Mat& base) {
  std::vector<cv::Mat> levels{base};
  while (static_cast<int>(levels.size()) < kMaxLevels) {
    const cv::Mat& last = levels.back();
    if (std::min(last.cols, last.rows) < 32) break;
    cv::Mat half;
    cv::resize(last, half, cv::Size((last.cols + 1) / 2, (last.rows + 1) / 2), 0, 0, cv::INTER_AREA);
    levels.push_back(half);
  }
  return levels;
}

// World-to-texel map of a cols x rows texture level whose texels tile the world rectangle
// [x0, x0 + w] x [y0, y0 + h] (texel centres at integer coordinates, so its edges are at -0.5 and size - 0.5).
cv::Matx33d worldToTexels(double cols, double rows, double x0, double y0, double w, double h) {
  const double sx = cols / w, sy = rows / h;
  return {sx, 0, -x0 * sx - 0.5, 0, sy, -y0 * sy - 0.5, 0, 0, 1};
}

std::vector<cv::Mat> canvasLevels(const cv::Mat& tile) {
  std::vector<cv::Mat> canvases;
  for (const cv::Mat& level : buildLevels(tile)) {
    cv::Mat canvas;
    cv::repeat(level, 2, 2, canvas);
    canvases.push_back(canvas);
  }
  return canvases;
}

// Background levels as 2 x 2 canvases of the tile (the busy one for the clutter profile), each built once
// when first needed and shared (never written) by all scenes.
const std::vector<cv::Mat>& sharedBackgroundLevels(MotionProfile profile) {
  if (profile == MotionProfile::kClutter) {
    static const std::vector<cv::Mat> busy = canvasLevels(MakeClutterTile());
    return busy;
  }
  static const std::vector<cv::Mat> plain = canvasLevels(MakeBackgroundTile());
  return plain;
}

// Sensor noise (sigma, grey levels) and gain at time `s` that a profile adds to SceneEffects'.
double profileNoise(MotionProfile profile) {
  if (profile == MotionProfile::kDim) return 8.0;
  return profile == MotionProfile::kStill ? 4.0 : 0.0;
}
double profileGain(MotionProfile profile, double s) {
  return profile == MotionProfile::kDim ? 1.0 + 0.6 * std::sin(2.0 * kPi * s / 8.0) : 1.0;
}

// Smears `bgr` along a straight line: the normalised kernel samples the line densely and spreads each
// sample bilinearly over its four nearest taps.
void applyMotionBlur(cv::Mat& bgr, const MotionBlur& blur) {
  const int half = static_cast<int>(std::ceil(blur.length / 2.0)) + 1;
  cv::Mat kernel = cv::Mat::zeros(2 * half + 1, 2 * half + 1, CV_32F);
  const int samples = 8 * static_cast<int>(std::ceil(blur.length));
  const double ux = std::cos(blur.angle), uy = std::sin(blur.angle);
  for (int i = 0; i < samples; ++i) {
    const double t = ((i + 0.5) / samples - 0.5) * blur.length;
    const double x = half + t * ux, y = half + t * uy;
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
    kernel.at<float>(y0, x0) += (1 - fx) * (1 - fy);
    kernel.at<float>(y0, x0 + 1) += fx * (1 - fy);
    kernel.at<float>(y0 + 1, x0) += (1 - fx) * fy;
    kernel.at<float>(y0 + 1, x0 + 1) += fx * fy;
  }
  kernel /= cv::sum(kernel)[0];
  cv::filter2D(bgr, bgr, -1, kernel, cv::Point(-1, -1), 0.0, cv::BORDER_REFLECT_101);
}

bool finitePositive(double v) { return std::isfinite(v) && v > 0.0; }

// The plain bar of the occlude profile: 0.15 picture heights wide, slanted, crossing the picture every
// 5 seconds (from 1 s to 4.5 s of each cycle), alternately left to right and right to left.
void drawOccluder(cv::Mat& bgr, double s) {
  const int cycle = static_cast<int>(std::floor(s / 5.0));
  const double c = s - 5.0 * cycle;
  if (c < 1.0 || c > 4.5) return;
  const double w = bgr.cols, h = bgr.rows, bar = 0.15 * h, slant = 0.2 * h;
  double x = -bar - slant + (w + 2.0 * (bar + slant)) * (c - 1.0) / 3.5;
  if (cycle % 2 == 1) x = w - x;
  const std::vector<cv::Point> poly{cv::Point(cvRound(x), -2), cv::Point(cvRound(x + bar), -2),
                                    cv::Point(cvRound(x + bar + slant), cvRound(h) + 2),
                                    cv::Point(cvRound(x + slant), cvRound(h) + 2)};
  cv::fillConvexPoly(bgr, poly, cv::Scalar(72, 64, 58), cv::LINE_AA);
}

}  // namespace

PinholeIntrinsics DefaultIntrinsics(int width, int height) {
  const double f = 600.0 * width / 640.0;
  return {f, f, width / 2.0, height / 2.0};
}

std::span<const MotionProfile> AllMotionProfiles() { return kProfileOrder; }

std::optional<MotionProfile> ParseMotionProfile(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kProfileNames); ++i)
    if (name == kProfileNames[i]) return kProfileOrder[i];
  return std::nullopt;
}

const char* MotionProfileName(MotionProfile profile) {
  const auto i = static_cast<std::size_t>(profile);
  return i < std::size(kProfileNames) ? kProfileNames[i] : "orbit";
}

std::string MotionProfileList() {
  std::string list;
  for (const char* name : kProfileNames) {
    if (!list.empty()) list += ", ";
    list += name;
  }
  return list;
}

std::unique_ptr<SyntheticScene> SyntheticScene::Create(const SceneSettings& settings, std::string& error) {
  if (!IsValidFrameSize(settings.width, settings.height)) {
    error = "Bad frame size " + std::to_string(settings.width) + "x" + std::to_string(settings.height) + ": " +
            FrameSizeRule() + ".";
    return nullptr;
  }
  const PinholeIntrinsics k = settings.intrinsics.value_or(DefaultIntrinsics(settings.width, settings.height));
  if (!finitePositive(k.fx) || !finitePositive(k.fy) || !std::isfinite(k.cx) || !std::isfinite(k.cy)) {
    error = "Bad camera intrinsics: the focal lengths must be positive and all values finite.";
    return nullptr;
  }
  const SceneEffects& e = settings.effects;
  if (!(e.noiseSigma >= 0.0 && e.noiseSigma <= 64.0) || !(e.blurSigma >= 0.0 && e.blurSigma <= 10.0) ||
      !(e.gainAmplitude >= 0.0 && e.gainAmplitude <= 0.9)) {
    error = "Bad scene effects: noise 0 to 64, blur 0 to 10, gain 0 to 0.9.";
    return nullptr;
  }

  cv::Mat target;
  if (settings.targetImage.empty()) {
    static const cv::Mat builtIn = MakeTargetTexture();  // built once, never written
    target = builtIn;
  } else {
    std::error_code ec;
    if (std::filesystem::is_regular_file(settings.targetImage, ec)) {
      target = cv::imread(settings.targetImage, cv::IMREAD_COLOR);
    }
    if (target.empty() || std::min(target.cols, target.rows) < 8) {
      error = "Cannot read the target image '" + settings.targetImage + "'.";
      return nullptr;
    }
    const int longer = std::max(target.cols, target.rows);
    if (longer > kTargetTextureSide) {
      const double f = static_cast<double>(kTargetTextureSide) / longer;
      cv::resize(target, target, cv::Size(), f, f, cv::INTER_AREA);
    }
  }

  std::unique_ptr<SyntheticScene> scene(new SyntheticScene());
  scene->width_ = settings.width;
  scene->height_ = settings.height;
  scene->intrinsics_ = k;
  scene->profile_ = settings.profile;
  scene->seed_ = settings.seed;
  scene->effects_ = e;
  scene->targetName_ = settings.targetImage;
  const double longer = std::max(target.cols, target.rows);
  scene->targetHalf_ = {0.5 * target.cols / longer, 0.5 * target.rows / longer};
  scene->targetTexelsPerUnit_ = longer;
  for (const cv::Mat& level : buildLevels(target)) {
    cv::Mat rim, mask(level.rows + 2, level.cols + 2, CV_8UC1, cv::Scalar(0));
    cv::copyMakeBorder(level, rim, 1, 1, 1, 1, cv::BORDER_REPLICATE);
    mask(cv::Rect(1, 1, level.cols, level.rows)).setTo(255);
    scene->targetLevels_.push_back(rim);
    scene->targetMasks_.push_back(mask);
  }
  scene->backgroundLevels_ = sharedBackgroundLevels(settings.profile);
  uint64_t state = settings.seed;
  for (double& p : scene->phases_) p = static_cast<double>(splitMix(state) >> 11) / 9007199254740992.0;
  scene->prepareNoise();
  scene->lens_ = settings.lens;
  if (!scene->prepareLens(error)) return nullptr;
  return scene;
}

bool SyntheticScene::prepareLens(std::string& error) {
  if (!lens_) return true;
  const std::optional<CameraLens> lens = lens_->Resized(width_, height_);
  if (!lens || lens->cameraMatrix()(0, 1) != 0.0) {
    error = "The scene cannot film through this lens (it has a skew, or no size).";
    return false;
  }
  lensView_ = std::make_shared<const LensView>(*lens);
  const cv::Matx33d& k = lens->cameraMatrix();
  intrinsics_ = {k(0, 0), k(1, 1), k(0, 2), k(1, 2)};
  return true;
}

void SyntheticScene::prepareNoise() {
  noisePlus_.release();
  noiseMinus_.release();
  const double sigma = std::hypot(effects_.noiseSigma, profileNoise(profile_));
  if (sigma <= 0.0) return;
  cv::Mat field(height_ + kNoiseMargin, width_ + kNoiseMargin, CV_32FC3);
  cv::RNG rng(0x6e6f697365ull ^ seed_);
  rng.fill(field, cv::RNG::NORMAL, 0.0, sigma);
  field.convertTo(noisePlus_, CV_8UC3);         // negative values saturate to 0
  field.convertTo(noiseMinus_, CV_8UC3, -1.0);  // so do the positive ones here
}

bool SyntheticScene::setFrameSize(int width, int height) {
  if (!IsValidFrameSize(width, height)) return false;
  const double ratio = static_cast<double>(width) / width_;
  intrinsics_ = {intrinsics_.fx * ratio, intrinsics_.fy * ratio, intrinsics_.cx * width / width_,
                 intrinsics_.cy * height / height_};
  width_ = width;
  height_ = height;
  prepareNoise();
  std::string error;
  return prepareLens(error);
}

bool SyntheticScene::setIntrinsics(const PinholeIntrinsics& intrinsics) {
  if (lens_ || !finitePositive(intrinsics.fx) || !finitePositive(intrinsics.fy) || !std::isfinite(intrinsics.cx) ||
      !std::isfinite(intrinsics.cy))
    return false;
  intrinsics_ = intrinsics;
  return true;
}

std::string SyntheticScene::description() const {
  std::string text = std::string("synthetic scene '") + MotionProfileName(profile_) + "', " + std::to_string(width_) +
                     "x" + std::to_string(height_) + ", seed " + std::to_string(seed_);
  if (!targetName_.empty()) text += ", target " + targetName_;
  return text;
}

ScenePose SyntheticScene::poseAt(int index) const {
  // The frame-0 distance puts the target's longer side (1 unit) across kFrontSpan of the picture height.
  const double d0 = intrinsics_.fy / (kFrontSpan * height_);
  const ViewExtent view{std::max(intrinsics_.cx, width_ - intrinsics_.cx) / intrinsics_.fx * d0,
                        std::max(intrinsics_.cy, height_ - intrinsics_.cy) / intrinsics_.fy * d0};
  const double s = std::max(index, 0) / kFps;
  CameraPath path = profile_ == MotionProfile::kCut ? drifted(shot(std::max(index, 0) / kFramesPerShot), s)
                                                     : pathAt(profile_, s, phases_, view);
  ScenePose pose = poseFromPath(path, d0);
  if (profile_ == MotionProfile::kLeave || profile_ == MotionProfile::kApproach ||
      profile_ == MotionProfile::kClutter)
    return pose;

  // Framing: where the path would put a corner closer than kFramingMargin to the picture's edge, the camera
  // backs away just enough (measured from the principal point; two refinements absorb the perspective).
  const double margin = kFramingMargin * height_;
  const double left = intrinsics_.cx - margin, right = width_ - margin - intrinsics_.cx;
  const double top = intrinsics_.cy - margin, bottom = height_ - margin - intrinsics_.cy;
  if (left <= 0.0 || right <= 0.0 || top <= 0.0 || bottom <= 0.0) return pose;
  for (int pass = 0; pass < 3; ++pass) {
    double excess = 1.0;
    for (const cv::Point2d& c : projectCorners(intrinsics_, pose, targetHalf_)) {
      const double dx = c.x - intrinsics_.cx, dy = c.y - intrinsics_.cy;
      excess = std::max({excess, dx / right, -dx / left, dy / bottom, -dy / top});
    }
    if (excess <= 1.0) break;
    path.distance *= excess;
    pose = poseFromPath(path, d0);
  }
  return pose;
}

CameraPath SyntheticScene::shot(int k) const {
  if (shots_.empty()) shots_.emplace_back();  // shot 0: the frame-0 camera
  k = std::min(k, kMaxShots - 1);
  while (static_cast<int>(shots_.size()) <= k) {
    const uint64_t state = ((static_cast<uint64_t>(seed_) << 32) | shots_.size()) * 0x9e3779b97f4a7c15ull;
    shots_.push_back(nextShot(shots_.back(), state));
  }
  return shots_[static_cast<std::size_t>(k)];
}

MotionBlur SyntheticScene::motionBlurAt(int index) const {
  if (profile_ != MotionProfile::kBlur || index < static_cast<int>(kFps)) return {};
  // Runs are taken in threes; the seed picks which run of each three is blurred.
  const int run = index / kBlurRun;
  uint64_t state = (static_cast<uint64_t>(seed_) << 32) ^ static_cast<uint64_t>(run / 3) ^ (0x626c7572ull << 24);
  if (static_cast<int>(splitMix(state) % 3) != run % 3) return {};
  state ^= static_cast<uint64_t>(index);
  const uint64_t r = splitMix(state);
  const FrameCorners before = cornersAt(index - 1),
                     after = cornersAt(index < std::numeric_limits<int>::max() ? index + 1 : index);
  const cv::Point2d motion =
      (after[0] + after[1] + after[2] + after[3] - before[0] - before[1] - before[2] - before[3]) * 0.25;
  const double angle = cv::norm(motion) > 0.1 ? std::atan2(motion.y, motion.x) : (r >> 8) % 360 * kDeg;
  return {5.0 + static_cast<double>(r % 7), angle};
}

FrameCorners SyntheticScene::cornersAt(int index) const {
  FrameCorners corners = projectCorners(intrinsics_, poseAt(index), targetHalf_);
  if (lensView_)
    for (cv::Point2d& c : corners) c = lensView_->Distort(c);
  return corners;
}

void SyntheticScene::renderView(int index, const PinholeIntrinsics& k, cv::Size size, cv::Mat& bgr) {
  const double s = index / kFps;
  bgr.create(size, CV_8UC3);
  const ScenePose pose = poseAt(index);
  const cv::Matx33d h = planeToImage(k, pose);
  const cv::Matx33d g = h.inv();  // picture to plane
  const int flags = cv::INTER_LINEAR | cv::WARP_INVERSE_MAP;

  // Background: the tile at the level that suits the picture centre. The map is shifted by whole tiles so
  // that the picture centre falls in the middle of the 2 x 2 canvas: most samples then lie inside it, and
  // BORDER_WRAP (slow, per pixel) serves only the rest.
  {
    const int level = mipLevel(texelsPerPixel(g, size.width / 2.0, size.height / 2.0, kBackgroundTexelsPerUnit),
                               static_cast<int>(backgroundLevels_.size()));
    const cv::Mat& canvas = backgroundLevels_[static_cast<std::size_t>(level)];
    const double tileW = canvas.cols / 2.0, tileH = canvas.rows / 2.0;
    const double period = kBackgroundTileSide / kBackgroundTexelsPerUnit;
    cv::Matx33d m = worldToTexels(tileW, tileH, 0.0, 0.0, period, period) * g;
    const cv::Vec3d c = m * cv::Vec3d(size.width / 2.0, size.height / 2.0, 1.0);
    const double shiftX = std::floor((c[0] / c[2] - tileW / 2.0) / tileW) * tileW;
    const double shiftY = std::floor((c[1] / c[2] - tileH / 2.0) / tileH) * tileH;
    m = cv::Matx33d(1, 0, -shiftX, 0, 1, -shiftY, 0, 0, 1) * m;
    cv::warpPerspective(canvas, bgr, m, bgr.size(), flags, cv::BORDER_WRAP);
  }

  // Target: drawn over the background inside the bounding box of its corners, blended by its warped
  // coverage mask, so that an edge pixel is covered by the part of it that lies inside the target.
  const FrameCorners corners = projectCorners(k, pose, targetHalf_);
  double x0 = corners[0].x, x1 = x0, y0 = corners[0].y, y1 = y0;
  for (const auto& c : corners) {
    x0 = std::min(x0, c.x), x1 = std::max(x1, c.x), y0 = std::min(y0, c.y), y1 = std::max(y1, c.y);
  }
  const cv::Rect box = cv::Rect(cv::Point(static_cast<int>(std::floor(std::max(x0, -1.0))) - 1,
                                          static_cast<int>(std::floor(std::max(y0, -1.0))) - 1),
                                cv::Point(static_cast<int>(std::ceil(std::min(x1, size.width + 1.0))) + 2,
                                          static_cast<int>(std::ceil(std::min(y1, size.height + 1.0))) + 2)) &
                       cv::Rect(0, 0, size.width, size.height);
  if (!box.empty()) {
    const cv::Point2d centre = (corners[0] + corners[1] + corners[2] + corners[3]) * 0.25;
    const auto level = static_cast<std::size_t>(mipLevel(texelsPerPixel(g, centre.x, centre.y, targetTexelsPerUnit_),
                                                         static_cast<int>(targetLevels_.size())));
    const cv::Mat& tex = targetLevels_[level];
    // The levels carry a one-texel rim, hence the shift by one texel.
    const cv::Matx33d m = cv::Matx33d(1, 0, 1, 0, 1, 1, 0, 0, 1) *
                          worldToTexels(tex.cols - 2, tex.rows - 2, -targetHalf_[0], -targetHalf_[1],
                                        2.0 * targetHalf_[0], 2.0 * targetHalf_[1]) *
                          g * cv::Matx33d(1, 0, box.x, 0, 1, box.y, 0, 0, 1);
    cv::warpPerspective(tex, targetPatch_, m, box.size(), flags, cv::BORDER_REPLICATE);
    cv::warpPerspective(targetMasks_[level], targetCover_, m, box.size(), flags, cv::BORDER_CONSTANT);
    for (int y = 0; y < box.height; ++y) {
      uint8_t* out = bgr.ptr<uint8_t>(box.y + y) + 3 * box.x;
      const uint8_t* in = targetPatch_.ptr<uint8_t>(y);
      const uint8_t* a = targetCover_.ptr<uint8_t>(y);
      for (int x = 0; x < box.width; ++x) {
        const int w = a[x];
        if (w == 0) continue;
        if (w == 255) {
          std::memcpy(out + 3 * x, in + 3 * x, 3);
          continue;
        }
        for (int ch = 0; ch < 3; ++ch) {
          const int i = 3 * x + ch;
          out[i] = static_cast<uint8_t>((in[i] * w + out[i] * (255 - w) + 127) / 255);
        }
      }
    }
  }

  if (profile_ == MotionProfile::kOcclude) drawOccluder(bgr, s);
  if (const MotionBlur blur = motionBlurAt(index); blur.length > 0.0) applyMotionBlur(bgr, blur);
}

void SyntheticScene::render(int index, cv::Mat& bgr) {
  index = std::max(index, 0);
  const double s = index / kFps;
  if (lensView_) {
    const cv::Matx33d& k = lensView_->canvasMatrix();
    renderView(index, PinholeIntrinsics{k(0, 0), k(1, 1), k(0, 2), k(1, 2)}, lensView_->canvasSize(), canvas_);
    lensView_->Apply(canvas_, bgr);
  } else {
    renderView(index, intrinsics_, cv::Size(width_, height_), bgr);
  }
  const double gain = (1.0 + effects_.gainAmplitude * std::sin(2.0 * kPi * s / 7.0)) * profileGain(profile_, s);
  if (gain != 1.0) bgr.convertTo(bgr, -1, gain);
  if (effects_.blurSigma > 0.0) cv::GaussianBlur(bgr, bgr, cv::Size(), effects_.blurSigma);
  if (!noisePlus_.empty()) {
    uint64_t state = (static_cast<uint64_t>(seed_) << 32) ^ static_cast<uint64_t>(index);
    const uint64_t r = splitMix(state);
    const cv::Rect window(static_cast<int>(r % (kNoiseMargin + 1)), static_cast<int>((r >> 20) % (kNoiseMargin + 1)),
                          width_, height_);
    cv::add(bgr, noisePlus_(window), bgr);
    cv::subtract(bgr, noiseMinus_(window), bgr);
  }
}

bool SyntheticScene::read(std::vector<uint8_t>& packed) {
  render(next_, frame_);
  if (!PackBgrFrame(frame_, packed)) return false;
  last_ = next_;
  if (next_ < std::numeric_limits<int>::max()) ++next_;
  return true;
}

std::optional<FrameCorners> SyntheticScene::trueCorners() const {
  if (last_ < 0) return std::nullopt;
  return cornersAt(last_);
}

std::optional<cv::Matx44d> SyntheticScene::truePose() const {
  if (last_ < 0) return std::nullopt;
  const ScenePose p = poseAt(last_);
  const auto& r = p.rotation;
  const auto& t = p.translation;
  return cv::Matx44d(r[0], r[1], r[2], t[0], r[3], r[4], r[5], t[1], r[6], r[7], r[8], t[2], 0, 0, 0, 1);
}

}  // namespace quorl
