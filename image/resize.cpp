#include "image/resize.h"

#include <utility>

namespace quorl {

bool ResizeBilinear(GrayImage& image, int newWidth, int newHeight) {
  if (image.empty() || newWidth < 1 || newHeight < 1) return false;
  const GrayImage source = std::move(image);
  const int w = source.width;
  const int h = source.height;
  image.CreateImage(newWidth, newHeight);
  for (int j = 0; j < newHeight; ++j) {
    const double sy = static_cast<double>(h) * j / newHeight;
    const int y0 = static_cast<int>(sy);
    const double fy = sy - y0;
    const int y1 = y0 + 1 == h ? h - 1 : y0 + 1;
    const unsigned char* row0 = source.rows[y0];
    const unsigned char* row1 = source.rows[y1];
    unsigned char* out = image.rows[j];
    for (int i = 0; i < newWidth; ++i) {
      const double sx = static_cast<double>(i) * w / newWidth;
      const int x0 = static_cast<int>(sx);
      const double fx = sx - x0;
      const int x1 = x0 + 1 == w ? w - 1 : x0 + 1;
      const double value = (1 - fx) * (1 - fy) * row0[x0] + fx * (1 - fy) * row0[x1] +
                           (1 - fx) * fy * row1[x0] + fx * fy * row1[x1];
      out[i] = static_cast<unsigned char>(value);
    }
  }
  return true;
}

int ScaledSize(int size, double scale) { return static_cast<int>(size * scale + 0.5); }

}  // namespace quorl
