#pragma once
// Command-line values of the headless tracker, parsed without trusting the text.

#include <optional>
#include <string>
#include <string_view>

#include "capture/frame_source.h"
#include "features/model.h"

namespace quorl {

// "x0,y0,x1,y1,x2,y2,x3,y3": exactly eight integers in int32 range, commas between, blanks allowed
// around numbers. Nothing for anything else.
std::optional<Quad> ParseCorners(std::string_view text);

// "WxH" with a size that frame sources accept (kMinFrameSide..kMaxFrameSide on each axis).
struct FrameSize {
  int width;
  int height;
};
std::optional<FrameSize> ParseFrameSize(std::string_view text);

// A non-negative integer up to `limit`.
std::optional<long long> ParseCount(std::string_view text, long long limit);

}  // namespace quorl
