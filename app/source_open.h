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
// when the source cannot be opened. `pictures` are the files the picture scene ("pictures:PROFILE") lays out.
std::unique_ptr<FrameSource> OpenViewSource(const std::string& sourceName, const std::vector<std::string>& pictures,
                                            std::string& resolved, std::string& error);

}  // namespace quorl
