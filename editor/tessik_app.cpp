#include "editor/tessik_app.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "editor/tessik_dlg.h"
#include "qtcommon/message.h"

namespace quorl {

CTessikApp::CTessikApp()
    : screenshot_(QStringLiteral("screenshot"), QStringLiteral("Save a picture of the window to <png> and exit."),
                  QStringLiteral("png")) {
  parser_.setApplicationDescription(QStringLiteral("Shows, edits and saves a Quorl camera parameter file."));
  parser_.addHelpOption();
  parser_.addVersionOption();
  parser_.addPositionalArgument(QStringLiteral("file"), QStringLiteral("Camera parameter file to load."),
                                QStringLiteral("[file]"));
  parser_.addOption(screenshot_);
}

void CTessikApp::answerInformationOptions() {
  // Errors are left to run(): Qt's own options are not known yet.
  parser_.parse(QCoreApplication::arguments());
  if (parser_.isSet(QStringLiteral("help")) || parser_.isSet(QStringLiteral("help-all"))) parser_.showHelp(0);
  if (parser_.isSet(QStringLiteral("version"))) parser_.showVersion();
}

int CTessikApp::run() {
  parser_.process(*QCoreApplication::instance());
  const QStringList files = parser_.positionalArguments();
  if (files.size() > 1) {
    std::fprintf(stderr, "Only one file can be given.\n\n%s", qPrintable(parser_.helpText()));
    return 2;
  }
  const QString screenshotPath = parser_.value(screenshot_);
  // Without a user to answer, messages go to standard error; a file that does not load ends the run.
  if (!screenshotPath.isEmpty()) {
    SetMessageHook([](const QString& text, const MessageOptions& options) {
      std::fprintf(stderr, "tessik: %s%s%s\n", qPrintable(text), options.detail.isEmpty() ? "" : " ",
                   qPrintable(options.detail));
      return options.buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok;
    });
  }

  CTessikDlg dialog;
  if (!files.isEmpty()) {
    dialog.pathText = files.constFirst();
    dialog.showMembers();
    if (!dialog.onLoad() && !screenshotPath.isEmpty()) return 1;
  }
  if (screenshotPath.isEmpty()) {
    dialog.exec();
    return 0;
  }
  int code = 1;
  QTimer::singleShot(300, &dialog, [&] {
    code = dialog.grab().save(screenshotPath) ? 0 : 1;
    dialog.reject();
  });
  dialog.exec();
  return code;
}

}  // namespace quorl
