#include "editor/app_icon.h"

#include <QPainter>

#include "qtcommon/drawn_icon.h"

namespace quorl {

QIcon tessikIcon() {
  // A camera, drawn on a 32 x 32 grid (tessik.svg is the same picture for the desktop).
  return DrawnIcon(32, {16, 32, 48}, [](QPainter& p) {
    p.setPen(QPen(QColor(40, 40, 48), 1.5));
    p.setBrush(QColor(70, 90, 120));
    p.drawRoundedRect(QRectF(2, 9, 28, 19), 3, 3);
    p.drawRect(QRectF(9, 5, 10, 5));
    p.setBrush(QColor(210, 225, 240));
    p.drawEllipse(QPointF(16, 18.5), 7, 7);
    p.setBrush(QColor(30, 40, 60));
    p.drawEllipse(QPointF(16, 18.5), 3.5, 3.5);
  });
}

}  // namespace quorl
