#include "capture/picture_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/scene_textures.h"

namespace quorl {
namespace {

constexpr PictureProfile kOrder[] = {PictureProfile::kTable, PictureProfile::kReturn, PictureProfile::kSwap,
                                     PictureProfile::kFar, PictureProfile::kDeck, PictureProfile::kWall,
                                     PictureProfile::kSteep};
constexpr const char* kNames[] = {"table", "return", "swap", "far", "deck", "wall", "steep"};
constexpr double kPictureWidth = 0.25;  // world units
constexpr double kSpacing = 0.3;        // between picture centres
constexpr double kTableSide = 3.0;      // world units covered by one table tile
constexpr double kPi = std::numbers::pi;

cv::Vec3d Normalised(const cv::Vec3d& v) { return v / cv::norm(v); }

// The pictures shown at time `t` and their places on the table: every picture in its own place, or a deck's cards.
struct Shown {
  std::size_t picture;
  std::size_t place;
};
std::vector<Shown> ShownAt(PictureProfile profile, std::size_t pictures, double t) {
  std::vector<Shown> shown;
  if (profile != PictureProfile::kDeck) {
    for (std::size_t i = 0; i < pictures; ++i) shown.push_back({i, i});
    return shown;
  }
  const std::size_t places = std::min<std::size_t>(kDeckSlots, pictures);
  for (std::size_t j = 0; j < places; ++j) {
    // Place j changes a third of a period after place j - 1.
    const double dealt = t / kDeckPeriod + static_cast<double>(j) / kDeckSlots;
    if (dealt - std::floor(dealt) < kDeckGap / kDeckPeriod && dealt >= 1.0) continue;
    const auto round = static_cast<std::size_t>(std::floor(dealt));
    shown.push_back({(j + places * round) % pictures, j});
  }
  return shown;
}

std::vector<cv::Mat> MipLevels(const cv::Mat& picture) {
  std::vector<cv::Mat> levels{picture};
  while (std::min(levels.back().cols, levels.back().rows) >= 16) {
    cv::Mat down;
    cv::pyrDown(levels.back(), down);
    levels.push_back(down);
  }
  return levels;
}

}  // namespace

// Where one picture lies and how the camera sees the table in one frame.
struct PictureScene::Placed {
  cv::Matx33d rotation;  // world to camera, rows x right, y down, z forwards
  cv::Vec3d centre;      // camera centre, world
  cv::Matx33d k;
  // Frame pixels of table point (x, y, 0); false behind the camera.
  bool Project(double x, double y, cv::Point2d& out) const {
    const cv::Vec3d c = rotation * (cv::Vec3d(x, y, 0.0) - centre);
    if (c[2] <= 1e-6) return false;
    out = cv::Point2d(k(0, 0) * c[0] / c[2] + k(0, 2), k(1, 1) * c[1] / c[2] + k(1, 2));
    return true;
  }
  // Frame pixels of table points: the homography from table coordinates.
  cv::Matx33d TableToFrame() const {
    const cv::Vec3d t = -(rotation * centre);
    const cv::Matx33d rt(rotation(0, 0), rotation(0, 1), t[0], rotation(1, 0), rotation(1, 1), t[1], rotation(2, 0),
                         rotation(2, 1), t[2]);
    return k * rt;
  }
};

std::span<const PictureProfile> AllPictureProfiles() { return kOrder; }

std::optional<PictureProfile> ParsePictureProfile(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kNames); ++i)
    if (name == kNames[i]) return kOrder[i];
  return std::nullopt;
}

const char* PictureProfileName(PictureProfile profile) { return kNames[static_cast<int>(profile)]; }

std::string PictureProfileList() {
  std::string list;
  for (const char* name : kNames) list += (list.empty() ? "" : ", ") + std::string(name);
  return list;
}

std::unique_ptr<PictureScene> PictureScene::Create(int width, int height, PictureProfile profile, uint32_t seed,
                                                   std::vector<cv::Mat> pictures, std::vector<std::string> names,
                                                   std::string& error) {
  if (!IsValidFrameSize(width, height)) {
    error = "The picture scene was asked for " + std::to_string(width) + "x" + std::to_string(height) + "; " +
            FrameSizeRule();
    return nullptr;
  }
  if (pictures.empty() || pictures.size() != names.size()) {
    error = "The picture scene needs target pictures (--picture FILE).";
    return nullptr;
  }
  std::unique_ptr<PictureScene> scene(new PictureScene());
  scene->width_ = width;
  scene->height_ = height;
  scene->profile_ = profile;
  scene->seed_ = seed;
  for (const cv::Mat& p : pictures) scene->levels_.push_back(MipLevels(p));
  scene->names_ = std::move(names);
  scene->decoyLevels_ = MipLevels(MakeTargetTexture());
  scene->table_ = MakeBackgroundTile();
  return scene;
}

bool PictureScene::setFrameSize(int width, int height) {
  if (!IsValidFrameSize(width, height)) return false;
  if (lens_) {
    const std::optional<CameraLens> resized = lens_->Resized(width, height);
    if (!resized) return false;
    lensView_ = std::make_shared<const LensView>(*resized);
  }
  width_ = width;
  height_ = height;
  return true;
}

bool PictureScene::setLens(const CameraLens& lens, std::string& error) {
  const std::optional<CameraLens> resized = lens.Resized(width_, height_);
  if (!resized) {
    error = "The picture scene cannot film through this lens.";
    return false;
  }
  lens_ = lens;
  lensView_ = std::make_shared<const LensView>(*resized);
  return true;
}

std::string PictureScene::description() const {
  return std::string("picture scene '") + PictureProfileName(profile_) + "', " + std::to_string(names_.size()) +
         " pictures, " + std::to_string(width_) + "x" + std::to_string(height_) + ", seed " + std::to_string(seed_);
}

bool PictureScene::read(std::vector<uint8_t>& packed) {
  cv::Mat bgr;
  render(next_, bgr, truth_);
  PackBgrFrame(bgr, packed);
  ++next_;
  return true;
}

void PictureScene::render(int index, cv::Mat& bgr, std::vector<TargetTruth>& truth) const {
  const double t = index / 30.0;
  const double phase = (seed_ % 97) * 0.37;
  // The camera: looking at `look` from `distance`, tilted from the table's normal towards `azimuth`.
  cv::Vec3d look(0.0, 0.0, 0.0);
  double distance = 1.0, tilt = 0.3, azimuth = 0.0, roll = 0.0;
  // The table, swap, deck and wall paths circle the pictures: the look point sways, the distance and tilt swing.
  struct Circling {
    double swayX, swayXRate, swayY, swayYRate, distance, distanceSwing, tilt, tiltSwing, rollSwing;
  };
  const auto circle = [&](const Circling& c) {
    look = cv::Vec3d(c.swayX * std::sin(c.swayXRate * t + phase), c.swayY * std::cos(c.swayYRate * t + phase), 0.0);
    distance = c.distance + c.distanceSwing * std::sin(2 * kPi * t / 12 + phase);
    tilt = (c.tilt + c.tiltSwing * std::sin(2 * kPi * t / 9 + 2 * phase)) * kPi / 180;
    azimuth = 2 * kPi * t / 20 + 3 * phase;
    roll = c.rollSwing * std::sin(2 * kPi * t / 15 + phase);
  };
  switch (profile_) {
    case PictureProfile::kTable:
    case PictureProfile::kSwap:
      circle({0.08, 0.3, 0.05, 0.25, 1.2, 0.5, 27.5, 17.5, 0.25});
      break;
    case PictureProfile::kReturn:
      look = cv::Vec3d(0.35 * (1 - std::cos(2 * kPi * t / 8)), 0.0, 0.0);
      distance = 0.8;
      tilt = 0.35;
      azimuth = phase;
      break;
    case PictureProfile::kFar:
      distance = 1.0 + (1 - std::cos(2 * kPi * t / 10));
      tilt = 0.25;
      azimuth = 2 * kPi * t / 25 + phase;
      roll = 0.2 * std::sin(2 * kPi * t / 11);
      break;
    case PictureProfile::kDeck:
      circle({0.04, 0.3, 0.03, 0.25, 0.9, 0.2, 25.0, 10.0, 0.15});
      break;
    case PictureProfile::kWall:
      circle({0.1, 0.2, 0.06, 0.17, 2.2, 0.2, 20.0, 10.0, 0.1});
      break;
    case PictureProfile::kSteep:
      circle({0.05, 0.3, 0.03, 0.25, 0.8, 0.1, 57.5, 7.5, 0.15});
      if (std::fmod(t, kSteepPeriod) >= kSteepPeriod - kSteepAway) look[0] += 3.0;
      break;
  }
  Placed view;
  view.centre = look + distance * cv::Vec3d(std::sin(tilt) * std::cos(azimuth), std::sin(tilt) * std::sin(azimuth),
                                            -std::cos(tilt));
  const cv::Vec3d z = Normalised(look - view.centre);
  const cv::Vec3d x0 = Normalised(cv::Vec3d(0, 1, 0).cross(z));
  const cv::Vec3d y0 = z.cross(x0);
  const cv::Vec3d x = std::cos(roll) * x0 + std::sin(roll) * y0, y = z.cross(x);
  view.rotation = cv::Matx33d(x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
  // Through a lens the picture is made over the lens's canvas in ideal pixels, then carried to the frame.
  const PinholeIntrinsics in = DefaultIntrinsics(width_, height_);
  view.k = lensView_ ? lensView_->canvasMatrix() : cv::Matx33d(in.fx, 0, in.cx, 0, in.fy, in.cy, 0, 0, 1);
  const cv::Size canvas = lensView_ ? lensView_->canvasSize() : cv::Size(width_, height_);
  const cv::Matx33d tableToFrame = view.TableToFrame();

  // The table: one tile per kTableSide units, repeated.
  const double texel = kTableSide / table_.cols;
  const cv::Matx33d tileToTable(texel, 0, -kTableSide / 2, 0, texel, -kTableSide / 2, 0, 0, 1);
  cv::warpPerspective(table_, bgr, tableToFrame * tileToTable, canvas, cv::INTER_LINEAR, cv::BORDER_WRAP);

  truth.clear();
  const cv::Rect2d frameBox(0, 0, width_ - 1, height_ - 1);
  const std::vector<cv::Point2f> frameQuad = {{0, 0}, {float(width_ - 1), 0}, {float(width_ - 1), float(height_ - 1)},
                                              {0, float(height_ - 1)}};
  const std::size_t n = profile_ == PictureProfile::kDeck ? std::min<std::size_t>(kDeckSlots, levels_.size())
                                                          : levels_.size();  // places on the table
  for (const auto [i, place] : ShownAt(profile_, levels_.size(), t)) {
    const bool swapped = profile_ == PictureProfile::kSwap && i == 1 % n && std::fmod(t, 6.0) >= 2.0 &&
                         std::fmod(t, 6.0) < 4.0;
    const std::vector<cv::Mat>& levels = swapped ? decoyLevels_ : levels_[i];
    const cv::Size size = levels_[i][0].size();  // the decoy takes the target's place and shape
    const double w = kPictureWidth, h = kPictureWidth * size.height / size.width;
    // Side by side; on the wall in rows of kWallRow.
    const std::size_t row = profile_ == PictureProfile::kWall ? place / kWallRow : 0;
    const std::size_t across = profile_ == PictureProfile::kWall ? std::min<std::size_t>(n, kWallRow) : n;
    const std::size_t rows = (n + across - 1) / across;
    const double cx = (static_cast<double>(place - row * across) - (across - 1) / 2.0) * kSpacing;
    const double cy = (static_cast<double>(row) - (rows - 1) / 2.0) * kSpacing + (place % 2 == 0 ? 0.03 : -0.04);
    const double turn = (place % 2 == 0 ? 8.0 : -12.0) * kPi / 180;
    // Given-picture pixels (corner pixel centres at the rectangle's corners) to table coordinates.
    const double sx = w / (size.width - 1), sy = h / (size.height - 1), c = std::cos(turn), s = std::sin(turn);
    const cv::Matx33d pictureToTable(c * sx, -s * sy, cx - c * w / 2 + s * h / 2, s * sx, c * sy,
                                     cy - s * w / 2 - c * h / 2, 0, 0, 1);
    const cv::Matx33d pictureToFrame = tableToFrame * pictureToTable;
    FrameCorners corners;
    const cv::Point2d given[4] = {{0, 0}, {size.width - 1.0, 0}, {size.width - 1.0, size.height - 1.0},
                                  {0, size.height - 1.0}};
    bool inFront = true;
    for (int k = 0; k < 4; ++k) {
      const cv::Vec3d p = pictureToFrame * cv::Vec3d(given[k].x, given[k].y, 1.0);
      inFront = inFront && p[2] > 1e-9;
      corners[k] = cv::Point2d(p[0] / p[2], p[1] / p[2]);
    }
    if (!inFront) continue;
    std::vector<cv::Point2f> quad(corners.begin(), corners.end()), overlap;
    if (lensView_)
      for (cv::Point2d& c : corners) c = lensView_->CanvasToFrame(c);
    const std::vector<cv::Point2f> shownQuad(corners.begin(), corners.end());
    const bool visible = cv::intersectConvexConvex(shownQuad, frameQuad, overlap) > 1.0;
    if (!visible) continue;
    // The mip level at most twice as fine as the frame's view of it.
    const double shown = std::sqrt(std::fabs(cv::contourArea(quad)) / (double(size.width) * size.height));
    std::size_t level = 0;
    while (level + 1 < levels.size() && shown * (1 << (level + 1)) <= 0.5) ++level;
    const cv::Mat& source = levels[level];
    // A level's pixel x lies at pixel x 2^level of the first (each level halved by pyrDown), whose corner pixels
    // are the picture's (a decoy of another size stretched to them).
    const double up = std::ldexp(1.0, static_cast<int>(level));
    const double fx = up * (size.width - 1) / std::max(1, levels[0].cols - 1);
    const double fy = up * (size.height - 1) / std::max(1, levels[0].rows - 1);
    const cv::Matx33d levelToFrame = pictureToFrame * cv::Matx33d(fx, 0, 0, 0, fy, 0, 0, 0, 1);
    cv::Mat warped, cover;
    cv::warpPerspective(source, warped, levelToFrame, bgr.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::warpPerspective(cv::Mat(source.size(), CV_8UC1, cv::Scalar(255)), cover, levelToFrame, bgr.size(),
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::Mat inside;
    cv::threshold(cover, inside, 127, 255, cv::THRESH_BINARY);
    warped.copyTo(bgr, inside);
    if (swapped) continue;
    bool whole = true;
    for (const cv::Point2d& p : corners) whole = whole && frameBox.contains(p);
    // The picture's axes turned by `turn` on the table, its centre where its middle pixel lies.
    const cv::Matx33d turned = view.rotation * cv::Matx33d(c, -s, 0, s, c, 0, 0, 0, 1);
    const cv::Vec3d middle = pictureToTable * cv::Vec3d((size.width - 1) / 2.0, (size.height - 1) / 2.0, 1.0);
    const cv::Vec3d at = view.rotation * (cv::Vec3d(middle[0], middle[1], 0.0) - view.centre) / w;
    const cv::Matx44d pose(turned(0, 0), turned(0, 1), turned(0, 2), at[0], turned(1, 0), turned(1, 1), turned(1, 2),
                           at[1], turned(2, 0), turned(2, 1), turned(2, 2), at[2], 0, 0, 0, 1);
    truth.push_back(TargetTruth{names_[i], corners, whole, pose});
  }
  if (lensView_) {
    cv::Mat ideal;
    cv::swap(ideal, bgr);
    lensView_->Apply(ideal, bgr);
  }

  // Webcam light: vignetting, a slow gain change, soft focus, sensor noise and JPEG blocks.
  if (vignette_.size() != bgr.size()) {
    cv::Mat light(bgr.size(), CV_32FC1);
    for (int r = 0; r < light.rows; ++r) {
      float* row = light.ptr<float>(r);
      for (int q = 0; q < light.cols; ++q) {
        const double u = (q - width_ / 2.0) / (width_ / 2.0), v = (r - height_ / 2.0) / (width_ / 2.0);
        row[q] = static_cast<float>(1.0 - 0.3 * (u * u + v * v) / 1.56);
      }
    }
    cv::merge(std::vector<cv::Mat>{light, light, light}, vignette_);
  }
  const double gain = 1.0 + 0.2 * std::sin(2 * kPi * t / 7 + phase);
  cv::Mat lit;
  bgr.convertTo(lit, CV_32FC3, gain);
  lit = lit.mul(vignette_);
  cv::GaussianBlur(lit, lit, cv::Size(0, 0), 0.6);
  cv::Mat noise(lit.size(), CV_32FC3);
  cv::RNG rng(seed_ * 7919u + static_cast<uint32_t>(index));
  rng.fill(noise, cv::RNG::NORMAL, 0.0, 3.0);
  lit += noise;
  lit.convertTo(bgr, CV_8UC3);
  std::vector<uint8_t> jpeg;
  cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 75});
  bgr = cv::imdecode(jpeg, cv::IMREAD_COLOR);
}

}  // namespace quorl
