#include "app/app_icon.h"

#include <QPainter>
#include <QPainterPath>

#include "qtcommon/drawn_icon.h"

namespace quorl {

QIcon QuorlIcon() {
  // Drawn on a 64 x 64 grid.
  return DrawnIcon(64, {16, 24, 32, 48, 64, 128, 256}, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(38, 44, 56));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    const QPointF quad[4] = {{14, 36}, {48, 32}, {58, 52}, {6, 56}};
    p.setPen(QPen(QColor(0, 230, 0), 2.5));
    p.setBrush(QColor(0, 230, 0, 40));
    p.drawPolygon(quad, 4);
    QPainterPath pot;
    pot.addEllipse(QRectF(20, 22, 24, 20));
    pot.moveTo(43, 30);
    pot.cubicTo(50, 28, 52, 20, 56, 18);
    pot.moveTo(21, 27);
    pot.cubicTo(12, 24, 12, 38, 22, 36);
    pot.addEllipse(QRectF(28, 18, 8, 5));
    p.setPen(QPen(QColor(90, 150, 255), 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(pot);
    p.drawLine(QPointF(21, 32), QPointF(43, 32));
  });
}

}  // namespace quorl
