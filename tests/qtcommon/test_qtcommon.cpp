#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <random>

#include "qtcommon/dialog_units.h"
#include "qtcommon/message.h"
#include "tests/qtcommon/widget_environment.h"

namespace quorl {
namespace {

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new testing::WidgetEnvironment);

// Dialog units follow the font, and neighbouring rectangles meet without gap or overlap at any size.
TEST(DialogUnits, FollowTheFontAndTile) {
  QFont small = QApplication::font();
  small.setPixelSize(10);
  QFont large = small;
  large.setPixelSize(20);
  const DialogUnits a(small), b(large);
  EXPECT_GT(b.rect(0, 0, 100, 100).width(), a.rect(0, 0, 100, 100).width());
  EXPECT_GT(b.rect(0, 0, 100, 100).height(), a.rect(0, 0, 100, 100).height());
  EXPECT_EQ(a.x(4), a.baseWidth());
  EXPECT_EQ(a.y(8), a.baseHeight());

  std::mt19937 random(7);
  std::uniform_int_distribution<int> du(0, 400);
  for (int i = 0; i < 1000; ++i) {
    const int x = du(random), y = du(random), w = du(random), h = du(random);
    const QRect r = a.rect(x, y, w, h);
    const QRect right = a.rect(x + w, y, 10, 10);
    const QRect below = a.rect(x, y + h, 10, 10);
    ASSERT_EQ(r.left() + r.width(), right.left()) << x << " " << w;
    ASSERT_EQ(r.top() + r.height(), below.top()) << y << " " << h;
    ASSERT_EQ(a.size(w, h), a.rect(0, 0, w, h).size());
  }
}

// Texts are never clipped: a long label grows (to the left with growLeft, keeping its right edge); a push
// button grows to its text only, not to the style's minimum; an edit box keeps its rectangle.
TEST(DialogUnits, PlaceLeavesNoTextClipped) {
  QWidget parent;
  const DialogUnits du(parent.font());
  auto* label = new QLabel(QStringLiteral("A label far longer than the box it was given"), &parent);
  du.place(label, 100, 10, 20, 8);
  EXPECT_EQ(label->x(), du.x(100));
  EXPECT_GE(label->width(), label->sizeHint().width());
  auto* left = new QLabel(label->text(), &parent);
  du.place(left, 100, 10, 20, 8, true);
  EXPECT_EQ(left->geometry().right(), du.rect(100, 10, 20, 8).right());
  EXPECT_GE(left->width(), left->sizeHint().width());

  auto* dots = new QPushButton(QStringLiteral("..."), &parent);
  du.place(dots, 0, 0, 15, 14);
  EXPECT_EQ(dots->geometry(), du.rect(0, 0, 15, 14));
  auto* wide = new QPushButton(QStringLiteral("&Import OpenCV calibration..."), &parent);
  du.place(wide, 0, 0, 15, 14);
  EXPECT_GT(wide->width(), du.rect(0, 0, 15, 14).width());
  EXPECT_GE(wide->width(), wide->fontMetrics().horizontalAdvance(QStringLiteral("Import OpenCV calibration...")));

  auto* edit = new QLineEdit(&parent);
  du.place(edit, 10, 10, 21, 14);
  EXPECT_EQ(edit->geometry(), du.rect(10, 10, 21, 14));
}

// Without a hook the real box is captioned with its parent window's title, shows the detail below the
// text and defaults to No.
TEST(ShowMessage, CaptionIsTheParentWindowsTitle) {
  QWidget window;
  window.setWindowTitle(QStringLiteral("Camera Parameter Viewer"));
  auto* child = new QLineEdit(&window);
  QString caption, informative;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    caption = box->windowTitle();
    informative = box->informativeText();
    box->defaultButton()->click();
  });
  EXPECT_EQ(ShowMessage(child, QStringLiteral("Replace it?"), QStringLiteral("/tmp/x"), QMessageBox::Yes | QMessageBox::No),
            QMessageBox::No);
  EXPECT_EQ(caption, "Camera Parameter Viewer");
  EXPECT_EQ(informative, "/tmp/x");
}

}  // namespace
}  // namespace quorl
