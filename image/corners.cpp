#include "image/corners.h"

#include <algorithm>
#include <array>
#include <bit>

namespace quorl {
namespace {

// Radius-3 Bresenham circle in circular order.
constexpr std::array<int, 16> kCircleDx = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr std::array<int, 16> kCircleDy = {3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1, 0, 1, 2, 3};

// Longest circular run of set bits for every 16-bit pattern of circle pixels.
const std::array<uint8_t, 65536>& arcLengths() {
  static const auto table = [] {
    std::array<uint8_t, 65536> t{};
    for (uint32_t m = 1; m < 65536; ++m) {
      if (m == 0xFFFF) {
        t[m] = 16;
        continue;
      }
      const uint32_t doubled = m | m << 16;  // unroll the circle once to see wrapped runs
      int best = 0, run = 0;
      for (int i = 0; i < 32; ++i) {
        run = (doubled >> i & 1) ? run + 1 : 0;
        best = std::max(best, run);
      }
      t[m] = static_cast<uint8_t>(best);
    }
    return t;
  }();
  return table;
}

std::array<std::ptrdiff_t, 16> circleOffsets(int stride) {
  std::array<std::ptrdiff_t, 16> off{};
  for (int i = 0; i < 16; ++i) off[i] = kCircleDx[i] + static_cast<std::ptrdiff_t>(kCircleDy[i]) * stride;
  return off;
}

}  // namespace

void AdaptBarrier(TrackerSettings& settings, int count, int low, int high) {
  if (count > high) {
    settings.barrier += 2;
  } else if (count < low) {
    settings.barrier -= 2;
  }
  settings.keypointCount = count;
}

CornerList SegmentTest(const GrayImage& image, int n, int b) {
  CornerList candidates;
  if (n < 9 || n > 12 || image.width < 7 || image.height < 7) return candidates;
  candidates.reserve(512);
  const auto& arcs = arcLengths();
  const auto off = circleOffsets(image.width);
  // Any arc of n >= 9 of the 16 pixels covers at least floor(n / 4) of the four compass pixels 0, 4, 8, 12.
  const int compassNeeded = n / 4;
  for (int y = 3; y <= image.height - 4; ++y) {
    const unsigned char* row = image.rows[y];
    for (int x = 3; x <= image.width - 4; ++x) {
      const unsigned char* p = row + x;
      const int hi = p[0] + b;
      const int lo = p[0] - b;
      const int c0 = p[off[0]], c4 = p[off[4]], c8 = p[off[8]], c12 = p[off[12]];
      const int brightCompass = (c0 > hi) + (c4 > hi) + (c8 > hi) + (c12 > hi);
      const int darkCompass = (c0 < lo) + (c4 < lo) + (c8 < lo) + (c12 < lo);
      if (brightCompass < compassNeeded && darkCompass < compassNeeded) continue;
      unsigned bright = 0, dark = 0;
      for (int i = 0; i < 16; ++i) {
        const int v = p[off[i]];
        bright |= static_cast<unsigned>(v > hi) << i;
        dark |= static_cast<unsigned>(v < lo) << i;
      }
      if (arcs[bright] >= n || arcs[dark] >= n) candidates.push_back(CornerPoint{x, y});
    }
  }
  return candidates;
}

int CornerScore(const GrayImage& image, int x, int y, int b) {
  const unsigned char* p = image.rows[y] + x;
  const auto off = circleOffsets(image.width);
  const int hi = p[0] + b;
  const int lo = p[0] - b;
  int sumBright = 0, sumDark = 0;
  for (int i = 0; i < 16; ++i) {
    const int v = p[off[i]];
    if (v > hi) sumBright += v - hi;
    if (v < lo) sumDark += lo - v;
  }
  return std::max(sumBright, sumDark);
}

CornerList SuppressNonMaxima(const GrayImage& image, const CornerList& candidates, int b) {
  CornerList kept;
  const int count = static_cast<int>(candidates.size());
  if (count < 5) return kept;
  kept.reserve(static_cast<std::size_t>(count));

  std::vector<int> scores(static_cast<std::size_t>(count));
  std::vector<int> rowStart(static_cast<std::size_t>(image.height), -1);
  for (int i = 0; i < count; ++i) {
    const CornerPoint& c = candidates[i];
    scores[i] = CornerScore(image, c.x, c.y, b);
    if (rowStart[c.y] == -1) rowStart[c.y] = i;
  }

  // Forward-moving cursors into the rows above and below the visited candidate.
  int cursorRow = -1, above = -1, below = -1;
  // True when a candidate of `row`, from `cursor` on, within x-1..x+1 scores strictly above s.
  auto beatenInRow = [&](int& cursor, int row, int x, int s) {
    if (cursor < 0) return false;
    while (cursor < count && candidates[cursor].y == row && candidates[cursor].x < x - 1) ++cursor;
    for (int j = cursor; j < count && candidates[j].y == row && candidates[j].x <= x + 1; ++j) {
      if (scores[j] > s) return true;
    }
    return false;
  };

  for (int i = 1; i < count - 1; ++i) {
    const CornerPoint& c = candidates[i];
    const int s = scores[i];
    if (c.y != cursorRow) {
      cursorRow = c.y;
      above = c.y > 0 ? rowStart[c.y - 1] : -1;
      below = c.y + 1 < image.height ? rowStart[c.y + 1] : -1;
    }
    const CornerPoint& prev = candidates[i - 1];
    const CornerPoint& next = candidates[i + 1];
    if (prev.y == c.y && prev.x == c.x - 1 && scores[i - 1] > s) continue;
    if (next.y == c.y && next.x == c.x + 1 && scores[i + 1] > s) continue;
    if (beatenInRow(above, c.y - 1, c.x, s)) continue;
    if (beatenInRow(below, c.y + 1, c.x, s)) continue;
    kept.push_back(c);
  }
  return kept;
}

CornerList FilterBorder(const GrayImage& image, const CornerList& corners) {
  CornerList result;
  result.reserve(corners.size());
  for (const CornerPoint& c : corners) {
    if (c.x >= kCornerBorder && c.x <= image.width - kCornerBorder && c.y >= kCornerBorder &&
        c.y <= image.height - kCornerBorder) {
      result.push_back(c);
    }
  }
  return result;
}

CornerList DetectCorners(const GrayImage& image, int n, int b) {
  const CornerList candidates = SegmentTest(image, n, b);
  return FilterBorder(image, SuppressNonMaxima(image, candidates, b));
}

}  // namespace quorl
