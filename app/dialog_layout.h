#pragma once
// Placement of dialog controls in dialog units: x in quarters of the font's average character width,
// y in eighths of its height, so a fixed dialog keeps its proportions with any font.

#include <QFont>
#include <QRect>

class QWidget;

namespace quorl {

class DialogLayout {
 public:
  explicit DialogLayout(const QFont& font);

  QRect rect(int x, int y, int width, int height) const;

  // Sets the widget's geometry to the rectangle, widened to the right when its size hint needs more
  // room (labels and buttons in a font wider than the layout assumed), so no text is clipped.
  void place(QWidget* widget, int x, int y, int width, int height) const;

 private:
  int baseWidth_;   // average character width in pixels
  int baseHeight_;  // character height in pixels
};

}  // namespace quorl
