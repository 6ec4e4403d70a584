#include <algorithm>
#include <cstdlib>

#include "image/quib_image.h"

namespace quorl {
namespace {

// Bresenham along the major axis a (increasing from a0 to a1) with the minor axis b stepping by bstep.
// Only the steps whose major coordinate lies in [0, limit) can plot, so the walk starts at the first such
// step with the error term computed in closed form and stops after the last: a line with far-off end
// points costs no more than one across the image.
template <typename Plot>
void walk(int64_t a0, int64_t b0, int64_t a1, int64_t da, int64_t db, int bstep, int limit, Plot plot) {
  const int64_t kFirst = std::max<int64_t>(0, -a0);
  const int64_t kLast = std::min<int64_t>(a1 - a0, limit - 1 - a0);
  if (kFirst > kLast) return;
  // After k steps the minor axis has moved m = ceil((2 db k - da) / (2 da)) times (m = 0 when da = 0).
  int64_t m = 0;
  if (da > 0) {
    const __int128 num = static_cast<__int128>(2 * db) * kFirst - da;
    const __int128 den = 2 * static_cast<__int128>(da);
    m = static_cast<int64_t>(num >= 0 ? (num + den - 1) / den : -((-num) / den));
  }
  int64_t e = static_cast<int64_t>(static_cast<__int128>(2 * db - da) + static_cast<__int128>(2 * db) * kFirst -
                                   static_cast<__int128>(2 * da) * m);
  int64_t b = b0 + bstep * m;
  for (int64_t k = kFirst;; ++k) {
    plot(a0 + k, b);
    if (k == kLast) break;
    if (e > 0) {
      b += bstep;
      e += 2 * (db - da);
    } else {
      e += 2 * db;
    }
  }
}

}  // namespace

void DrawLine(ColorImage& image, int x0, int y0, int x1, int y1, uint32_t colour) {
  const RGBBYTE c{static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 8),
                  static_cast<uint8_t>(colour >> 16)};
  const int64_t adx = std::llabs(static_cast<int64_t>(x1) - x0);
  const int64_t ady = std::llabs(static_cast<int64_t>(y1) - y0);
  if (adx > ady) {  // x-major
    if (x0 > x1) {
      std::swap(x0, x1);
      std::swap(y0, y1);
    }
    walk(x0, y0, x1, adx, ady, y1 > y0 ? 1 : -1, image.width, [&](int64_t x, int64_t y) {
      if (y >= 0 && y < image.height) image.rows[y][x] = c;
    });
  } else {  // y-major, including equal extents and single points
    if (y0 > y1) {
      std::swap(x0, x1);
      std::swap(y0, y1);
    }
    walk(y0, x0, y1, ady, adx, x1 > x0 ? 1 : -1, image.height, [&](int64_t y, int64_t x) {
      if (x >= 0 && x < image.width) image.rows[y][x] = c;
    });
  }
}

}  // namespace quorl
