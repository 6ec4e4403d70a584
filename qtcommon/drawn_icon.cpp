#include "qtcommon/drawn_icon.h"

#include <QPainter>
#include <QPixmap>

namespace quorl {

QIcon DrawnIcon(double grid, std::initializer_list<int> sides, const std::function<void(QPainter&)>& draw) {
  QIcon icon;
  for (const int side : sides) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / grid, side / grid);
    draw(painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace quorl
