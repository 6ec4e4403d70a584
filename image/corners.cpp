#include "image/corners.h"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  } else if (count < low && settings.barrier > kMinAdaptedBarrier) {
    settings.barrier = std::max(settings.barrier - 2, kMinAdaptedBarrier);
  }
  settings.keypointCount = count;
}

namespace {

// Full segment test of one pixel, after the compass pre-test has let it through.
inline bool isSegmentCorner(const unsigned char* p, const std::array<std::ptrdiff_t, 16>& off, int n, int b,
                            const std::array<uint8_t, 65536>& arcs) {
  const int hi = p[0] + b;
  const int lo = p[0] - b;
  unsigned bright = 0, dark = 0;
  for (int i = 0; i < 16; ++i) {
    const int v = p[off[i]];
    bright |= static_cast<unsigned>(v > hi) << i;
    dark |= static_cast<unsigned>(v < lo) << i;
  }
  return arcs[bright] >= n || arcs[dark] >= n;
}

// Any arc of n >= 9 of the 16 pixels covers at least floor(n / 4) of the four compass pixels 0, 4, 8, 12.
inline bool passesCompass(const unsigned char* p, const std::array<std::ptrdiff_t, 16>& off, int needed, int b) {
  const int hi = p[0] + b;
  const int lo = p[0] - b;
  const int c0 = p[off[0]], c4 = p[off[4]], c8 = p[off[8]], c12 = p[off[12]];
  return (c0 > hi) + (c4 > hi) + (c8 > hi) + (c12 > hi) >= needed ||
         (c0 < lo) + (c4 < lo) + (c8 < lo) + (c12 < lo) >= needed;
}

#if defined(__SSE2__)
// Segment test of 16 neighbouring pixels at once; bit i set when pixel p + i is a candidate.
// Valid for 0 <= b <= 255, where saturated c + b and c - b give the same comparisons as unclamped ones.
// Blocks failing the compass pre-test skip the arc search; the arc search counts, per pixel, the run of
// qualifying circle pixels ending at each position, going once and n - 1 more steps around the circle.
inline unsigned segmentMask16(const unsigned char* p, const std::array<std::ptrdiff_t, 16>& off, int n,
                              int needed, __m128i vb) {
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_xor_si128(_mm_adds_epu8(c, vb), flip);
  const __m128i lo = _mm_xor_si128(_mm_subs_epu8(c, vb), flip);
  auto circle = [&](int i) {
    return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + off[i])), flip);
  };
  __m128i brightCount = _mm_setzero_si128(), darkCount = _mm_setzero_si128();
  for (int i : {0, 4, 8, 12}) {
    const __m128i v = circle(i);
    brightCount = _mm_sub_epi8(brightCount, _mm_cmpgt_epi8(v, hi));  // a true compare is -1
    darkCount = _mm_sub_epi8(darkCount, _mm_cmpgt_epi8(lo, v));
  }
  const __m128i limit = _mm_set1_epi8(static_cast<char>(needed - 1));
  const __m128i pass = _mm_or_si128(_mm_cmpgt_epi8(brightCount, limit), _mm_cmpgt_epi8(darkCount, limit));
  if (_mm_movemask_epi8(pass) == 0) return 0;

  __m128i bright[16], dark[16];
  for (int i = 0; i < 16; ++i) {
    const __m128i v = circle(i);
    bright[i] = _mm_cmpgt_epi8(v, hi);
    dark[i] = _mm_cmpgt_epi8(lo, v);
  }
  const __m128i one = _mm_set1_epi8(1);
  __m128i runB = _mm_setzero_si128(), runD = _mm_setzero_si128();
  __m128i bestB = _mm_setzero_si128(), bestD = _mm_setzero_si128();
  for (int k = 0; k < 16 + n - 1; ++k) {
    runB = _mm_and_si128(_mm_add_epi8(runB, one), bright[k & 15]);
    runD = _mm_and_si128(_mm_add_epi8(runD, one), dark[k & 15]);
    bestB = _mm_max_epu8(bestB, runB);
    bestD = _mm_max_epu8(bestD, runD);
  }
  const __m128i need = _mm_set1_epi8(static_cast<char>(n - 1));
  const __m128i best = _mm_max_epu8(bestB, bestD);  // runs never exceed 16 + n - 1 < 128
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(best, need)));
}
#endif

}  // namespace

CornerList SegmentTest(const GrayImage& image, int n, int b) {
  CornerList candidates;
  if (n < 9 || n > 12 || image.width < 7 || image.height < 7) return candidates;
  candidates.reserve(512);
  const auto& arcs = arcLengths();
  const auto off = circleOffsets(image.width);
  const int compassNeeded = n / 4;
  const int xEnd = image.width - 4;  // last tested column
  for (int y = 3; y <= image.height - 4; ++y) {
    const unsigned char* row = image.rows[y];
    int x = 3;
#if defined(__SSE2__)
    // Blocks of 16 whose reads (up to 3 columns right of the block) stay inside the row.
    if (b >= 0 && b <= 255) {
      const __m128i vb = _mm_set1_epi8(static_cast<char>(static_cast<uint8_t>(b)));
      for (; x + 15 <= xEnd; x += 16) {
        unsigned mask = segmentMask16(row + x, off, n, compassNeeded, vb);
        while (mask != 0) {
          candidates.push_back(CornerPoint{x + std::countr_zero(mask), y});
          mask &= mask - 1;
        }
      }
    }
#endif
    for (; x <= xEnd; ++x) {
      const unsigned char* p = row + x;
      if (passesCompass(p, off, compassNeeded, b) && isSegmentCorner(p, off, n, b, arcs)) {
        candidates.push_back(CornerPoint{x, y});
      }
    }
  }
  return candidates;
}

CornerList RetestSegments(const GrayImage& image, const CornerList& candidates, int n, int b) {
  CornerList kept;
  if (n < 9 || n > 12) return kept;
  kept.reserve(candidates.size());
  const auto& arcs = arcLengths();
  const auto off = circleOffsets(image.width);
  for (const CornerPoint& c : candidates)
    if (isSegmentCorner(image.rows[c.y] + c.x, off, n, b, arcs)) kept.push_back(c);
  return kept;
}

namespace {

int scoreAt(const unsigned char* p, const std::array<std::ptrdiff_t, 16>& off, int b) {
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

}  // namespace

int CornerScore(const GrayImage& image, int x, int y, int b) {
  return scoreAt(image.rows[y] + x, circleOffsets(image.width), b);
}

CornerList SuppressNonMaxima(const GrayImage& image, const CornerList& candidates, int b) {
  CornerList kept;
  const int count = static_cast<int>(candidates.size());
  if (count < 5) return kept;
  kept.reserve(static_cast<std::size_t>(count));

  std::vector<int> scores(static_cast<std::size_t>(count));
  std::vector<int> rowStart(static_cast<std::size_t>(image.height), -1);
  const auto off = circleOffsets(image.width);
  for (int i = 0; i < count; ++i) {
    const CornerPoint& c = candidates[i];
    scores[i] = scoreAt(image.rows[c.y] + c.x, off, b);
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
  // Beyond +-256 the segment test and the order of the scores no longer change; the clamp keeps c + b,
  // c - b and the score sums far from int overflow.
  b = std::clamp(b, -256, 256);
  const CornerList candidates = SegmentTest(image, n, b);
  return FilterBorder(image, SuppressNonMaxima(image, candidates, b));
}

}  // namespace quorl
