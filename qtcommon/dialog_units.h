#pragma once
// Dialog layout in dialog units: x in quarters of the font's average character width, y in eighths of
// its height, so a layout keeps its proportions whatever the font.

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace quorl {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int x(int du) const;
  int y(int du) const;
  QRect rect(int x, int y, int width, int height) const;
  QSize size(int width, int height) const;

  // Places `widget` at the rectangle. When a label's or a button's text needs more room (labels, check
  // and radio boxes: their size hint; push buttons: the text plus the style's margins), it grows to the
  // left keeping the right edge when `growLeft`, else to the right, and downwards, so that no text is
  // clipped in a font wider than the layout assumed. Other widgets get the rectangle as it is.
  void place(QWidget* widget, int x, int y, int width, int height, bool growLeft = false) const;

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;   // average character width in pixels
  int baseHeight_;  // character height in pixels
};

}  // namespace quorl
