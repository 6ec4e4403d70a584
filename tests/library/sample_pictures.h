#pragma once
// Procedural pictures for the picture library's tests and benchmark: each seed gives another picture.

#include <cstdint>

#include <opencv2/core.hpp>

namespace quorl {

// A `size` picture (8-bit BGR) of smooth colour blobs under shapes, lines and text, all drawn from `seed`.
cv::Mat MakeSamplePicture(uint32_t seed, cv::Size size);

}  // namespace quorl
