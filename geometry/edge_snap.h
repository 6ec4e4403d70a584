#pragma once
// Clicked corners moved onto the target's own edges. A click lands on a whole pixel; the corner of a target seen
// through a lens or at an angle does not, and a target registered a fraction of a pixel off is carried that far off
// wherever it goes (on a target that grows, further; on one seen small, its pose tilts). Each side between two
// clicks is searched across for the step nearest to it; a side whose steps share one polarity and lie on one line
// is replaced by that line, and a corner between two such sides moves to where they meet. A side without such an
// edge (a region clicked inside a texture, a target under a shadow's edge) leaves its corners where they were.

#include <array>

#include <opencv2/core.hpp>

namespace quorl {

// How far across a side its edge is looked for, in pixels: a whole-pixel click is at most 0.71 px off a corner.
inline constexpr double kEdgeSearch = 2.0;
// The least step an edge makes, in grey levels per pixel across it.
inline constexpr double kEdgeContrast = 12.0;
// The share of a side's samples that must lie on its line, of one polarity, within kEdgeOffLine pixels of it,
// and the RMS distance from the line they may have.
inline constexpr double kEdgeAgreement = 0.7;
inline constexpr double kEdgeOffLine = 0.5;
inline constexpr double kEdgeRms = 0.25;
// The shortest side searched, in pixels, and the share of it next to each corner left out (the other side's edge).
inline constexpr double kEdgeShortestSide = 16.0;
inline constexpr double kEdgeCornerMargin = 0.15;

// `gray`: an 8-bit picture in which the target's sides are straight (through a lens: the undistorted picture);
// `corners`: its corners in order around it. Returns the corners, each either where it was or where its two sides'
// edges meet, never more than 2 * kEdgeSearch from where it was.
std::array<cv::Point2f, 4> SnapCornersToEdges(const cv::Mat& gray, const std::array<cv::Point2f, 4>& corners);

}  // namespace quorl
