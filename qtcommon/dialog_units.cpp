#include "qtcommon/dialog_units.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace quorl {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseWidth_ = std::max(1, (alphabet / 26 + 1) / 2);
  baseHeight_ = std::max(1, metrics.height());
}

int DialogUnits::x(int du) const { return static_cast<int>(std::lround(du * baseWidth_ / 4.0)); }
int DialogUnits::y(int du) const { return static_cast<int>(std::lround(du * baseHeight_ / 8.0)); }

QRect DialogUnits::rect(int x0, int y0, int width, int height) const {
  const int left = x(x0);
  const int top = y(y0);
  return QRect(left, top, x(x0 + width) - left, y(y0 + height) - top);
}

QSize DialogUnits::size(int width, int height) const { return QSize(x(width), y(height)); }

void DialogUnits::place(QWidget* widget, int x0, int y0, int width, int height, bool growLeft) const {
  QRect r = rect(x0, y0, width, height);
  const bool hasText = qobject_cast<const QLabel*>(widget) != nullptr || qobject_cast<const QAbstractButton*>(widget) != nullptr;
  if (!hasText) {
    widget->setGeometry(r);
    return;
  }
  QSize needed = widget->sizeHint();
  if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
    // A push button's size hint has a style minimum far above what a short text like "..." needs.
    const QStyle* style = button->style();
    QString text = button->text();
    text.remove(QLatin1Char('&'));
    needed.setWidth(button->fontMetrics().horizontalAdvance(text) + 2 * style->pixelMetric(QStyle::PM_ButtonMargin) +
                    2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth));
    needed.setHeight(r.height());
  }
  if (needed.width() > r.width()) {
    if (growLeft)
      r.setLeft(r.right() + 1 - needed.width());
    else
      r.setWidth(needed.width());
  }
  if (needed.height() > r.height()) r.setHeight(needed.height());
  widget->setGeometry(r);
}

}  // namespace quorl
