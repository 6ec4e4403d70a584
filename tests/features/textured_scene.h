#pragma once
// Generated textured pictures for the feature tests and benchmarks: overlapping shapes of many gray
// levels with anti-aliased edges and a little noise, and affine-warped views of them.

#include <array>
#include <cstdint>

#include "image/quib_image.h"

namespace quorl::scene {

// A width x height picture of about `density` shapes per 10000 pixels, fully determined by `seed`.
GrayImage MakeTexturedImage(int width, int height, uint32_t seed, double density = 30.0);

// Output pixel (x, y) samples `source` bilinearly at (a[0] x + a[1] y + a[2], a[3] x + a[4] y + a[5]);
// samples outside the source take `fill`.
GrayImage WarpImage(const GrayImage& source, int width, int height, const std::array<double, 6>& a,
                    unsigned char fill = 128);

// The affine map of a rotation by `angle` radians about (cx, cy) followed by a shift (tx, ty), and its inverse.
std::array<double, 6> RotationShift(double angle, double cx, double cy, double tx, double ty);
std::array<double, 6> InvertAffine(const std::array<double, 6>& a);

}  // namespace quorl::scene
