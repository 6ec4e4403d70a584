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

double RobustModel::radius() const {
  return 0.5 * std::max(cv::norm(quad[2] - quad[0]), cv::norm(quad[3] - quad[1]));
}

namespace {

// The smallest barrier in params.minModelBarrier..maxModelBarrier leaving at most `goal` corners of `image`
// where `inside` is set. The count falls as the barrier rises: found by bisection.
int BarrierFor(const GrayImage& image, const cv::Mat& inside, int arc, int goal, const RobustParams& params) {
  int low = params.minModelBarrier, high = params.maxModelBarrier;
  if (CountInside(DetectCorners(image, arc, low), inside) <= goal) return low;
  while (high - low > 1) {
    const int mid = (low + high) / 2;
    if (CountInside(DetectCorners(image, arc, mid), inside) <= goal) {
      high = mid;
    } else {
      low = mid;
    }
  }
  return high;
}

}  // namespace

int ChooseModelBarrier(const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, int arc,
                       const RobustParams& params) {
  const cv::Rect region = SearchRegion(gray, quad, kRobustScales.front());
  if (region.empty()) return params.minModelBarrier;
  cv::Mat inside = cv::Mat::zeros(region.size(), CV_8UC1);
  cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{PixelPolygon(quad, 1.0, region.tl())}, cv::Scalar(255));
  return BarrierFor(ToGrayImage(gray(region)), inside, arc, params.modelCornerGoal, params);
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
    const int barrier = picture ? BarrierFor(image, inside, arc, params.pictureCornerGoal, params) : model.barrier;
    if (picture) model.barrier = std::min(model.barrier, barrier);
    for (const CornerPoint& c : DetectCorners(image, arc, barrier)) {
      if (inside.at<uint8_t>(c.y, c.x) == 0) continue;
      ModelPoint point;
      point.position = ScaledToRegistered(cv::Point2f(static_cast<float>(c.x), static_cast<float>(c.y)), region.tl(), sx);
      point.slot = slot;
      point.orientation = static_cast<float>(DescribeOrientedKeypoint(image, c.x, c.y, model.descriptors.emplace_back()));
      model.points.push_back(point);
    }
  }
  if (!model.empty()) model.tree.Build(model.descriptors);

  cv::Mat mask = cv::Mat::zeros(gray.size(), CV_8UC1);
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{PixelPolygon(quad, 1.0, cv::Point(0, 0))}, cv::Scalar(255));
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
  const double spacing = std::max(4.0, params.trackSpacing * model.radius());
  if (cv::countNonZero(mask) > 0)
    cv::goodFeaturesToTrack(gray, model.trackPoints, params.maxTrackPoints, 0.01, spacing, mask, 5);
}

}  // namespace quorl
