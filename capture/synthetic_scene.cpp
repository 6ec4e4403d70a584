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

constexpr struct {
  MotionProfile profile;
  const char* name;
} kProfiles[] = {{MotionProfile::kOrbit, "orbit"}, {MotionProfile::kZoom, "zoom"},
                 {MotionProfile::kSpin, "spin"},   {MotionProfile::kShake, "shake"},
                 {MotionProfile::kOcclude, "occlude"}, {MotionProfile::kLeave, "leave"}};

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

// Where the camera is, in the terms the profiles use.
struct CameraPath {
  double tilt = 0.0;      // angle between the optical axis and the target's normal, radians
  double azimuth = 0.0;   // direction of the in-plane axis the camera tilts about, radians
  double roll = 0.0;      // rotation about the optical axis, radians
  double distance = 1.0;  // along the optical axis to the look-at point, in frame-0 distances
  double panX = 0.0;      // look-at point on the target plane, world units
  double panY = 0.0;
};

// Half the picture's extent on the target plane at the frame-0 distance, in world units, per axis.
struct ViewExtent {
  double halfX = 1.0;
  double halfY = 1.0;
};

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
    case MotionProfile::kShake: {
      // Two sinusoids per axis, 1.5..2.5 Hz and 3..4.5 Hz, faded in over half a second.
      const double a = ease(s / 0.5);
      auto jitter = [&](int i) {
        const double f1 = 1.5 + ph[i], f2 = 3.0 + 1.5 * ph[(i + 3) % 8];
        return std::sin(2.0 * kPi * (f1 * s + ph[(i + 1) % 8])) +
               0.5 * std::sin(2.0 * kPi * (f2 * s + ph[(i + 5) % 8]));
      };
      p.panX = 0.08 * a * jitter(0);
      p.panY = 0.07 * a * jitter(1);
      p.roll = 6.0 * kDeg * a * jitter(2);
      const double tx = 8.0 * kDeg * a * jitter(3), ty = 8.0 * kDeg * a * jitter(4);
      p.tilt = std::hypot(tx, ty);
      p.azimuth = std::atan2(ty, tx);
      p.distance = std::exp(0.06 * a * jitter(5));
      break;
    }
    case MotionProfile::kOcclude:
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
      const int dir = (static_cast<int>(ph[0] * 4.0) + cycle) % 4;
      const double reachX = view.halfX + 0.8, reachY = view.halfY + 0.8;
      const double dx[] = {1.0, 0.0, -1.0, 0.0}, dy[] = {0.0, 1.0, 0.0, -1.0};
      p.panX = out * dx[dir] * reachX;
      p.panY = out * dy[dir] * reachY;
      p.tilt = 10.0 * kDeg * swell(s, 9.0);
      p.azimuth = 2.0 * kPi * (ph[1] + s / 19.0);
      break;
    }
  }
  return p;
}

// Rotation by `angle` about the unit axis (ux, uy, 0).
cv::Matx33d inPlaneAxisRotation(double ux, double uy, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), v = 1.0 - c;
  return {c + ux * ux * v, ux * uy * v,     uy * s,   //
          ux * uy * v,     c + uy * uy * v, -ux * s,  //
          -uy * s,         ux * s,          c};
}

// Camera pose for a path point; d0 is the frame-0 distance in world units.
ScenePose poseFromPath(const CameraPath& p, double d0) {
  // Columns of m are the camera axes in world coordinates: tilt about an in-plane axis, then roll.
  const double cr = std::cos(p.roll), sr = std::sin(p.roll);
  const cv::Matx33d roll(cr, -sr, 0, sr, cr, 0, 0, 0, 1);
  const cv::Matx33d m = inPlaneAxisRotation(std::cos(p.azimuth), std::sin(p.azimuth), p.tilt) * roll;
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

// Background levels as 2 x 2 canvases of the tile, built once and shared (never written) by all scenes.
const std::vector<cv::Mat>& sharedBackgroundLevels() {
  static const std::vector<cv::Mat> levels = [] {
    std::vector<cv::Mat> canvases;
    for (const cv::Mat& tile : buildLevels(MakeBackgroundTile())) {
      cv::Mat canvas;
      cv::repeat(tile, 2, 2, canvas);
      canvases.push_back(canvas);
    }
    return canvases;
  }();
  return levels;
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

std::optional<MotionProfile> ParseMotionProfile(std::string_view name) {
  for (const auto& p : kProfiles)
    if (name == p.name) return p.profile;
  return std::nullopt;
}

const char* MotionProfileName(MotionProfile profile) {
  for (const auto& p : kProfiles)
    if (p.profile == profile) return p.name;
  return "orbit";
}

std::string MotionProfileList() {
  std::string list;
  for (const auto& p : kProfiles) {
    if (!list.empty()) list += ", ";
    list += p.name;
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
  scene->backgroundLevels_ = sharedBackgroundLevels();
  uint64_t state = settings.seed;
  for (double& p : scene->phases_) p = static_cast<double>(splitMix(state) >> 11) / 9007199254740992.0;
  scene->prepareNoise();
  return scene;
}

void SyntheticScene::prepareNoise() {
  noisePlus_.release();
  noiseMinus_.release();
  if (effects_.noiseSigma <= 0.0) return;
  cv::Mat field(height_ + kNoiseMargin, width_ + kNoiseMargin, CV_32FC3);
  cv::RNG rng(0x6e6f697365ull ^ seed_);
  rng.fill(field, cv::RNG::NORMAL, 0.0, effects_.noiseSigma);
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
  return true;
}

bool SyntheticScene::setIntrinsics(const PinholeIntrinsics& intrinsics) {
  if (!finitePositive(intrinsics.fx) || !finitePositive(intrinsics.fy) || !std::isfinite(intrinsics.cx) ||
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
  CameraPath path = pathAt(profile_, std::max(index, 0) / kFps, phases_, view);
  ScenePose pose = poseFromPath(path, d0);
  if (profile_ == MotionProfile::kLeave) return pose;

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

FrameCorners SyntheticScene::cornersAt(int index) const {
  return projectCorners(intrinsics_, poseAt(index), targetHalf_);
}

void SyntheticScene::render(int index, cv::Mat& bgr) {
  index = std::max(index, 0);
  const double s = index / kFps;
  bgr.create(height_, width_, CV_8UC3);
  const cv::Matx33d h = planeToImage(intrinsics_, poseAt(index));
  const cv::Matx33d g = h.inv();  // picture to plane
  const int flags = cv::INTER_LINEAR | cv::WARP_INVERSE_MAP;

  // Background: the tile at the level that suits the picture centre. The map is shifted by whole tiles so
  // that the picture centre falls in the middle of the 2 x 2 canvas: most samples then lie inside it, and
  // BORDER_WRAP (slow, per pixel) serves only the rest.
  {
    const int level = mipLevel(texelsPerPixel(g, width_ / 2.0, height_ / 2.0, kBackgroundTexelsPerUnit),
                               static_cast<int>(backgroundLevels_.size()));
    const cv::Mat& canvas = backgroundLevels_[static_cast<std::size_t>(level)];
    const double tileW = canvas.cols / 2.0, tileH = canvas.rows / 2.0;
    const double period = kBackgroundTileSide / kBackgroundTexelsPerUnit;
    cv::Matx33d m = worldToTexels(tileW, tileH, 0.0, 0.0, period, period) * g;
    const cv::Vec3d c = m * cv::Vec3d(width_ / 2.0, height_ / 2.0, 1.0);
    const double shiftX = std::floor((c[0] / c[2] - tileW / 2.0) / tileW) * tileW;
    const double shiftY = std::floor((c[1] / c[2] - tileH / 2.0) / tileH) * tileH;
    m = cv::Matx33d(1, 0, -shiftX, 0, 1, -shiftY, 0, 0, 1) * m;
    cv::warpPerspective(canvas, bgr, m, bgr.size(), flags, cv::BORDER_WRAP);
  }

  // Target: drawn over the background inside the bounding box of its corners, blended by its warped
  // coverage mask, so that an edge pixel is covered by the part of it that lies inside the target.
  const FrameCorners corners = cornersAt(index);
  double x0 = corners[0].x, x1 = x0, y0 = corners[0].y, y1 = y0;
  for (const auto& c : corners) {
    x0 = std::min(x0, c.x), x1 = std::max(x1, c.x), y0 = std::min(y0, c.y), y1 = std::max(y1, c.y);
  }
  const cv::Rect box = cv::Rect(cv::Point(static_cast<int>(std::floor(std::max(x0, -1.0))) - 1,
                                          static_cast<int>(std::floor(std::max(y0, -1.0))) - 1),
                                cv::Point(static_cast<int>(std::ceil(std::min(x1, width_ + 1.0))) + 2,
                                          static_cast<int>(std::ceil(std::min(y1, height_ + 1.0))) + 2)) &
                       cv::Rect(0, 0, width_, height_);
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
  if (effects_.gainAmplitude > 0.0) {
    bgr.convertTo(bgr, -1, 1.0 + effects_.gainAmplitude * std::sin(2.0 * kPi * s / 7.0));
  }
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

}  // namespace quorl
