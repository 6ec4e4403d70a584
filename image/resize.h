#pragma once
// Bilinear resampling of gray images, used to build the model at several scales.

#include "image/quib_image.h"

namespace quorl {

// Resamples `image` in place to newWidth x newHeight. Output pixel (i, j) samples the source at
// (i * w / newWidth, j * h / newHeight) with no half-pixel offset; the right and bottom neighbours are
// clamped to the last column and row, and the interpolated value is truncated, not rounded.
// Returns false and leaves the image untouched when it is empty or the new size is below 1.
bool ResizeBilinear(GrayImage& image, int newWidth, int newHeight);

// Size of one image side scaled by `scale` (> 0), rounded half away from zero.
int ScaledSize(int size, double scale);

}  // namespace quorl
