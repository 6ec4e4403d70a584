#include "capture/board_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace quorl {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kCycle = kHoldFrames + kMoveFrames;
constexpr double kTableGrey = 96.0;
constexpr double kMaxNoise = 32.0;
// Pixels a square has in the printed paper's largest level, and the paper's white margin in squares.
constexpr int kTexelsPerSquare = 96;
constexpr double kPaperMargin = 0.75;
// The paper stays this share of the frame's height inside the frame.
constexpr double kFrameMargin = 0.02;

// One stop of the camera: where the board's centre is seen (shares of the frame), the share of the frame
// the board covers when seen front-on, the tilt (degrees, about the in-plane axis at `azimuth` degrees)
// and the turn in the picture (degrees).
struct Station {
  double u, v, share, tilt, azimuth, roll;
};
constexpr std::array<Station, kBoardStations> kStations{{
    {0.50, 0.50, 0.30, 0, 0, 0},      {0.22, 0.24, 0.10, 15, 0, 5},     {0.78, 0.24, 0.10, 20, 90, -5},
    {0.78, 0.76, 0.10, 15, 45, 10},   {0.22, 0.76, 0.10, 20, 135, -10}, {0.50, 0.50, 0.45, 30, 0, 0},
    {0.50, 0.50, 0.40, 30, 90, 0},    {0.35, 0.40, 0.20, 45, 30, 15},   {0.65, 0.60, 0.20, 45, 120, -15},
    {0.50, 0.24, 0.15, 35, 0, 0},     {0.50, 0.76, 0.15, 35, 180, 0},   {0.24, 0.50, 0.15, 35, 270, 0},
    {0.76, 0.50, 0.15, 35, 90, 0},    {0.50, 0.50, 0.20, 50, 60, 20},   {0.50, 0.50, 0.25, 50, 150, -20},
    {0.30, 0.70, 0.08, 25, 200, 30},  {0.70, 0.30, 0.08, 25, 300, -30}, {0.50, 0.50, 0.50, 10, 45, 0},
}};

// The camera's stop between stations: position and size interpolated, the tilt as a vector (tilt times
// the axis direction) so that no azimuth wraps.
struct Stop {
  double u, v, share, tiltX, tiltY, roll;
};

Stop stopOf(const Station& s) {
  const double a = s.azimuth * kPi / 180.0, t = s.tilt * kPi / 180.0;
  return {s.u, s.v, s.share, t * std::cos(a), t * std::sin(a), s.roll * kPi / 180.0};
}

Stop stopAt(int index) {
  const int cycle = index / kCycle, phase = index % kCycle;
  const Stop from = stopOf(kStations[static_cast<std::size_t>(cycle % kBoardStations)]);
  if (phase < kHoldFrames) return from;
  const Stop to = stopOf(kStations[static_cast<std::size_t>((cycle + 1) % kBoardStations)]);
  const double x = static_cast<double>(phase - kHoldFrames + 1) / kMoveFrames;
  const double w = x * x * (3.0 - 2.0 * x);
  const auto mix = [w](double a, double b) { return a + (b - a) * w; };
  return {mix(from.u, to.u),         mix(from.v, to.v),         mix(from.share, to.share),
          mix(from.tiltX, to.tiltX), mix(from.tiltY, to.tiltY), mix(from.roll, to.roll)};
}

bool finitePositive(const PinholeIntrinsics& k) {
  return std::isfinite(k.fx) && std::isfinite(k.fy) && std::isfinite(k.cx) && std::isfinite(k.cy) && k.fx > 0 &&
         k.fy > 0;
}

}  // namespace

BoardLayout DefaultSceneBoard(BoardLayout::Kind kind) {
  BoardLayout board;
  if (kind == BoardLayout::Kind::kCharuco) {
    std::string error;
    board = *ParseBoardLayout("charuco:7x5:0.03:0.022:4X4_50", error);
  }
  return board;
}

PinholeIntrinsics DefaultBoardIntrinsics(int width, int height) {
  const double f = 600.0 * width / 640.0;
  return {f, f, 0.515 * width, 0.48 * height};
}

std::unique_ptr<BoardScene> BoardScene::Create(const BoardSceneSettings& settings, std::string& error) {
  if (!IsValidFrameSize(settings.width, settings.height)) {
    error = "Bad frame size " + std::to_string(settings.width) + "x" + std::to_string(settings.height) + ": " +
            FrameSizeRule() + ".";
    return nullptr;
  }
  const PinholeIntrinsics k = settings.intrinsics.value_or(DefaultBoardIntrinsics(settings.width, settings.height));
  if (!finitePositive(k)) {
    error = "The board scene's intrinsics must be finite with positive focal lengths.";
    return nullptr;
  }
  if (!(settings.noiseSigma >= 0.0 && settings.noiseSigma <= kMaxNoise)) {
    error = "The board scene's noise must be from 0 to 32 grey levels.";
    return nullptr;
  }
  std::unique_ptr<BoardScene> scene(new BoardScene());
  scene->size_ = cv::Size(settings.width, settings.height);
  scene->board_ = settings.board;
  scene->intrinsics_ = k;
  scene->distortion_ = settings.distortion;
  scene->seed_ = settings.seed;
  scene->noiseSigma_ = settings.noiseSigma;

  const int margin = static_cast<int>(std::lround(kPaperMargin * kTexelsPerSquare));
  cv::Mat paper = DrawBoard(settings.board, kTexelsPerSquare, margin);
  scene->texelsPerMetre_ = kTexelsPerSquare / settings.board.square;
  scene->paperOrigin_ = cv::Point2d(kTexelsPerSquare + margin - 0.5, kTexelsPerSquare + margin - 0.5);
  cv::Mat level;
  cv::cvtColor(paper, level, cv::COLOR_GRAY2BGR);
  // Print contrast: paper white 235, ink 25.
  level.convertTo(level, CV_8UC3, 210.0 / 255.0, 25.0);
  scene->levels_.push_back(level);
  while (scene->levels_.back().cols > 64) {
    cv::Mat half;
    cv::pyrDown(scene->levels_.back(), half);
    scene->levels_.push_back(half);
  }
  if (!scene->prepare(error)) return nullptr;
  return scene;
}

bool BoardScene::prepare(std::string& error) {
  lens_.reset();
  mapX_.release();
  mapY_.release();
  if (distortion_.empty()) return true;
  const cv::Matx33d k(intrinsics_.fx, 0, intrinsics_.cx, 0, intrinsics_.fy, intrinsics_.cy, 0, 0, 1);
  std::string why;
  lens_ = CameraLens::FromOpenCV(k, distortion_, size_, why);
  if (!lens_) {
    error = "The board scene's lens: " + why + ".";
    return false;
  }
  const FrameLens table(*lens_);
  cv::Rect2f extent;
  float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
  for (int y = 0; y < size_.height; ++y)
    for (int x = 0; x < size_.width; ++x) {
      const cv::Point2f p = table.UndistortPixel(x, y);
      x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    }
  idealArea_ = cv::Rect(static_cast<int>(std::floor(x0)) - 1, static_cast<int>(std::floor(y0)) - 1,
                        static_cast<int>(std::ceil(x1 - x0)) + 3, static_cast<int>(std::ceil(y1 - y0)) + 3);
  mapX_.create(size_, CV_32FC1);
  mapY_.create(size_, CV_32FC1);
  for (int y = 0; y < size_.height; ++y)
    for (int x = 0; x < size_.width; ++x) {
      const cv::Point2f p = table.UndistortPixel(x, y);
      mapX_.at<float>(y, x) = p.x - static_cast<float>(idealArea_.x);
      mapY_.at<float>(y, x) = p.y - static_cast<float>(idealArea_.y);
    }
  return true;
}

cv::Point2d BoardScene::project(const ScenePose& pose, const cv::Point3d& b) const {
  const auto& r = pose.rotation;
  const auto& t = pose.translation;
  const double x = r[0] * b.x + r[1] * b.y + r[2] * b.z + t[0];
  const double y = r[3] * b.x + r[4] * b.y + r[5] * b.z + t[1];
  const double z = r[6] * b.x + r[7] * b.y + r[8] * b.z + t[2];
  const cv::Point2d ideal(intrinsics_.fx * x / z + intrinsics_.cx, intrinsics_.fy * y / z + intrinsics_.cy);
  return lens_ ? lens_->Distort(ideal) : ideal;
}

ScenePose BoardScene::poseAt(int index) const {
  const Stop s = stopAt(std::max(0, index));
  cv::Matx33d tilt, rotation;
  cv::Rodrigues(cv::Vec3d(s.tiltX, s.tiltY, 0.0), tilt);
  const cv::Matx33d roll(std::cos(s.roll), -std::sin(s.roll), 0, std::sin(s.roll), std::cos(s.roll), 0, 0, 0, 1);
  rotation = roll * tilt;
  const cv::Size2d extent = BoardExtent(board_);
  const cv::Vec3d centre(extent.width / 2 - board_.square, extent.height / 2 - board_.square, 0.0);
  const double w = size_.width, h = size_.height;
  // Front-on, the board covers `share` of the frame at this depth.
  const double f = std::sqrt(intrinsics_.fx * intrinsics_.fy);
  double depth = f * std::sqrt(extent.area() / (s.share * w * h));
  const cv::Vec3d ray((s.u * w - intrinsics_.cx) / intrinsics_.fx, (s.v * h - intrinsics_.cy) / intrinsics_.fy, 1.0);
  const double paper = kPaperMargin * board_.square;
  const std::array<cv::Point3d, 4> paperCorners{
      cv::Point3d(-board_.square - paper, -board_.square - paper, 0),
      cv::Point3d(extent.width - board_.square + paper, -board_.square - paper, 0),
      cv::Point3d(extent.width - board_.square + paper, extent.height - board_.square + paper, 0),
      cv::Point3d(-board_.square - paper, extent.height - board_.square + paper, 0)};
  ScenePose pose;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) pose.rotation[static_cast<std::size_t>(3 * r + c)] = rotation(r, c);
  const double inset = kFrameMargin * h;
  for (int attempt = 0; attempt < 200; ++attempt, depth *= 1.02) {
    const cv::Vec3d t = depth * ray - rotation * centre;
    pose.translation = {t[0], t[1], t[2]};
    bool inside = true;
    for (const cv::Point3d& corner : paperCorners) {
      const cv::Vec3d c = rotation * cv::Vec3d(corner.x, corner.y, corner.z) + t;
      const cv::Point2d p(intrinsics_.fx * c[0] / c[2] + intrinsics_.cx, intrinsics_.fy * c[1] / c[2] + intrinsics_.cy);
      inside = inside && c[2] > 0 && p.x >= inset && p.y >= inset && p.x <= w - 1 - inset && p.y <= h - 1 - inset;
    }
    if (inside) break;
  }
  return pose;
}

std::vector<cv::Point2d> BoardScene::cornersAt(int index) const {
  const ScenePose pose = poseAt(index);
  std::vector<cv::Point2d> corners;
  for (const cv::Point3f& p : BoardPoints(board_)) corners.push_back(project(pose, cv::Point3d(p)));
  return corners;
}

bool BoardScene::holdingAt(int index) { return index >= 0 && index % kCycle < kHoldFrames; }

std::optional<FrameCorners> BoardScene::trueCorners() const {
  if (last_ < 0) return std::nullopt;
  const ScenePose pose = poseAt(last_);
  const cv::Size2d e = BoardExtent(board_);
  const double s = board_.square;
  return FrameCorners{project(pose, {-s, -s, 0}), project(pose, {e.width - s, -s, 0}),
                      project(pose, {e.width - s, e.height - s, 0}), project(pose, {-s, e.height - s, 0})};
}

void BoardScene::render(int index, cv::Mat& bgr) const {
  const ScenePose pose = poseAt(index);
  const cv::Rect area = lens_ ? idealArea_ : cv::Rect(0, 0, size_.width, size_.height);
  // Paper texel -> ideal pixel of the picture of `area`: K [r1 r2 t] applied to board metres.
  const auto& r = pose.rotation;
  const auto& t = pose.translation;
  const cv::Matx33d k(intrinsics_.fx, 0, intrinsics_.cx - area.x, 0, intrinsics_.fy, intrinsics_.cy - area.y, 0, 0, 1);
  const cv::Matx33d boardToPixel = k * cv::Matx33d(r[0], r[1], t[0], r[3], r[4], t[1], r[6], r[7], t[2]);
  // The level whose texels are about the size of a pixel where the board is seen largest.
  const cv::Size2d e = BoardExtent(board_);
  double nearest = 1e300;
  for (const double x : {-board_.square, e.width - board_.square})
    for (const double y : {-board_.square, e.height - board_.square}) nearest = std::min(nearest, r[6] * x + r[7] * y + t[2]);
  const double pixelsPerMetre = std::max(intrinsics_.fx, intrinsics_.fy) / std::max(1e-9, nearest);
  std::size_t level = 0;
  while (level + 1 < levels_.size() && texelsPerMetre_ / std::pow(2.0, static_cast<double>(level + 1)) >= pixelsPerMetre)
    ++level;
  const double texelScale = std::pow(2.0, static_cast<double>(level));
  // Texel (of this level) -> board metres: pyrDown centres texel i of level L on level-0 texel 2^L i.
  const double m = texelScale / texelsPerMetre_;
  const cv::Matx33d texelToBoard(m, 0, -paperOrigin_.x / texelsPerMetre_, 0, m, -paperOrigin_.y / texelsPerMetre_, 0, 0, 1);
  const cv::Matx33d h = boardToPixel * texelToBoard;

  cv::Mat ideal(area.size(), CV_8UC3, cv::Scalar::all(kTableGrey));
  cv::warpPerspective(levels_[level], ideal, cv::Mat(h), ideal.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
  if (lens_) {
    cv::remap(ideal, bgr, mapX_, mapY_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  } else {
    bgr = ideal;
  }
  if (noiseSigma_ > 0.0) {
    cv::Mat noise(bgr.size(), CV_16SC3);
    cv::RNG rng(static_cast<uint64_t>(seed_) * 1000003ULL + static_cast<uint64_t>(index));
    rng.fill(noise, cv::RNG::NORMAL, 0.0, noiseSigma_);
    cv::Mat sum;
    cv::add(bgr, noise, sum, cv::noArray(), CV_16SC3);
    sum.convertTo(bgr, CV_8UC3);
  }
}

bool BoardScene::read(std::vector<uint8_t>& packed) {
  cv::Mat frame;
  render(next_, frame);
  if (!PackBgrFrame(frame, packed)) return false;
  last_ = next_++;
  return true;
}

std::string BoardScene::description() const {
  std::string text = "board scene '" + BoardLayoutText(board_) + "', " + std::to_string(size_.width) + "x" +
                     std::to_string(size_.height) + ", seed " + std::to_string(seed_);
  if (lens_) text += ", lens " + lens_->Describe();
  return text;
}

bool BoardScene::setFrameSize(int width, int height) {
  if (!IsValidFrameSize(width, height)) return false;
  const double scale = static_cast<double>(width) / size_.width;
  const PinholeIntrinsics before = intrinsics_;
  const cv::Size sizeBefore = size_;
  intrinsics_ = {before.fx * scale, before.fy * scale, before.cx * width / size_.width,
                 before.cy * height / size_.height};
  size_ = cv::Size(width, height);
  std::string error;
  if (!prepare(error)) {
    intrinsics_ = before;
    size_ = sizeBefore;
    prepare(error);
    return false;
  }
  return true;
}

}  // namespace quorl
