#pragma once
// The X display check before start-up (kept apart: Xlib's macros clash with Qt's headers).

namespace quorl {

// True when the X display named by DISPLAY can be opened. freeglut ends the process when it cannot, so this runs before
// glutInit. The connection stays open until the process ends: a display server whose last client leaves resets, and
// would refuse the connections GLUT and Qt open next.
bool HoldXDisplay();

}  // namespace quorl
