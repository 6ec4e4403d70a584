#include "editor/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace quorl {

namespace {

QPixmap drawCamera(int side) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = side / 32.0;
  p.setPen(QPen(QColor(40, 40, 48), 1.5 * s));
  p.setBrush(QColor(70, 90, 120));
  p.drawRoundedRect(QRectF(2 * s, 9 * s, 28 * s, 19 * s), 3 * s, 3 * s);
  p.drawRect(QRectF(9 * s, 5 * s, 10 * s, 5 * s));
  p.setBrush(QColor(210, 225, 240));
  p.drawEllipse(QPointF(16 * s, 18.5 * s), 7 * s, 7 * s);
  p.setBrush(QColor(30, 40, 60));
  p.drawEllipse(QPointF(16 * s, 18.5 * s), 3.5 * s, 3.5 * s);
  return pixmap;
}

}  // namespace

QIcon tessikIcon() {
  QIcon icon;
  for (int side : {16, 32, 48}) icon.addPixmap(drawCamera(side));
  return icon;
}

}  // namespace quorl
