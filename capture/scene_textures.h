#pragma once
// Procedural textures of the synthetic scene. Both are the same on every call (fixed internal seeds).

#include <opencv2/core.hpp>

namespace quorl {

// Side of the built-in target texture in texels.
inline constexpr int kTargetTextureSide = 512;
// Side of the background tile in texels.
inline constexpr int kBackgroundTileSide = 1024;

// The target: light paper with dark, coloured shapes, lines, a checker patch and text (8-bit BGR).
cv::Mat MakeTargetTexture();

// The table under it: a seamless tile (it repeats without a visible edge) of muted, mid-tone clutter,
// clearly unlike the target (8-bit BGR).
cv::Mat MakeBackgroundTile();

// A busy table of the same side, also seamless: overlapping light and dark papers printed with shapes
// like the target's, words and rules, and small high-contrast marks (8-bit BGR).
cv::Mat MakeClutterTile();

}  // namespace quorl
