#pragma once
// Program icons drawn with QPainter rather than loaded from files.

#include <QIcon>
#include <functional>
#include <initializer_list>

class QPainter;

namespace quorl {

// An icon holding one pixmap per size in `sides` (pixels, square). Each is transparent and antialiased;
// `draw` paints on a `grid` x `grid` canvas that is scaled to the pixmap.
QIcon DrawnIcon(double grid, std::initializer_list<int> sides, const std::function<void(QPainter&)>& draw);

}  // namespace quorl
