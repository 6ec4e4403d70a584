#include "features/picture_target.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/corners.h"

namespace quorl {
namespace {

// The smallest length, in pixels, a picture may be shown at and still give corners with whole patches.
constexpr double kSmallestShownSide = 48.0;
constexpr int kMaxPictureScales = 12;

}  // namespace

std::vector<double> PictureScales(int longerSide) {
  std::vector<double> scales;
  for (double s = 1.5; scales.size() < kMaxPictureScales && s * longerSide >= kSmallestShownSide; s /= std::sqrt(2.0))
    scales.push_back(s);
  std::reverse(scales.begin(), scales.end());
  return scales;
}

std::vector<double> PictureTemplateScales(int longerSide) {
  std::vector<double> scales;
  for (double s = 1.0; s * longerSide >= kSmallestShownSide; s *= 0.5) scales.push_back(s);
  if (scales.empty()) scales.push_back(1.0);
  std::reverse(scales.begin(), scales.end());
  return scales;
}

std::string PictureSizeProblem(int width, int height) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height) + " pixels";
  if (std::min(width, height) < kMinPictureSide)
    return size + "; a target picture needs at least " + std::to_string(kMinPictureSide) + " on each side";
  if (std::max(width, height) > kMaxPictureSide || static_cast<long long>(width) * height > kMaxPicturePixels)
    return size + "; a target picture may have at most " + std::to_string(kMaxPictureSide) + " on each side and " +
           std::to_string(kMaxPicturePixels / 1000000) + " million in all";
  return {};
}

cv::Mat PrepareTargetPicture(const cv::Mat& picture, const std::string& name, std::string& error) {
  const auto refuse = [&](const std::string& reason) {
    error = name + ": " + reason;
    return cv::Mat();
  };
  if (picture.empty()) return refuse("not a picture that can be read");
  if (picture.depth() != CV_8U || (picture.channels() != 1 && picture.channels() != 3))
    return refuse("not an 8-bit gray or colour picture");
  const std::string size = std::to_string(picture.cols) + "x" + std::to_string(picture.rows) + " pixels";
  if (const std::string problem = PictureSizeProblem(picture.cols, picture.rows); !problem.empty()) return refuse(problem);
  cv::Mat gray;
  if (picture.channels() == 3) {
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
  } else {
    gray = picture.clone();
  }
  const int longer = std::max(gray.cols, gray.rows);
  if (static_cast<long long>(std::min(gray.cols, gray.rows)) * kPictureWorkingSide <
      static_cast<long long>(kMinPictureSide) * longer)
    return refuse(size + "; its sides are too unequal (worked on " + std::to_string(kPictureWorkingSide) +
                  " pixels long, it would be under " + std::to_string(kMinPictureSide) + " wide)");
  if (longer > kPictureWorkingSide) {
    const double f = static_cast<double>(kPictureWorkingSide) / longer;
    cv::resize(gray, gray, cv::Size(std::max(1, cvRound(gray.cols * f)), std::max(1, cvRound(gray.rows * f))), 0, 0,
               cv::INTER_AREA);
  }
  return gray;
}

Trackability RateTrackability(const RobustModel& model) {
  Trackability rating;
  if (model.scales.empty()) return rating;
  const int slot = NearestScaleSlot(model, 1.0);
  std::vector<std::size_t> points;
  for (std::size_t i = 0; i < model.points.size(); ++i)
    if (model.points[i].slot == slot && model.points[i].view == 0) points.push_back(i);
  rating.corners = static_cast<int>(points.size());
  if (points.empty()) return rating;

  cv::Rect2f box = cv::boundingRect(std::vector<cv::Point2f>(model.quad.begin(), model.quad.end()));
  bool cells[8][8] = {};
  for (const std::size_t i : points) {
    const cv::Point2f p = model.points[i].position;
    const int cx = std::clamp(static_cast<int>(8 * (p.x - box.x) / std::max(1.0f, box.width)), 0, 7);
    const int cy = std::clamp(static_cast<int>(8 * (p.y - box.y) / std::max(1.0f, box.height)), 0, 7);
    cells[cy][cx] = true;
  }
  int filled = 0;
  for (const auto& row : cells) filled += static_cast<int>(std::count(std::begin(row), std::end(row), true));
  rating.spread = filled / 64.0;

  // A point is distinct when no other point of its scale, farther than a patch away, lies within
  // kDistinctDistance of it. Measured: a chessboard's squares lie under 1e-4 of each other, photos' nearest
  // other points have a median of 0.001 to 0.005.
  constexpr double kDistinctDistance = 0.001;
  int distinct = 0;
  for (const std::size_t i : points) {
    bool alone = true;
    for (const std::size_t j : points) {
      if (j == i || cv::norm(model.points[i].position - model.points[j].position) < 2 * kCornerBorder) continue;
      double d = 0.0;
      for (int k = 0; k < kDescriptorSize; ++k) {
        const double e = model.descriptors[i][k] - model.descriptors[j][k];
        d += e * e;
      }
      if (d < kDistinctDistance) {
        alone = false;
        break;
      }
    }
    distinct += alone;
  }
  rating.distinctness = static_cast<double>(distinct) / static_cast<double>(points.size());
  rating.score = std::min(1.0, static_cast<double>(rating.corners) / kGoodCorners) * std::sqrt(rating.spread) *
                 rating.distinctness;
  return rating;
}

}  // namespace quorl
