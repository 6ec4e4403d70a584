#pragma once
// Opening the frame source the user named on the command line or in the Video Source dialog.

#include <memory>
#include <string>

#include "capture/frame_source.h"

namespace quorl {

// Opens `spec` (auto, synthetic[:profile], camera:N, a video file, an image or an image pattern) for the
// desktop program: files and sequences loop at their end. Null with `error` set when it cannot be opened.
std::unique_ptr<FrameSource> OpenViewSource(const std::string& spec, std::string& error);

}  // namespace quorl
