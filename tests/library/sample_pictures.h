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

// A picture that is its own half turn (as most playing cards are): the top half of sample picture `seed` and, below it,
// the same turned half a turn, all moved by half a pixel (as a drawing rendered to pixels often is). `marked` adds a dark disc in its top-left quarter, which alone tells which way up it is.
cv::Mat MakeHalfTurnPicture(uint32_t seed, cv::Size size, bool marked);

}  // namespace quorl
