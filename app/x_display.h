#pragma once
// The X display check before start-up (kept apart: Xlib's macros clash with Qt's headers).

namespace quorl {

// True when the X display named by DISPLAY can be opened. freeglut ends the process when it cannot,
// so this runs before glutInit.
bool CanOpenXDisplay();

}  // namespace quorl
