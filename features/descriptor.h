#pragma once
// Rotation- and gain-tolerant keypoint descriptor: 19 Gaussian-weighted Zernike moment magnitudes.

#include <array>

#include "image/quib_image.h"

namespace quorl {

inline constexpr int kDescriptorSize = 19;
using KeypointDescriptor = std::array<double, kDescriptorSize>;

// Patch geometry: a disk of radius 10 pixels (317 pixels) in a 21 x 21 patch centred on the keypoint.
inline constexpr int kPatchRadius = 10;
inline constexpr int kMomentCount = 20;  // moment 0 normalises, moments 1..19 are the descriptor
inline constexpr int kMaxOrder = 7;

// Process-wide lookup tables over one quadrant of the disk. Cell [r][c] stands for the offset
// dx = c (right), dy = 10 - r (up). Moment k has order orderN[k] and repetition repetitionM[k].
struct DescriptorTables {
  std::array<int, kMomentCount> orderN;
  std::array<int, kMomentCount> repetitionM;
  std::array<std::array<int, kMaxOrder + 1>, kMaxOrder + 1> momentIndex;  // (n, m) -> k, -1 if unused
  unsigned char mask[11][11];
  double weight[11][11];                   // Gaussian, sigma 5, normalised; 0 outside the mask
  double radial[kMomentCount][11];         // R_nm(s / 10) for s = 0..10
  double basisRe[kMomentCount][11][11];    // weight * R_nm(s / 10) * cos(m theta)
  double basisIm[kMomentCount][11][11];    // weight * R_nm(s / 10) * sin(m theta)
};

// The tables, built on first use (thread-safe) and read-only afterwards.
const DescriptorTables& GetDescriptorTables();

// Builds the tables ahead of the first description; later calls do nothing. Safe from any thread.
void InitDescriptorTables();

// Descriptor of the disk around (x, y) of `gray`; pixels outside the image read as 0. Entry i is
// |Z_(i+1)| / |Re Z_0|. A disk without any non-zero pixel yields all zeros. Allocates nothing; returns out.
KeypointDescriptor& DescribeKeypoint(const GrayImage& gray, int x, int y, KeypointDescriptor& out);

// The same descriptor, and the phase of the first-order moment Z_11 in radians (-pi..pi), measured from
// the x axis towards the picture's top. Turning the picture content by a counter-clockwise (as seen on
// screen) angle a adds a to the phase, modulo 2 pi; an empty patch gives 0.
double DescribeOrientedKeypoint(const GrayImage& gray, int x, int y, KeypointDescriptor& out);

}  // namespace quorl
