#include "capture/lens_view.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace quorl {

LensView::LensView(const CameraLens& lens) : lens_(lens) {
  const cv::Size s = lens_.size();
  float x0 = 0.0f, y0 = 0.0f, x1 = static_cast<float>(s.width - 1), y1 = static_cast<float>(s.height - 1);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const cv::Point2f p = lens_.UndistortPixel(x, y);
      x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    }
  // A margin of two pixels for the bilinear samples; at most three frame sizes each way.
  const float left = std::max(std::floor(x0) - 2.0f, -1.0f * s.width);
  const float top = std::max(std::floor(y0) - 2.0f, -1.0f * s.height);
  canvasSize_ = cv::Size(static_cast<int>(std::min(std::ceil(x1) + 3.0f, 2.0f * s.width) - left),
                         static_cast<int>(std::min(std::ceil(y1) + 3.0f, 2.0f * s.height) - top));
  canvasMatrix_ = lens.cameraMatrix();
  canvasMatrix_(0, 2) -= left;
  canvasMatrix_(1, 2) -= top;
  canvasShift_ = cv::Point2d(-left, -top);
  cv::Mat mapX(s, CV_32FC1), mapY(s, CV_32FC1);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const cv::Point2f p = lens_.UndistortPixel(x, y);
      mapX.at<float>(y, x) = p.x - left;
      mapY.at<float>(y, x) = p.y - top;
    }
  cv::convertMaps(mapX, mapY, map1_, map2_, CV_16SC2);
}

void LensView::Apply(const cv::Mat& canvas, cv::Mat& frame) const {
  cv::remap(canvas, frame, map1_, map2_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
}

}  // namespace quorl
