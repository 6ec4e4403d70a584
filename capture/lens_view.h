#pragma once
// Filming through a lens: a scene renders an ideal (pinhole) picture over a canvas large enough to hold all
// that the lens shows, and the lens carries it to frame pixels.

#include <opencv2/core.hpp>

#include "camera/lens.h"

namespace quorl {

// Ownership: owns its lens table and remap tables, made once per lens and frame size; read-only afterwards.
class LensView {
 public:
  // `lens` at the frame's size.
  explicit LensView(const CameraLens& lens);
  const FrameLens& lens() const { return lens_; }
  // The canvas: its size and its camera matrix (the lens's, shifted so that every frame pixel's ideal position
  // lies on it).
  cv::Size canvasSize() const { return canvasSize_; }
  const cv::Matx33d& canvasMatrix() const { return canvasMatrix_; }
  // Frame pixel of an ideal pixel, and of a canvas pixel.
  cv::Point2d Distort(cv::Point2d ideal) const { return lens_.Distort(ideal); }
  cv::Point2d CanvasToFrame(cv::Point2d canvas) const { return lens_.Distort(canvas - canvasShift_); }
  // The frame seen through the lens from `canvas` (canvasSize, any 8-bit type), bilinear.
  void Apply(const cv::Mat& canvas, cv::Mat& frame) const;

 private:
  FrameLens lens_;
  cv::Size canvasSize_;
  cv::Matx33d canvasMatrix_;
  cv::Point2d canvasShift_;  // canvas pixel minus ideal pixel
  cv::Mat map1_, map2_;
};

}  // namespace quorl
