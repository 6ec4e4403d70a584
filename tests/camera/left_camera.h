#pragma once
// opencv-doc's left camera (left_intrinsics.yml) at 640 x 480: strong barrel distortion, the principal point off the
// centre.

#include <gtest/gtest.h>

#include "camera/lens.h"

namespace quorl::test {

inline CameraLens LeftCamera() {
  std::string error;
  const cv::Matx33d k(535.91573396163199, 0, 342.28315473308373, 0, 535.91573396163199, 235.57082909788173, 0, 0, 1);
  const std::optional<CameraLens> lens = CameraLens::FromOpenCV(
      k, {-0.26637260909660682, -0.038588898922304653, 0.0017831947042852964, -0.00028122100441115472,
          0.23839153080878486},
      cv::Size(640, 480), error);
  EXPECT_TRUE(lens) << error;
  return *lens;
}

}  // namespace quorl::test
