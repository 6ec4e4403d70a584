#pragma once
// The registered rectangle carried into the current frame: corner mapping, plausibility check,
// Tracking / Holding / Lost states and the outline drawn into the displayed picture.

#include <cstdint>

#include "features/model.h"
#include "image/dib_image.h"

namespace quorl {

// Smallest accepted width and height, in pixels, of the quad's minimum-area rectangle.
inline constexpr float kMinQuadSide = 50.0f;
// Consecutive failed checks that still show `lastValidQuad`; one more failure marks the quad lost.
inline constexpr int32_t kMaxHeldFrames = 6;
// Corner coordinate handed on while the quad is lost (outside every frame).
inline constexpr int32_t kLostCoordinate = -1;
// Outline colour: bytes b, g, r = 0, 255, 0.
inline constexpr uint32_t kQuadColour = 65280;

enum class QuadState {
  Tracking,  // the check passed: the freshly mapped corners
  Holding,   // 1 to kMaxHeldFrames consecutive failures: `lastValidQuad`
  Lost,      // more failures: every coordinate kLostCoordinate
};

// Maps `clicks` (registered-frame corners) through the inverse of `frameToModel` (3 x 3 CV_32FC1, LU
// inverse in single precision), rounds x + 0.5 toward zero, checks the result and updates
// `currentQuad`, `lastValidQuad` and `missCount`. A corner that is not finite or not an int32 (W = 0,
// singular matrix) fails the check, as does a `frameToModel` of another size or type. So does every
// quad when `estimateAccepted` is false (this frame's estimation did not run or found no acceptable
// consensus, so `frameToModel` does not describe this frame). Then redraws `display` (24-bit) with the
// green outline of `currentQuad`; a picture without 24-bit rows is left untouched.
QuadState updateQuad(const Quad& clicks, ModelRecord& model, DibImage& display, bool estimateAccepted = true);

// v + 0.5 truncated toward zero into `out`; false when that is not finite or outside the int32 range.
bool RoundCoordinate(double v, int32_t& out);

// The Tracking / Holding / Lost step for a freshly mapped `candidate` (`mapped` false when its corners
// could not be computed): a valid candidate becomes current and last valid; otherwise the last valid quad
// is held while `missCount` < kMaxHeldFrames, then every coordinate becomes kLostCoordinate.
// `minSide` is the check's smallest width and height (see isQuadValid).
QuadState AdvanceQuad(bool mapped, const Quad& candidate, Quad& currentQuad, Quad& lastValidQuad,
                      int32_t& missCount, float minSide = kMinQuadSide);

// True when at least one pixel of a width x height frame lies inside `quad` (PointInQuad of registration):
// otherwise a registration on these corners finds no model point. Checks only the pixels of the frame
// under the quad's bounding box.
bool QuadCoversFramePixel(const Quad& quad, int width, int height);

// True when two opposite edges of `quad` (0-1 and 2-3, or 1-2 and 3-0) meet: the corners are not in
// order around the outline (a bow-tie), and no frame can show such a target.
bool IsQuadSelfCrossing(const Quad& quad);

// Convex (closed contour in corner order) and a minimum-area rectangle at least `minSide` in both
// width and height.
bool isQuadValid(const Quad& quad, float minSide = kMinQuadSide);

// Redraws `display` (24-bit) with the green outline of `quad`; other pictures are left untouched.
void DrawQuadOutline(const Quad& quad, DibImage& display);

}  // namespace quorl
