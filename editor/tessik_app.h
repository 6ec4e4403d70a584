#pragma once
// The Tessik program: command line, then the main dialog run modally until it is closed.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

namespace quorl {

class CTessikApp {
 public:
  CTessikApp();

  // Prints the help or the version and exits the process when the command line asks for one. Needs only
  // a QCoreApplication, so it works before any display is opened.
  void answerInformationOptions();

  // Checks the whole command line (exiting on a malformed one), shows the main dialog and returns the exit
  // code once it is closed. A file argument fills the path box and is loaded. Needs the QApplication,
  // which has already taken Qt's own options such as -platform off the command line.
  int run();

 private:
  QCommandLineParser parser_;
  QCommandLineOption screenshot_;  // saves a picture of the window to the given PNG and exits
};

}  // namespace quorl
