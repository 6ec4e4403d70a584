#include "app/x_display.h"

#include <X11/Xlib.h>

namespace quorl {

bool HoldXDisplay() {
  static Display* const held = XOpenDisplay(nullptr);
  return held != nullptr;
}

}  // namespace quorl
