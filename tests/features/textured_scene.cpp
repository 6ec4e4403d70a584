#include "tests/features/textured_scene.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace quorl::scene {

GrayImage MakeTexturedImage(int width, int height, uint32_t seed, double density) {
  std::mt19937 rng(seed);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  std::vector<double> canvas(static_cast<std::size_t>(width) * height);
  const double base = uniform(60, 200);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      canvas[y * width + x] = base + 30 * std::sin(x * 0.031 + seed) * std::cos(y * 0.027 + 2 * seed);

  const int shapes = static_cast<int>(density * width * height / 10000.0);
  for (int s = 0; s < shapes; ++s) {
    const int kind = static_cast<int>(rng() % 3);  // 0 ellipse, 1 rectangle, 2 triangle-ish wedge
    const double cx = uniform(0, width), cy = uniform(0, height);
    const double size = s % 4 == 0 ? 24.0 : 8.0;  // a few large shapes under many small ones
    const double rx = uniform(2, size), ry = uniform(2, size), angle = uniform(0, 3.14159);
    const double level = uniform(0, 255);
    const double c = std::cos(angle), sn = std::sin(angle);
    const double reach = std::max(rx, ry) * 1.5;
    const int x0 = std::max(0, static_cast<int>(cx - reach)), x1 = std::min(width - 1, static_cast<int>(cx + reach));
    const int y0 = std::max(0, static_cast<int>(cy - reach)), y1 = std::min(height - 1, static_cast<int>(cy + reach));
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        int covered = 0;
        for (int sub = 0; sub < 16; ++sub) {
          const double px = x + (sub % 4 + 0.5) / 4 - 0.5 - cx, py = y + (sub / 4 + 0.5) / 4 - 0.5 - cy;
          const double u = (c * px + sn * py) / rx, v = (-sn * px + c * py) / ry;
          const bool inside = kind == 0   ? u * u + v * v <= 1.0
                              : kind == 1 ? std::fabs(u) <= 1.0 && std::fabs(v) <= 1.0
                                          : v >= -1.0 && std::fabs(u) <= (1.0 - v) * 0.5 && v <= 1.0;
          covered += inside;
        }
        double& pixel = canvas[y * width + x];
        pixel += (level - pixel) * covered / 16.0;
      }
    }
  }

  GrayImage image;
  image.CreateImage(width, height);
  std::normal_distribution<double> noise(0.0, 1.5);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.rows[y][x] = static_cast<unsigned char>(std::clamp(canvas[y * width + x] + noise(rng), 0.0, 255.0));
  return image;
}

GrayImage WarpImage(const GrayImage& source, int width, int height, const std::array<double, 6>& a,
                    unsigned char fill) {
  GrayImage out;
  out.CreateImage(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double sx = a[0] * x + a[1] * y + a[2], sy = a[3] * x + a[4] * y + a[5];
      const int ix = static_cast<int>(std::floor(sx)), iy = static_cast<int>(std::floor(sy));
      if (ix < 0 || iy < 0 || ix + 1 >= source.width || iy + 1 >= source.height) {
        out.rows[y][x] = fill;
        continue;
      }
      const double fx = sx - ix, fy = sy - iy;
      const double v = (1 - fx) * (1 - fy) * source.rows[iy][ix] + fx * (1 - fy) * source.rows[iy][ix + 1] +
                       (1 - fx) * fy * source.rows[iy + 1][ix] + fx * fy * source.rows[iy + 1][ix + 1];
      out.rows[y][x] = static_cast<unsigned char>(v + 0.5);
    }
  }
  return out;
}

std::array<double, 6> RotationShift(double angle, double cx, double cy, double tx, double ty) {
  const double c = std::cos(angle), s = std::sin(angle);
  return {c, -s, cx - c * cx + s * cy + tx, s, c, cy - s * cx - c * cy + ty};
}

std::array<double, 6> InvertAffine(const std::array<double, 6>& a) {
  const double det = a[0] * a[4] - a[1] * a[3];
  const double i0 = a[4] / det, i1 = -a[1] / det, i3 = -a[3] / det, i4 = a[0] / det;
  return {i0, i1, -(i0 * a[2] + i1 * a[5]), i3, i4, -(i3 * a[2] + i4 * a[5])};
}

}  // namespace quorl::scene
