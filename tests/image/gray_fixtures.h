#pragma once
// Small gray pictures for the detector tests.

#include <algorithm>

#include "image/quib_image.h"

namespace quorl {

// A w x h picture of one gray level.
inline GrayImage uniform(int w, int h, unsigned char v) {
  GrayImage img;
  img.CreateImage(w, h);
  std::fill(img.rows[0], img.rows[0] + w * h, v);
  return img;
}

}  // namespace quorl
