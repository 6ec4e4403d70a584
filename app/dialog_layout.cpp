#include "app/dialog_layout.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QWidget>

namespace quorl {

DialogLayout::DialogLayout(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over the 52 Latin letters, rounded, as dialog units have always been defined.
  baseWidth_ = (metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) + 26) / 52;
  baseHeight_ = metrics.height();
}

QRect DialogLayout::rect(int x, int y, int width, int height) const {
  return QRect(x * baseWidth_ / 4, y * baseHeight_ / 8, width * baseWidth_ / 4, height * baseHeight_ / 8);
}

void DialogLayout::place(QWidget* widget, int x, int y, int width, int height) const {
  QRect r = rect(x, y, width, height);
  if (qobject_cast<QLabel*>(widget) != nullptr || qobject_cast<QAbstractButton*>(widget) != nullptr) {
    const QSize hint = widget->sizeHint();
    if (hint.width() > r.width()) r.setWidth(hint.width());
    if (hint.height() > r.height()) r.setHeight(hint.height());
  }
  widget->setGeometry(r);
}

}  // namespace quorl
