#pragma once
// The editor's application icon: a camera drawn at 16, 32 and 48 pixels.

#include <QIcon>

namespace quorl {

QIcon tessikIcon();

}  // namespace quorl
