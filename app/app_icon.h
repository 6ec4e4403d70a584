#pragma once
// Quorl's icon, drawn: a green quadrilateral in perspective with a blue wire teapot on it
// (quorl.svg is the same picture for the desktop).

#include <QIcon>

namespace quorl {

QIcon QuorlIcon();

}  // namespace quorl
