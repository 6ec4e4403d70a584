#pragma once
// Opening the frame source the user named on the command line or in the Video Source dialog.

#include <memory>
#include <string>

#include "capture/frame_source.h"

namespace quorl {

// Opens `sourceName` (auto, synthetic[:profile], camera:N, a video file, an image or an image pattern) for the
// desktop program: 320 x 240 synthetic frames (and asked of cameras), files and sequences looping at their
// end. `resolved` names what was opened in the form the Video Source dialog lists: "camera:N" or
// "synthetic:PROFILE" (so "auto" becomes one of them), a file name as given. Null with `error` set
// when the source cannot be opened.
std::unique_ptr<FrameSource> OpenViewSource(const std::string& sourceName, std::string& resolved, std::string& error);

}  // namespace quorl
