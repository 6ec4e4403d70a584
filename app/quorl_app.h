#pragma once
// The application: command line, start-up order and the About command.

#include <QObject>
#include <QStringList>
#include <QSurfaceFormat>
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

// What Quorl draws with: OpenGL 2.1 or later in the compatibility profile (fixed-function drawing),
// 24-bit depth, double-buffered. main() makes it the default format.
QSurfaceFormat QuorlSurfaceFormat();

// Qt platforms that put no window on a screen ("offscreen", "minimal"): Quorl's OpenGL view cannot run
// there, and a message box would wait unseen.
bool IsWindowlessPlatform(const QString& platformName);

// Why OpenGL cannot draw Quorl's picture here: a windowless platform, no valid context for `format`, or a
// core-profile context without the fixed-function drawing. Empty when a compatibility context is
// created. Needs the application object.
QString OpenGlProblem(const QSurfaceFormat& format);

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
