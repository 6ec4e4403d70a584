#include <QApplication>
#include <QCoreApplication>

#include "editor/tessik_app.h"

namespace {

void nameApplication() {
  QCoreApplication::setApplicationName(QStringLiteral("tessik"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
}

}  // namespace

int main(int argc, char** argv) {
  quorl::CTessikApp tessik;
  {
    // --help and --version are answered before the GUI starts, so they need no display.
    QCoreApplication core(argc, argv);
    nameApplication();
    tessik.answerInformationOptions();
  }
  QApplication app(argc, argv);
  nameApplication();
  return tessik.run();
}
