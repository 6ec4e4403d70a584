#pragma once
// Procedural pictures for the picture library's tests and benchmark: each seed gives another picture.

#include <cstdint>

#include <opencv2/core.hpp>

namespace quorl {

// A `size` picture (8-bit BGR) of smooth colour blobs under shapes, lines and text, all drawn from `seed`.
cv::Mat MakeSamplePicture(uint32_t seed, cv::Size size);

// Card `number` of a deck: the photo of `seed` under a pale strip holding the number and a corner badge, so that the
// cards of one deck differ there alone.
cv::Mat MakeSampleCard(uint32_t seed, int number, cv::Size size);

}  // namespace quorl
