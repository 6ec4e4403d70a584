#pragma once
// The application: command line, start-up order and the About command.

#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

#include "app/quorl_view.h"

namespace quorl {

class CMainFrame;

inline constexpr const char* kVersionText = "Quorl 2.0.0";

// The command line, or what to do instead of running.
struct CommandLine {
  ViewOptions view;
  std::string platform;  // Qt's -platform, when given
  std::string display;   // Qt's -display (the X display), when given
  bool exitNow = false;  // --help, --version or an error; the text is already printed
  int exitCode = 0;
};
// Parses the program's arguments (argv[0] first). Needs no application object. Qt's own options
// (-platform, -display, -style, ...) are accepted and left for QApplication.
CommandLine ParseCommandLine(const QStringList& arguments);

class CQuorlApp : public QObject {
  Q_OBJECT

 public:
  explicit CQuorlApp(ViewOptions options);
  ~CQuorlApp() override;

  // Builds the descriptor tables, creates the main frame and the view, runs the view's start-up and
  // shows the window with the Options dialog beside it.
  bool InitInstance();
  void OnAppAbout();

  CMainFrame* mainFrame() const { return frame_.get(); }

 private:
  ViewOptions options_;
  std::unique_ptr<CMainFrame> frame_;
};

}  // namespace quorl
