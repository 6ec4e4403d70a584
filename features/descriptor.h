#pragma once
// Rotation- and gain-tolerant keypoint descriptor: 19 Gaussian-weighted Zernike moment magnitudes.

#include <array>

#include "image/quib_image.h"

namespace quorl {

inline constexpr int kDescriptorSize = 19;
using KeypointDescriptor = std::array<double, kDescriptorSize>;

// Builds the process-wide lookup tables; later calls do nothing. Safe to call from any thread.
void InitDescriptorTables();

// Descriptor of the 21 x 21 patch centred on (x, y) of `gray`; pixels outside the image read as 0.
void DescribeKeypoint(const GrayImage& gray, int x, int y, KeypointDescriptor& out);

}  // namespace quorl
