#pragma once
// Poses out to other programs: one line of JSON per frame with every target's state, corners,
// homography, pose and counts (the fields of docs/pose-message.schema.json). No sockets here: the
// line is what a file, standard output or a connection carries.

#include <string>
#include <vector>

#include "tracker/tracker.h"

namespace quorl {

// The message of one frame: `frame` its number, `time` a monotonic time stamp in seconds, the frame
// size, and each target of `report` with the frame's keypoint count. Corners clockwise from the
// top-left as the CSV's quad (-1 while lost); `pose` null without one; numbers that are not finite
// become null. Numbers are written the same in every locale, doubles so that they read back exactly; bytes
// of a name that are not UTF-8 become U+FFFD. No newline at the end.
std::string PoseMessage(long long frame, double time, int width, int height, const FrameReport& report);

// Seconds on the monotonic clock (std::chrono::steady_clock), for PoseMessage's `time`.
double MonotonicSeconds();

}  // namespace quorl
