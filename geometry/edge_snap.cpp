#include "geometry/edge_snap.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "geometry/bilinear.h"

namespace quorl {

namespace {

// Profile samples a quarter pixel apart. A step is the difference of samples half a pixel either side; an edge lies
// at the centroid of the rise (or fall) around its strongest step, out to where the profile levels off (rises by
// under kRiseShare of the step's rise per sample) or kRise samples, which for a sharp edge sampled by area and read
// bilinearly is exactly where it is. The profile must then stay within kShoulderShare of the step of its level for
// kShoulder samples on either side: a rise cut short by another edge (a frame line a pixel inside the target) has its
// centroid pulled away from where the edge is.
constexpr double kProfileStep = 0.25;
constexpr int kHalfPixel = 2;
constexpr int kRise = 7;
constexpr double kRiseShare = 0.1;
constexpr int kShoulder = 2;
constexpr double kShoulderShare = 0.25;
constexpr int kMostSamples = 100;

struct EdgeSample {
  double along, across;
  bool rising;
};

// The edge nearest to `p` on the line through it along `normal`: its offset and polarity; nothing when no step
// within kEdgeSearch reaches kEdgeContrast.
std::optional<EdgeSample> EdgeAcross(const cv::Mat& gray, cv::Point2d p, cv::Point2d normal, double along) {
  constexpr int reach = static_cast<int>(kEdgeSearch / kProfileStep);
  constexpr int ends = reach + kRise + kShoulder + 1;
  std::array<double, 2 * ends + 1> values{};
  for (int k = -ends; k <= ends; ++k) {
    const cv::Point2d at = p + normal * (k * kProfileStep);
    float v = 0.0f;
    if (!SampleBilinear(gray, at.x, at.y, v)) return std::nullopt;
    values[k + ends] = v;
  }
  const auto at = [&](int k) { return values[k + ends]; };
  const auto step = [&](int k) { return at(k + kHalfPixel) - at(k - kHalfPixel); };
  std::optional<EdgeSample> nearest;
  for (int k = -reach; k <= reach; ++k) {
    const double here = std::fabs(step(k));
    if (here < kEdgeContrast || here < std::fabs(step(k - 1)) || here <= std::fabs(step(k + 1))) continue;
    const double sign = step(k) > 0 ? 1.0 : -1.0;
    const auto rise = [&](int j) { return sign * (at(j + 1) - at(j)); };
    const double least = kRiseShare * here * kProfileStep;
    int first = k, last = k - 1;  // the rise over samples first .. last + 1
    while (first > k - kRise && rise(first - 1) > least) --first;
    while (last + 1 < k + kRise && rise(last + 1) > least) ++last;
    double sum = 0.0, moment = 0.0;
    for (int j = first; j <= last; ++j) sum += rise(j), moment += rise(j) * (j + 0.5);
    const double low = at(first), high = at(last + 1), slack = kShoulderShare * std::fabs(high - low);
    bool shoulders = sum > 0.0;
    for (int j = 1; j <= kShoulder; ++j)
      shoulders = shoulders && std::fabs(at(first - j) - low) <= slack && std::fabs(at(last + 1 + j) - high) <= slack;
    if (!shoulders) continue;
    const double across = moment / sum * kProfileStep;
    if (!nearest || std::fabs(across) < std::fabs(nearest->across)) nearest = EdgeSample{along, across, sign > 0};
  }
  return nearest;
}

// A side's edge as the line through `origin` + `direction` * s + `normal` * (a + b s).
struct SideLine {
  cv::Point2d point, direction;
};

std::optional<SideLine> FitSide(const cv::Mat& gray, cv::Point2f from, cv::Point2f to) {
  const cv::Point2d origin(from), span = cv::Point2d(to) - origin;
  const double length = std::hypot(span.x, span.y);
  if (!(length >= kEdgeShortestSide)) return std::nullopt;
  const cv::Point2d direction = span / length, normal(-direction.y, direction.x);
  const double first = kEdgeCornerMargin * length, last = (1 - kEdgeCornerMargin) * length;
  const int count = static_cast<int>(std::min<double>(kMostSamples, last - first + 1));
  std::vector<EdgeSample> samples;
  for (int i = 0; i < count; ++i) {
    const double along = first + (last - first) * i / std::max(1, count - 1);
    if (const auto s = EdgeAcross(gray, origin + direction * along, normal, along)) samples.push_back(*s);
  }
  const auto rising = std::count_if(samples.begin(), samples.end(), [](const EdgeSample& s) { return s.rising; });
  const bool polarity = 2 * rising >= static_cast<std::ptrdiff_t>(samples.size());
  std::erase_if(samples, [&](const EdgeSample& s) { return s.rising != polarity; });
  // Least squares across = a + b along, then again over the samples near that line.
  double a = 0.0, b = 0.0;
  for (int round = 0; round < 2; ++round) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const EdgeSample& s : samples) {
      if (round > 0 && std::fabs(s.across - a - b * s.along) > kEdgeOffLine) continue;
      n += 1, sx += s.along, sy += s.across, sxx += s.along * s.along, sxy += s.along * s.across;
    }
    const double det = n * sxx - sx * sx;
    if (n < kEdgeAgreement * count || !(det > 0.0)) return std::nullopt;
    b = (n * sxy - sx * sy) / det;
    a = (sy - b * sx) / n;
  }
  double kept = 0, squares = 0;
  for (const EdgeSample& s : samples) {
    const double r = s.across - a - b * s.along;
    if (std::fabs(r) <= kEdgeOffLine) kept += 1, squares += r * r;
  }
  if (kept < kEdgeAgreement * count || squares > kEdgeRms * kEdgeRms * kept) return std::nullopt;
  return SideLine{origin + normal * a, direction + normal * b};
}

std::optional<cv::Point2d> Meet(const SideLine& p, const SideLine& q) {
  const double det = p.direction.x * q.direction.y - p.direction.y * q.direction.x;
  if (!(std::fabs(det) > 1e-6)) return std::nullopt;
  const cv::Point2d d = q.point - p.point;
  return p.point + p.direction * ((d.x * q.direction.y - d.y * q.direction.x) / det);
}

}  // namespace

std::array<cv::Point2f, 4> SnapCornersToEdges(const cv::Mat& gray, const std::array<cv::Point2f, 4>& corners) {
  std::array<std::optional<SideLine>, 4> sides;
  if (gray.type() == CV_8UC1 && gray.cols >= 2 && gray.rows >= 2)
    for (int i = 0; i < 4; ++i) sides[i] = FitSide(gray, corners[i], corners[(i + 1) % 4]);
  std::array<cv::Point2f, 4> snapped = corners;
  for (int i = 0; i < 4; ++i) {
    const std::optional<SideLine>& before = sides[(i + 3) % 4];
    const std::optional<SideLine>& after = sides[i];
    if (!before || !after) continue;
    const std::optional<cv::Point2d> corner = Meet(*before, *after);
    if (corner && cv::norm(*corner - cv::Point2d(corners[i])) <= 2 * kEdgeSearch) snapped[i] = cv::Point2f(*corner);
  }
  return snapped;
}

}  // namespace quorl
