#include "features/robust_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "image/corners.h"

namespace quorl {
namespace {

// Integer pixel polygon of the quad, for masks and the inside test.
std::vector<cv::Point> PixelPolygon(const std::array<cv::Point2f, 4>& quad, double scale, cv::Point origin) {
  std::vector<cv::Point> polygon;
  for (const cv::Point2f& c : quad)
    polygon.emplace_back(cvRound((c.x - origin.x + 0.5) * scale - 0.5), cvRound((c.y - origin.y + 0.5) * scale - 0.5));
  return polygon;
}

// The region searched at registration: the quad's bounding box grown by what the smallest scale needs
// for the detector's border and the descriptor's patch, clipped to the picture.
cv::Rect SearchRegion(const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, double smallestScale) {
  float x0 = quad[0].x, x1 = quad[0].x, y0 = quad[0].y, y1 = quad[0].y;
  for (const cv::Point2f& c : quad) {
    x0 = std::min(x0, c.x);
    x1 = std::max(x1, c.x);
    y0 = std::min(y0, c.y);
    y1 = std::max(y1, c.y);
  }
  const double grow = (kCornerBorder + 2) / smallestScale;
  const cv::Rect2d box(x0 - grow, y0 - grow, x1 - x0 + 2 * grow + 1, y1 - y0 + 2 * grow + 1);
  return cv::Rect(cv::Point(static_cast<int>(std::floor(std::max(box.x, -1e9))),
                            static_cast<int>(std::floor(std::max(box.y, -1e9)))),
                  cv::Point(static_cast<int>(std::ceil(std::min(box.br().x, 1e9))),
                            static_cast<int>(std::ceil(std::min(box.br().y, 1e9))))) &
         cv::Rect(0, 0, gray.cols, gray.rows);
}

int CountInside(const CornerList& corners, const cv::Mat& inside) {
  int count = 0;
  for (const CornerPoint& c : corners) count += inside.at<uint8_t>(c.y, c.x) != 0;
  return count;
}

}  // namespace

cv::Mat GrayMatView(const GrayImage& gray) {
  if (gray.empty()) return {};
  return cv::Mat(gray.height, gray.width, CV_8UC1, gray.rows[0]);
}

GrayImage ToGrayImage(const cv::Mat& gray) {
  GrayImage out;
  if (gray.empty() || !out.CreateImage(gray.cols, gray.rows)) return out;
  for (int y = 0; y < gray.rows; ++y) std::memcpy(out.rows[y], gray.ptr<uint8_t>(y), static_cast<std::size_t>(gray.cols));
  return out;
}

cv::Point2f ScaledToRegistered(cv::Point2f p, cv::Point origin, double scale) {
  return {static_cast<float>(origin.x + (p.x + 0.5) / scale - 0.5), static_cast<float>(origin.y + (p.y + 0.5) / scale - 0.5)};
}

int NearestScaleSlot(const RobustModel& model, double scale) {
  int best = 0;
  for (int slot = 1; slot < static_cast<int>(model.scales.size()); ++slot)
    if (std::fabs(std::log(model.scales[slot] / scale)) < std::fabs(std::log(model.scales[best] / scale))) best = slot;
  return best;
}

void RobustModel::BuildTrees() {
  straightPoints = 0;
  while (straightPoints < points.size() && points[straightPoints].view == 0) ++straightPoints;
  tree.Clear();
  tiltTree.Clear();
  const auto from = descriptors.begin() + static_cast<std::ptrdiff_t>(straightPoints);
  if (straightPoints == descriptors.size()) {
    if (straightPoints >= 2) tree.Build(descriptors);
    return;
  }
  if (straightPoints >= 2) tree.Build(std::vector<KeypointDescriptor>(descriptors.begin(), from));
  if (descriptors.size() - straightPoints >= 2) tiltTree.Build(std::vector<KeypointDescriptor>(from, descriptors.end()));
}

double RobustModel::radius() const {
  return 0.5 * std::max(cv::norm(quad[2] - quad[0]), cv::norm(quad[3] - quad[1]));
}

namespace {

struct BarrierCorners {
  int barrier;
  CornerList corners;  // DetectCorners(image, arc, barrier)
};

// The smallest barrier in params.minModelBarrier..maxModelBarrier leaving at most `goal` corners of `image`
// where `inside` is set, with its corners. The count falls as the barrier rises: found by bisection, where every
// barrier tried lies above one tried before, so the image is scanned once and later tries retest its candidates.
BarrierCorners BarrierFor(const GrayImage& image, const cv::Mat& inside, int arc, int goal, const RobustParams& params) {
  const auto clamped = [](int b) { return std::clamp(b, -256, 256); };  // as DetectCorners does
  int low = params.minModelBarrier, high = params.maxModelBarrier;
  CornerList lowCandidates = SegmentTest(image, arc, clamped(low));
  CornerList corners = FilterBorder(image, SuppressNonMaxima(image, lowCandidates, clamped(low)));
  if (CountInside(corners, inside) <= goal) return {low, std::move(corners)};
  bool highTried = false;
  while (high - low > 1) {
    const int mid = (low + high) / 2;
    CornerList candidates = RetestSegments(image, lowCandidates, arc, clamped(mid));
    CornerList found = FilterBorder(image, SuppressNonMaxima(image, candidates, clamped(mid)));
    if (CountInside(found, inside) <= goal) {
      high = mid;
      corners = std::move(found);
      highTried = true;
    } else {
      low = mid;
      lowCandidates = std::move(candidates);
    }
  }
  if (!highTried) corners = DetectCorners(image, arc, high);  // even the highest leaves too many
  return {high, std::move(corners)};
}

// The points of `scaled` (the registered region at scale `sx`, its quad inside `inside`) seen tilted by `tiltAngle`
// degrees along direction `direction` of params.tiltDirections over half a turn: the picture turned
// by it, then compressed across by the tilt's cosine. Appended to `model` as view model.tilts.size() + 1, at the slot
// nearest the view's area scale.
void AddTiltView(RobustModel& model, const cv::Mat& scaled, const cv::Mat& inside, cv::Point origin, double sx,
                 double tiltAngle, int direction, int arc, int barrier, const RobustParams& params) {
  const double squeeze = std::cos(tiltAngle * CV_PI / 180.0);
  // Turned about the region's centre by direction / tiltDirections of half a turn into a box that holds all of it (no
  // turn, or a quarter turn as a copy), softened across as the compression will merge pixels, then compressed across.
  cv::Mat turned, view;
  cv::Matx23d turn(1, 0, 0, 0, 1, 0);
  if (2 * direction == params.tiltDirections) {
    cv::rotate(scaled, turned, cv::ROTATE_90_CLOCKWISE);
    turn = cv::Matx23d(0, -1, scaled.rows - 1, 1, 0, 0);
  } else if (direction == 0) {
    turned = scaled;
  } else {
    const double angle = CV_PI * direction / params.tiltDirections, c = std::cos(angle), sn = std::sin(angle);
    const cv::Size box(cvCeil(std::fabs(c) * scaled.cols + std::fabs(sn) * scaled.rows),
                       cvCeil(std::fabs(sn) * scaled.cols + std::fabs(c) * scaled.rows));
    const cv::Point2d middle((scaled.cols - 1) * 0.5, (scaled.rows - 1) * 0.5);
    turn = cv::Matx23d(c, -sn, (box.width - 1) * 0.5 - (c * middle.x - sn * middle.y), sn, c,
                       (box.height - 1) * 0.5 - (sn * middle.x + c * middle.y));
    cv::warpAffine(scaled, turned, turn, box, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  }
  const cv::Size size(std::max(1, cvRound(turned.cols * squeeze)), turned.rows);
  const double fx = static_cast<double>(size.width) / turned.cols;
  const cv::Matx23d warp(fx * turn(0, 0), fx * turn(0, 1), fx * (turn(0, 2) + 0.5) - 0.5, turn(1, 0), turn(1, 1),
                         turn(1, 2));
  const double across = 0.8 * std::sqrt(1.0 / (fx * fx) - 1.0);
  cv::Mat softened;
  cv::GaussianBlur(turned, softened, cv::Size(2 * cvCeil(3 * across) + 1, 1), across, 0.01);
  cv::resize(softened, view, size, 0, 0, cv::INTER_LINEAR);
  const GrayImage image = ToGrayImage(view);
  cv::Matx23d back;
  cv::invertAffineTransform(warp, back);
  const auto toScaled = [&](double x, double y) {
    return cv::Point2d(back(0, 0) * x + back(0, 1) * y + back(0, 2), back(1, 0) * x + back(1, 1) * y + back(1, 2));
  };
  // A corner counts inside the quad with its whole patch inside the region.
  const auto usable = [&](const CornerPoint& corner) {
    for (const int dx : {-kCornerBorder, kCornerBorder})
      for (const int dy : {-kCornerBorder, kCornerBorder}) {
        const cv::Point2d q = toScaled(corner.x + dx, corner.y + dy);
        if (!(q.x >= 0 && q.y >= 0 && q.x <= scaled.cols - 1 && q.y <= scaled.rows - 1)) return false;
      }
    const cv::Point2d q = toScaled(corner.x, corner.y);
    return inside.at<uint8_t>(cvRound(q.y), cvRound(q.x)) != 0;
  };
  // The strongest corners at the straight view's barrier (one detection, where a barrier of its own takes several).
  std::vector<std::pair<int, CornerPoint>> strongest;
  for (const CornerPoint& corner : DetectCorners(image, arc, barrier))
    if (usable(corner)) strongest.emplace_back(-CornerScore(image, corner.x, corner.y, barrier), corner);
  const std::size_t kept = std::min(strongest.size(), static_cast<std::size_t>(params.tiltCornerGoal));
  std::partial_sort(strongest.begin(), strongest.begin() + static_cast<std::ptrdiff_t>(kept), strongest.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  strongest.resize(kept);
  const int slot = NearestScaleSlot(model, std::sqrt(fx) * sx);
  const int index = static_cast<int>(model.tilts.size()) + 1;
  for (const auto& [score, corner] : strongest) {
    const cv::Point2d q = toScaled(corner.x, corner.y);
    ModelPoint point;
    point.position = ScaledToRegistered(cv::Point2f(static_cast<float>(q.x), static_cast<float>(q.y)), origin, sx);
    point.slot = slot;
    point.view = index;
    point.orientation =
        static_cast<float>(DescribeOrientedKeypoint(image, corner.x, corner.y, model.descriptors.emplace_back()));
    model.points.push_back(point);
  }
  if (!strongest.empty()) {
    model.tilts.push_back(TiltView{cv::Matx22f(static_cast<float>(warp(0, 0) * sx), static_cast<float>(warp(0, 1) * sx),
                                               static_cast<float>(warp(1, 0) * sx), static_cast<float>(warp(1, 1) * sx))});
  }
}

}  // namespace

int ChooseModelBarrier(const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, int arc,
                       const RobustParams& params) {
  const cv::Rect region = SearchRegion(gray, quad, kRobustScales.front());
  if (region.empty()) return params.minModelBarrier;
  cv::Mat inside = cv::Mat::zeros(region.size(), CV_8UC1);
  cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{PixelPolygon(quad, 1.0, region.tl())}, cv::Scalar(255));
  return BarrierFor(ToGrayImage(gray(region)), inside, arc, params.modelCornerGoal, params).barrier;
}

void RegisterRobustModel(RobustModel& model, const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, int arc,
                         const RobustParams& params, std::span<const double> scales, bool picture) {
  model = RobustModel{};
  model.quad = quad;
  model.arc = arc;
  model.image = gray.clone();
  model.scales.assign(scales.begin(), scales.end());
  const cv::Rect region = SearchRegion(gray, quad, scales.empty() ? 1.0 : scales.front());
  if (region.empty()) return;
  model.barrier = picture ? params.maxModelBarrier : ChooseModelBarrier(gray, quad, arc, params);

  struct Tilted {
    cv::Mat scaled, inside;
    double sx;
    int barrier;
  };
  std::vector<Tilted> tilted;
  int longestTilted = 0;
  for (const auto& tilt : params.pictureTilts) longestTilted = std::max(longestTilted, tilt.longestSide);
  for (int slot = 0; slot < static_cast<int>(model.scales.size()); ++slot) {
    const double s = model.scales[slot];
    cv::Mat scaled;
    const cv::Size size(std::max(1, cvRound(region.width * s)), std::max(1, cvRound(region.height * s)));
    cv::resize(gray(region), scaled, size, 0, 0, s < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const double sx = static_cast<double>(size.width) / region.width;
    cv::Mat inside = cv::Mat::zeros(size, CV_8UC1);
    cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{PixelPolygon(quad, sx, region.tl())}, cv::Scalar(255));
    if (picture) cv::GaussianBlur(scaled, scaled, cv::Size(0, 0), params.pictureBlur);
    const GrayImage image = ToGrayImage(scaled);
    BarrierCorners found = picture ? BarrierFor(image, inside, arc, params.pictureCornerGoal, params)
                                   : BarrierCorners{model.barrier, DetectCorners(image, arc, model.barrier)};
    const int barrier = found.barrier;
    if (picture) model.barrier = std::min(model.barrier, barrier);
    for (const CornerPoint& c : found.corners) {
      if (inside.at<uint8_t>(c.y, c.x) == 0) continue;
      ModelPoint point;
      point.position = ScaledToRegistered(cv::Point2f(static_cast<float>(c.x), static_cast<float>(c.y)), region.tl(), sx);
      point.slot = slot;
      point.orientation = static_cast<float>(DescribeOrientedKeypoint(image, c.x, c.y, model.descriptors.emplace_back()));
      model.points.push_back(point);
    }
    const int fromLargest = static_cast<int>(model.scales.size()) - 1 - slot;
    if (picture && fromLargest % params.tiltSlotStep == 0 && std::max(scaled.cols, scaled.rows) <= longestTilted)
      tilted.push_back({scaled, inside, sx, barrier});
  }
  // The tilted views' points after every straight one, angle by angle.
  for (const RobustParams::TiltAngle& tilt : params.pictureTilts)
    for (const Tilted& v : tilted)
      if (tilt.degrees > 0.0 && std::max(v.scaled.cols, v.scaled.rows) <= tilt.longestSide)
        for (int d = 0; d < params.tiltDirections; ++d)
          AddTiltView(model, v.scaled, v.inside, region.tl(), v.sx, tilt.degrees, d, arc, v.barrier, params);
  if (!model.empty()) model.BuildTrees();

  cv::Mat mask = cv::Mat::zeros(gray.size(), CV_8UC1);
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{PixelPolygon(quad, 1.0, cv::Point(0, 0))}, cv::Scalar(255));
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
  const double spacing = std::max(4.0, params.trackSpacing * model.radius());
  if (cv::countNonZero(mask) > 0)
    cv::goodFeaturesToTrack(gray, model.trackPoints, params.maxTrackPoints, 0.01, spacing, mask, 5);
}

}  // namespace quorl
