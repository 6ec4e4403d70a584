#pragma once
// The board scene: a printed calibration board (chessboard or ChArUco) on a plain table, filmed by a slowly
// moving camera of known intrinsics and, optionally, known lens distortion; it knows every corner's truth.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/board.h"
#include "camera/lens.h"
#include "capture/frame_source.h"
#include "capture/synthetic_scene.h"

namespace quorl {

// The boards the scene shows unless told otherwise: chessboard:9x6:0.025 (the size of opencv-doc's
// left01..14 board) and charuco:7x5:0.03:0.022:4X4_50.
BoardLayout DefaultSceneBoard(BoardLayout::Kind kind);

// The scene's camera for width x height: focal length 600 * width / 640 on both axes, principal point
// (0.515 width, 0.48 height), a little off the centre.
PinholeIntrinsics DefaultBoardIntrinsics(int width, int height);

struct BoardSceneSettings {
  int width = 640;
  int height = 480;
  BoardLayout board = DefaultSceneBoard(BoardLayout::Kind::kChessboard);
  std::optional<PinholeIntrinsics> intrinsics;  // unset: DefaultBoardIntrinsics
  // OpenCV-model distortion (k1, k2, p1, p2[, k3, ...], as CameraLens::FromOpenCV takes them) of the lens
  // the frames are seen through; empty: a pinhole camera.
  std::vector<double> distortion;
  uint32_t seed = 1;         // sensor noise
  double noiseSigma = 2.0;   // grey levels, 0..32
};

// The camera path, 30 frames per second: it stops at kBoardStations stations in turn, holding still for
// kHoldFrames frames at each and moving smoothly (ease in, ease out) for kMoveFrames frames to the next,
// then starts again. The stations put the board in every part of the frame (the corners and edges of a
// 3 x 3 grid and the centre), from about 8 % to 50 % of the frame's area, tilted 0 to 50 degrees about
// axes in every direction and turned in the picture by up to 30 degrees; wherever a station would bring
// the board's paper within 2 % of the frame's edge, the camera backs away until it is in view.
inline constexpr int kBoardStations = 18;
inline constexpr int kHoldFrames = 20;
inline constexpr int kMoveFrames = 40;

class BoardScene final : public FrameSource {
 public:
  // Nothing, with `error`, for an invalid size, intrinsics that are not positive and finite, a distortion
  // CameraLens refuses, or noise outside its range.
  static std::unique_ptr<BoardScene> Create(const BoardSceneSettings& settings, std::string& error);

  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return size_.width; }
  int height() const override { return size_.height; }
  std::string description() const override;
  double frameRate() const override { return 30.0; }
  // The outer corners of the board's squares in the last frame read, clockwise from the board's top-left.
  std::optional<FrameCorners> trueCorners() const override;
  // Any valid size: the intrinsics scale by the horizontal ratio, the principal point keeps its place.
  bool setFrameSize(int width, int height) override;

  // Renders frame `index` (>= 0) into `bgr` without advancing.
  void render(int index, cv::Mat& bgr) const;
  // Board to camera of frame `index` (board coordinates of calibration/board.h, metres).
  ScenePose poseAt(int index) const;
  // Where each inner corner (BoardPoints order) lands in frame `index`, through the lens.
  std::vector<cv::Point2d> cornersAt(int index) const;
  // True while the camera holds still at a station.
  static bool holdingAt(int index);

  const BoardLayout& board() const { return board_; }
  const PinholeIntrinsics& intrinsics() const { return intrinsics_; }
  const std::vector<double>& distortion() const { return distortion_; }
  int nextIndex() const { return next_; }

 private:
  BoardScene() = default;
  bool prepare(std::string& error);  // the lens and its remap tables for the current size and intrinsics
  cv::Point2d project(const ScenePose& pose, const cv::Point3d& board) const;

  cv::Size size_;
  BoardLayout board_;
  PinholeIntrinsics intrinsics_;
  std::vector<double> distortion_;
  uint32_t seed_ = 1;
  double noiseSigma_ = 0.0;
  std::vector<cv::Mat> levels_;  // the printed paper, each level half the one before
  double texelsPerMetre_ = 0.0;  // at level 0
  cv::Point2d paperOrigin_;      // board point (0, 0) in level-0 texels
  // With distortion: the lens, the area of ideal pixels the frame sees, and for each frame pixel its place
  // in a picture of that area (FrameLens's table, shifted), for cv::remap.
  std::optional<CameraLens> lens_;
  cv::Rect idealArea_;
  cv::Mat mapX_, mapY_;
  int next_ = 0;
  int last_ = -1;
};

}  // namespace quorl
