#pragma once
// Bilinear sampling of an 8-bit picture at sub-pixel positions (pixel centres at integer coordinates).

#include <cstdint>

#include <opencv2/core.hpp>

namespace quorl {

// The value of `image` (CV_8UC1) at (x, y); false outside the area where all four neighbours exist.
inline bool SampleBilinear(const cv::Mat& image, double x, double y, float& value) {
  if (!(x >= 0.0 && y >= 0.0 && x < image.cols - 1 && y < image.rows - 1)) return false;
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
  const uint8_t* r0 = image.ptr<uint8_t>(y0) + x0;
  const uint8_t* r1 = r0 + image.step[0];
  const float top = r0[0] + fx * (r0[1] - r0[0]);
  const float bottom = r1[0] + fx * (r1[1] - r1[0]);
  value = top + fy * (bottom - top);
  return true;
}

}  // namespace quorl
