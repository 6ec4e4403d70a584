#pragma once
// A calibration session: board views taken one by one (by hand, or by themselves from video when the board
// is still and shows something new), their coverage of the frame, and OpenCV's calibration over them.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/board.h"

namespace quorl {

// Tunables of a session. The frame is cut into 3 x 3 cells for the coverage test.
struct SessionSettings {
  int minViews = 10;              // views calibrate() needs
  double minTiltDegrees = 20.0;   // at least one view tilted by this much
  double minLargestShare = 0.15;  // at least one view whose board covers this share of the frame
  double stillPixels = 1.0;       // still: no corner moved further between two consecutive detections
  // A new view differs from a taken one when its centre moved by this share of the frame diagonal, its
  // area changed by this ratio, or its board's normal turned by this angle.
  double newShift = 0.1;
  double newAreaRatio = 1.3;
  double newTurnDegrees = 10.0;
  // Focal length, in frame widths, assumed for the tilt of views before any calibration.
  double assumedFocalWidths = 0.9;
};

// Where and how one view shows the board.
struct ViewPose {
  cv::Point2d centre;      // of the detected corners, in shares of the frame's width and height (0..1)
  double share = 0.0;      // area of the detected corners' convex hull over the frame's area
  double tiltDegrees = 0;  // angle between the board's normal and the optical axis (assumed focal length)
  cv::Vec3d normal;        // the board's normal in camera coordinates, unit length
  std::array<bool, 9> cells{};  // the 3 x 3 cells (row by row from the top-left) holding detected corners
};

// What the taken views cover. The bars run from 0 to 1 and are full when their part of the coverage test
// passes: leftRight and topBottom are the shares of ten columns and ten rows of the frame holding a
// detected corner, size the largest board share over minLargestShare, tilt the largest tilt over
// minTiltDegrees (each capped at 1).
struct Coverage {
  int views = 0;
  int viewsNeeded = 0;  // more views before calibrate() may run; 0 when there are enough
  double leftRight = 0, topBottom = 0, size = 0, tilt = 0;
  std::array<bool, 9> cells{};
  double largestShare = 0.0;
  double largestTiltDegrees = 0.0;
  // What is missing, one phrase each: "the board was never seen in the top-left of the frame",
  // "no view tilted by 20 degrees or more", "the board never covered 15 % of the frame".
  std::vector<std::string> missing;
  bool complete() const { return viewsNeeded == 0 && missing.empty(); }
};

// The 3 x 3 cells' names as the coverage phrases use them: "top-left", "top", ..., "bottom-right".
const char* CellName(int cell);

// OpenCV's calibration of a set of views: the standard five-coefficient model (k1, k2, p1, p2, k3).
struct CalibrationResult {
  cv::Size imageSize;
  cv::Matx33d cameraMatrix;
  cv::Vec<double, 5> distortion;
  double rms = 0.0;                       // reprojection error over all corners, pixels
  std::vector<double> viewErrors;         // each view's RMS reprojection error, pixels
  std::vector<cv::Vec3d> rotations, translations;  // board to camera per view (Rodrigues, metres)
};

// cv::calibrateCamera over `views` (no coverage test, at least one view); an OpenCV failure is returned as
// nothing with `error` set.
std::optional<CalibrationResult> CalibrateViews(const std::vector<BoardDetection>& views, cv::Size imageSize,
                                                std::string& error);

// The session for one board and frame size. A plain value; not thread-safe.
class CalibrationSession {
 public:
  CalibrationSession(const BoardLayout& board, cv::Size frameSize, const SessionSettings& settings = {});

  // Where and how `detection` shows the board in this session's frame.
  ViewPose measure(const BoardDetection& detection) const;
  // True when `pose` differs enough from every view taken (see SessionSettings).
  bool differs(const ViewPose& pose) const;

  // One video frame's detection (nothing: no board seen). Takes it as a view when the board was still since
  // the previous frame's detection and the view differs from the views taken.
  enum class Offer { kTaken, kNoBoard, kMoving, kSimilar };
  Offer offer(const std::optional<BoardDetection>& detection);
  // Takes `detection` as a view whatever it shows (a photo).
  void add(const BoardDetection& detection);

  int viewCount() const { return static_cast<int>(views_.size()); }
  const std::vector<BoardDetection>& views() const { return views_; }
  const std::vector<ViewPose>& poses() const { return poses_; }
  Coverage coverage() const;

  // Calibrates the views taken. Refused, with `error` saying how many more views are needed or what the
  // coverage misses, unless coverage().complete().
  std::optional<CalibrationResult> calibrate(std::string& error) const;

  const BoardLayout& board() const { return board_; }
  cv::Size frameSize() const { return frameSize_; }
  const SessionSettings& settings() const { return settings_; }

 private:
  BoardLayout board_;
  cv::Size frameSize_;
  SessionSettings settings_;
  std::vector<BoardDetection> views_;
  std::vector<ViewPose> poses_;
  std::optional<BoardDetection> previous_;  // the last frame's detection, for the stillness test
};

}  // namespace quorl
