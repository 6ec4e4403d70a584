#pragma once
// Frame matching: corners of the current frame matched against the registered model.

#include "features/model.h"
#include "image/corners.h"
#include "image/quib_image.h"

namespace quorl {

// One tracked frame: detects FAST-(cornerType + 9) corners at `barrier` into frameCorners, adapts the
// barrier to the band kTrackBandLow..kTrackBandHigh (taking effect from the next frame) and stores the
// count, describes every corner, searches the index, and refills matchMap with one correspondence per
// accepted match, in corner order: the model keypoint at its registered-frame position, then the corner.
// The caller refreshes the settings display afterwards. Without a registered model only the detection
// and the barrier step run, and matchMap is emptied.
void TrackFrame(ModelRecord& model, const GrayImage& gray, TrackerSettings& settings);

}  // namespace quorl
