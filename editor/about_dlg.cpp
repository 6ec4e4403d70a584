#include "editor/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "editor/app_icon.h"
#include "qtcommon/dialog_units.h"

namespace quorl {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Tessik"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  const DialogUnits du(font());

  auto* icon = new QLabel(this);
  icon->setPixmap(tessikIcon().pixmap(32, 32));
  icon->setGeometry(QRect(du.rect(11, 17, 0, 0).topLeft(), QSize(32, 32)));

  const QString lines[] = {
      QStringLiteral("Tessik Version 1.0"),
      QStringLiteral("Camera parameter file editor for Quorl"),
      QStringLiteral("Built with Qt " QT_VERSION_STR),
  };
  for (int i = 0; i < 3; ++i) {
    auto* label = new QLabel(lines[i], this);
    label->setObjectName(QStringLiteral("aboutLine%1").arg(i));
    du.place(label, 40, 10 + 14 * i, i == 0 ? 130 : 188, 8);  // the first line stops short of OK
  }

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("button1"));
  ok->setDefault(true);
  du.place(ok, 178, 7, 50, 16);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.size(235, 55));
}

}  // namespace quorl
