#include "calibration/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace quorl {
namespace {

constexpr int kBarBins = 10;
constexpr double kDegrees = 180.0 / 3.14159265358979323846;

constexpr const char* kCellNames[9] = {"top-left", "top",    "top-right",   "left",        "centre",
                                       "right",    "bottom-left", "bottom", "bottom-right"};

std::string percent(double share) {
  char text[16];
  std::snprintf(text, sizeof text, "%.0f %%", share * 100.0);
  return text;
}

std::string degrees(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

}  // namespace

const char* CellName(int cell) { return cell >= 0 && cell < 9 ? kCellNames[cell] : "?"; }

std::optional<CalibrationResult> CalibrateViews(const std::vector<BoardDetection>& views, cv::Size imageSize,
                                                std::string& error) {
  if (views.empty() || imageSize.width <= 0 || imageSize.height <= 0) {
    error = "Nothing to calibrate.";
    return std::nullopt;
  }
  std::vector<std::vector<cv::Point3f>> boardPoints;
  std::vector<std::vector<cv::Point2f>> imagePoints;
  for (const BoardDetection& view : views) {
    boardPoints.push_back(view.boardPoints);
    imagePoints.push_back(view.imagePoints);
  }
  CalibrationResult result;
  result.imageSize = imageSize;
  cv::Mat cameraMatrix, distortion, viewErrors;
  std::vector<cv::Mat> rotations, translations;
  try {
    result.rms = cv::calibrateCamera(boardPoints, imagePoints, imageSize, cameraMatrix, distortion, rotations,
                                     translations, cv::noArray(), cv::noArray(), viewErrors, 0);
  } catch (const cv::Exception& e) {
    error = "The calibration failed: " + e.msg;
    return std::nullopt;
  }
  if (!std::isfinite(result.rms) || !cv::checkRange(cameraMatrix)) {
    error = "The calibration failed: it did not converge.";
    return std::nullopt;
  }
  result.cameraMatrix = cv::Matx33d(cameraMatrix);
  for (int i = 0; i < 5; ++i) result.distortion[i] = distortion.at<double>(i);
  for (int i = 0; i < viewErrors.rows; ++i) result.viewErrors.push_back(viewErrors.at<double>(i));
  for (std::size_t i = 0; i < rotations.size(); ++i) {
    result.rotations.emplace_back(rotations[i]);
    result.translations.emplace_back(translations[i]);
  }
  return result;
}

CalibrationSession::CalibrationSession(const BoardLayout& board, cv::Size frameSize, const SessionSettings& settings)
    : board_(board), frameSize_(frameSize), settings_(settings) {}

ViewPose CalibrationSession::measure(const BoardDetection& detection) const {
  ViewPose pose;
  const double w = frameSize_.width, h = frameSize_.height;
  cv::Point2d sum;
  for (const cv::Point2f& p : detection.imagePoints) {
    sum += cv::Point2d(p);
    const int col = std::clamp(static_cast<int>(p.x * 3 / w), 0, 2);
    const int row = std::clamp(static_cast<int>(p.y * 3 / h), 0, 2);
    pose.cells[static_cast<std::size_t>(row * 3 + col)] = true;
  }
  const double n = static_cast<double>(detection.imagePoints.size());
  pose.centre = cv::Point2d(sum.x / n / w, sum.y / n / h);
  std::vector<cv::Point2f> hull;
  cv::convexHull(detection.imagePoints, hull);
  pose.share = cv::contourArea(hull) / (w * h);

  const double f = settings_.assumedFocalWidths * w;
  const cv::Matx33d guess(f, 0, w / 2, 0, f, h / 2, 0, 0, 1);
  cv::Vec3d rvec, tvec;
  pose.normal = cv::Vec3d(0, 0, 1);
  try {
    if (cv::solvePnP(detection.boardPoints, detection.imagePoints, guess, cv::noArray(), rvec, tvec, false,
                     cv::SOLVEPNP_IPPE)) {
      cv::Matx33d rotation;
      cv::Rodrigues(rvec, rotation);
      pose.normal = cv::Vec3d(rotation(0, 2), rotation(1, 2), rotation(2, 2));
    }
  } catch (const cv::Exception&) {
  }
  pose.tiltDegrees = std::acos(std::min(1.0, std::abs(pose.normal[2]))) * kDegrees;
  return pose;
}

bool CalibrationSession::differs(const ViewPose& pose) const {
  const double diagonal = std::hypot(1.0, static_cast<double>(frameSize_.height) / frameSize_.width);
  for (const ViewPose& taken : poses_) {
    const cv::Point2d shift(pose.centre.x - taken.centre.x,
                            (pose.centre.y - taken.centre.y) * frameSize_.height / frameSize_.width);
    const bool moved = std::hypot(shift.x, shift.y) >= settings_.newShift * diagonal;
    const double ratio = std::max(pose.share, taken.share) / std::max(1e-9, std::min(pose.share, taken.share));
    const bool resized = ratio >= settings_.newAreaRatio;
    const double turn = std::acos(std::clamp(std::abs(pose.normal.dot(taken.normal)), 0.0, 1.0)) * kDegrees;
    const bool turned = turn >= settings_.newTurnDegrees;
    if (!moved && !resized && !turned) return false;
  }
  return true;
}

CalibrationSession::Offer CalibrationSession::offer(const std::optional<BoardDetection>& detection) {
  if (!detection) {
    previous_.reset();
    return Offer::kNoBoard;
  }
  bool still = false;
  if (previous_) {
    std::unordered_map<int, cv::Point2f> before;
    for (std::size_t i = 0; i < previous_->ids.size(); ++i) before[previous_->ids[i]] = previous_->imagePoints[i];
    std::size_t common = 0;
    double largest = 0.0;
    for (std::size_t i = 0; i < detection->ids.size(); ++i) {
      const auto at = before.find(detection->ids[i]);
      if (at == before.end()) continue;
      ++common;
      largest = std::max(largest, cv::norm(detection->imagePoints[i] - at->second));
    }
    // Most corners seen in both frames and none of them moved further than stillPixels.
    still = common * 5 >= detection->ids.size() * 4 && largest <= settings_.stillPixels;
  }
  previous_ = detection;
  if (!still) return Offer::kMoving;
  const ViewPose pose = measure(*detection);
  if (!differs(pose)) return Offer::kSimilar;
  views_.push_back(*detection);
  poses_.push_back(pose);
  return Offer::kTaken;
}

void CalibrationSession::add(const BoardDetection& detection) {
  poses_.push_back(measure(detection));
  views_.push_back(detection);
}

Coverage CalibrationSession::coverage() const {
  Coverage c;
  c.views = viewCount();
  c.viewsNeeded = std::max(0, settings_.minViews - c.views);
  std::array<bool, kBarBins> columns{}, rows{};
  for (std::size_t v = 0; v < views_.size(); ++v) {
    for (const cv::Point2f& p : views_[v].imagePoints) {
      columns[static_cast<std::size_t>(std::clamp(static_cast<int>(p.x * kBarBins / frameSize_.width), 0, kBarBins - 1))] = true;
      rows[static_cast<std::size_t>(std::clamp(static_cast<int>(p.y * kBarBins / frameSize_.height), 0, kBarBins - 1))] = true;
    }
    const ViewPose& pose = poses_[v];
    for (std::size_t k = 0; k < 9; ++k) c.cells[k] = c.cells[k] || pose.cells[k];
    c.largestShare = std::max(c.largestShare, pose.share);
    c.largestTiltDegrees = std::max(c.largestTiltDegrees, pose.tiltDegrees);
  }
  c.leftRight = static_cast<double>(std::count(columns.begin(), columns.end(), true)) / kBarBins;
  c.topBottom = static_cast<double>(std::count(rows.begin(), rows.end(), true)) / kBarBins;
  c.size = std::min(1.0, c.largestShare / settings_.minLargestShare);
  c.tilt = std::min(1.0, c.largestTiltDegrees / settings_.minTiltDegrees);
  for (int k = 0; k < 9; ++k)
    if (!c.cells[static_cast<std::size_t>(k)])
      c.missing.push_back(std::string("the board was never seen in the ") + CellName(k) + " of the frame");
  if (c.largestTiltDegrees < settings_.minTiltDegrees)
    c.missing.push_back("no view tilted by " + degrees(settings_.minTiltDegrees) + " degrees or more");
  if (c.largestShare < settings_.minLargestShare)
    c.missing.push_back("the board never covered " + percent(settings_.minLargestShare) + " of the frame");
  return c;
}

std::optional<CalibrationResult> CalibrationSession::calibrate(std::string& error) const {
  const Coverage c = coverage();
  if (c.viewsNeeded > 0) {
    error = "Too few views: " + std::to_string(c.views) + " taken, " + std::to_string(c.viewsNeeded) +
            " more needed (at least " + std::to_string(settings_.minViews) + ").";
    return std::nullopt;
  }
  if (!c.missing.empty()) {
    error = "Poor coverage: ";
    for (std::size_t i = 0; i < c.missing.size(); ++i) error += (i ? "; " : "") + c.missing[i];
    error += ".";
    return std::nullopt;
  }
  return CalibrateViews(views_, frameSize_, error);
}

}  // namespace quorl
