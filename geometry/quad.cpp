#include "geometry/quad.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "features/registration.h"

namespace quorl {

bool RoundCoordinate(double v, int32_t& out) {
  const double shifted = v + 0.5;
  if (!(shifted > -2147483649.0 && shifted < 2147483648.0)) return false;  // NaN fails too
  out = static_cast<int32_t>(shifted);
  return true;
}

namespace {

// The corners of `clicks` mapped through the inverse of `frameToModel`; false if any is unusable.
bool MapCorners(const Quad& clicks, const cv::Mat& frameToModel, Quad& mapped) {
  if (frameToModel.rows != 3 || frameToModel.cols != 3 || frameToModel.type() != CV_32FC1) return false;
  cv::Mat inverse;
  cv::invert(frameToModel, inverse, cv::DECOMP_LU);  // a singular matrix gives an all-zero inverse
  std::array<float, 9> h;
  for (int i = 0; i < 9; ++i) h[i] = inverse.at<float>(i / 3, i % 3);
  bool usable = true;
  for (std::size_t i = 0; i < 4; ++i) {
    const float x = static_cast<float>(clicks.pt[i].x);
    const float y = static_cast<float>(clicks.pt[i].y);
    const float X = h[0] * x + h[1] * y + h[2];
    const float Y = h[3] * x + h[4] * y + h[5];
    const float W = h[6] * x + h[7] * y + h[8];
    usable = RoundCoordinate(static_cast<double>(X) / static_cast<double>(W), mapped.pt[i].x) && usable;
    usable = RoundCoordinate(static_cast<double>(Y) / static_cast<double>(W), mapped.pt[i].y) && usable;
  }
  return usable;
}

}  // namespace

// Through an RGB working image, corner 0 to 1, ..., 3 to 0.
void DrawQuadOutline(const Quad& quad, DibImage& display) {
  if (display.empty() || display.rows24() == nullptr) return;
  ColorImage work;
  if (!work.CreateImage(display.width(), display.height())) return;
  const std::size_t rowBytes = sizeof(RGBBYTE) * static_cast<std::size_t>(work.width);
  for (int y = 0; y < work.height; ++y) std::memcpy(work.rows[y], display.rows24()[y], rowBytes);
  for (std::size_t i = 0; i < 4; ++i) {
    const CornerPoint& a = quad.pt[i];
    const CornerPoint& b = quad.pt[(i + 1) % 4];
    DrawLine(work, a.x, a.y, b.x, b.y, kQuadColour);
  }
  display.CreateRgbDib(work.width, work.height);
  for (int y = 0; y < work.height; ++y) std::memcpy(display.rows24()[y], work.rows[y], rowBytes);
}

bool QuadCoversFramePixel(const Quad& quad, int width, int height) {
  int64_t x0 = width, y0 = height, x1 = -1, y1 = -1;
  for (const CornerPoint& c : quad.pt) {
    x0 = std::min<int64_t>(x0, c.x);
    y0 = std::min<int64_t>(y0, c.y);
    x1 = std::max<int64_t>(x1, c.x);
    y1 = std::max<int64_t>(y1, c.y);
  }
  x0 = std::max<int64_t>(x0, 0);
  y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, width - 1);
  y1 = std::min<int64_t>(y1, height - 1);
  for (int64_t y = y0; y <= y1; ++y)
    for (int64_t x = x0; x <= x1; ++x)
      if (PointInQuad(quad, static_cast<int32_t>(x), static_cast<int32_t>(y))) return true;
  return false;
}

namespace {

// Sign of the turn a -> b -> c: 1 left, -1 right, 0 collinear (64-bit products of 33-bit differences).
int Turn(const CornerPoint& a, const CornerPoint& b, const CornerPoint& c) {
  const __int128 cross = static_cast<__int128>(int64_t{b.x} - a.x) * (int64_t{c.y} - a.y) -
                         static_cast<__int128>(int64_t{b.y} - a.y) * (int64_t{c.x} - a.x);
  return (cross > 0) - (cross < 0);
}

bool OnSegment(const CornerPoint& a, const CornerPoint& b, const CornerPoint& p) {
  return std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
         p.y <= std::max(a.y, b.y);
}

// Segments a-b and c-d share at least one point.
bool SegmentsMeet(const CornerPoint& a, const CornerPoint& b, const CornerPoint& c, const CornerPoint& d) {
  const int t1 = Turn(a, b, c), t2 = Turn(a, b, d), t3 = Turn(c, d, a), t4 = Turn(c, d, b);
  if (t1 * t2 < 0 && t3 * t4 < 0) return true;  // a proper crossing
  return (t1 == 0 && OnSegment(a, b, c)) || (t2 == 0 && OnSegment(a, b, d)) || (t3 == 0 && OnSegment(c, d, a)) ||
         (t4 == 0 && OnSegment(c, d, b));
}

}  // namespace

bool IsQuadSelfCrossing(const Quad& q) {
  return SegmentsMeet(q.pt[0], q.pt[1], q.pt[2], q.pt[3]) || SegmentsMeet(q.pt[1], q.pt[2], q.pt[3], q.pt[0]);
}

bool isQuadValid(const Quad& quad, float minSide) {
  std::array<cv::Point2f, 4> points;
  for (std::size_t i = 0; i < 4; ++i) {
    points[i] = cv::Point2f(static_cast<float>(quad.pt[i].x), static_cast<float>(quad.pt[i].y));
  }
  const cv::Mat contour(1, 4, CV_32FC2, points.data());
  if (!cv::isContourConvex(contour)) return false;
  const cv::RotatedRect box = cv::minAreaRect(contour);
  return !(box.size.width < minSide || box.size.height < minSide);
}

QuadState AdvanceQuad(bool mapped, const Quad& candidate, Quad& currentQuad, Quad& lastValidQuad,
                      int32_t& missCount, float minSide) {
  if (mapped && isQuadValid(candidate, minSide)) {
    currentQuad = candidate;
    lastValidQuad = candidate;
    missCount = 0;
    return QuadState::Tracking;
  }
  if (missCount < kMaxHeldFrames) {
    currentQuad = lastValidQuad;
    ++missCount;
    return QuadState::Holding;
  }
  for (CornerPoint& p : currentQuad.pt) p = CornerPoint{kLostCoordinate, kLostCoordinate};
  return QuadState::Lost;
}

QuadState updateQuad(const Quad& clicks, ModelRecord& model, DibImage& display, bool estimateAccepted) {
  Quad candidate;
  const bool mapped = estimateAccepted && MapCorners(clicks, model.frameToModel, candidate);
  const QuadState state = AdvanceQuad(mapped, candidate, model.currentQuad, model.lastValidQuad, model.missCount);
  DrawQuadOutline(model.currentQuad, display);
  return state;
}

}  // namespace quorl
