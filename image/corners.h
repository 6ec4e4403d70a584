#pragma once
// FAST corner detection with non-maximum suppression and the 10-pixel border, plus the barrier control.

#include <cstdint>
#include <vector>

#include "image/quib_image.h"

namespace quorl {

// A keypoint position in the pixels of the image that was searched. Lists are in raster order.
struct CornerPoint {
  int32_t x;
  int32_t y;
  bool operator==(const CornerPoint&) const = default;
};
using CornerList = std::vector<CornerPoint>;

// Detector settings and counters shared by the frame loop and the Options dialog.
// cornerType: arc length n = cornerType + 9 (FAST-9..FAST-12). barrier: intensity threshold, any int,
// adapted in steps of 2 (see AdaptBarrier). plotKeypoints: mark corners while no model exists. keypointCount, frameRate:
// last corner count and last tracked frame rate, for display.
struct TrackerSettings {
  int cornerType = 1;
  int barrier = 40;
  int plotKeypoints = 0;
  int keypointCount = 0;
  int frameRate = 0;
};

// Barrier control after a detection of `count` corners: +2 above `high`, -2 below `low` but not below
// kMinAdaptedBarrier; stores the count. Detection ticks use the band 300..500, tracked frames 100..400.
inline constexpr int kDetectBandLow = 300, kDetectBandHigh = 500;
inline constexpr int kTrackBandLow = 100, kTrackBandHigh = 400;
// Floor of the lowering. At 0 a uniform picture (a black frame) already gives no corners; below 0 every
// pixel of every picture is a candidate, so a run of black frames would leave the detector flooded for as
// many ticks as it took to get there. A barrier the user set lower is kept, and only raised.
inline constexpr int kMinAdaptedBarrier = 0;
void AdaptBarrier(TrackerSettings& settings, int count, int low, int high);

// Corners closer than this to any image edge are dropped, so every corner has a full 21 x 21 patch.
inline constexpr int kCornerBorder = 10;

// Stage 1: every pixel with 3 <= x <= w-4, 3 <= y <= h-4 whose radius-3 circle holds at least n contiguous
// pixels all > c + b or all < c - b (strict, unclamped). n outside 9..12 gives no candidates.
CornerList SegmentTest(const GrayImage& image, int n, int b);

// The `candidates` that still pass the segment test at barrier b, in their order. Raising the barrier only removes
// candidates, so for candidates = SegmentTest(image, n, b0) with b0 <= b this is SegmentTest(image, n, b) without
// scanning the image again (the searches for a barrier leaving a wanted number of corners use it).
CornerList RetestSegments(const GrayImage& image, const CornerList& candidates, int n, int b);

// Score of the candidate at (x, y): the larger of the summed excess of the brighter and the darker pixels.
int CornerScore(const GrayImage& image, int x, int y, int b);

// Stage 2: drops candidates with a strictly higher-scoring 8-neighbour candidate; the first and the last
// candidate of the list are never kept, and fewer than 5 candidates give an empty result.
CornerList SuppressNonMaxima(const GrayImage& image, const CornerList& candidates, int b);

// Stage 3: keeps kCornerBorder <= x <= w - kCornerBorder and the same for y.
CornerList FilterBorder(const GrayImage& image, const CornerList& corners);

// The three stages in order. Never modifies the image. Any int barrier is safe: beyond +-256 the result
// no longer depends on b (no candidates above, every pixel a candidate below), so b is clamped to that.
CornerList DetectCorners(const GrayImage& image, int n, int b);

}  // namespace quorl
