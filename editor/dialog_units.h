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

  // Places `widget` at the rectangle. When its text needs more than the rectangle's width (labels: their
  // size hint; push buttons: the text plus the style's margins), it grows to the left keeping the right
  // edge when `growLeft`, else to the right, so that the text is never clipped.
  void place(QWidget* widget, int x, int y, int width, int height, bool growLeft = false) const;

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;   // average character width in pixels
  int baseHeight_;  // character height in pixels
};

}  // namespace quorl
