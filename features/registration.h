#pragma once
// Model registration: the keypoints of the clicked quadrilateral at four scales, described and indexed.

#include "features/model.h"
#include "image/corners.h"
#include "image/quib_image.h"

namespace quorl {

// Even-odd test of the integer pixel (x, y) against the polygon of the four corners in the given order.
// A self-intersecting order gives the even-odd region; degenerate quads (all one point, collinear)
// contain nothing. Boundary rule: a pixel exactly on a slanted or vertical edge belongs to the side of
// larger x, a pixel on a horizontal edge to the side of larger y; so a rectangle holds its left and top
// edges but not its right and bottom ones. The answer does not depend on the turning direction.
bool PointInQuad(const Quad& quad, int32_t x, int32_t y);

// The images searched at registration, in slot order: copies of `gray` resized to 0.5, 0.7, 1.0 and 1.4
// times its size (each side rounded half away from zero).
std::array<GrayImage, 4> ScaledModelImages(const GrayImage& gray);

// Builds the model of `gray` inside `corners` (frame pixels, click order): the frame and copies resized
// to 0.5, 0.7 and 1.4 times its size are searched with FAST-(cornerType + 9) at `barrier`; a corner of
// scale s is kept when its registered-frame position (RegisteredFramePosition) lies in the quad. Kept
// corners are described on their own scale's image and indexed, replacing any earlier keypoint lists and
// index. The settings are not changed. An empty `gray` leaves the model as it is.
void RegisterFrame(ModelRecord& model, const Quad& corners, const GrayImage& gray, const TrackerSettings& settings);

}  // namespace quorl
