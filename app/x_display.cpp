#include "app/x_display.h"

#include <X11/Xlib.h>

namespace quorl {

bool CanOpenXDisplay() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace quorl
