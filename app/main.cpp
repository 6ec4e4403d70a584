// Quorl: live video, a registered rectangle tracked by keypoint matching, a teapot drawn on it.

#include <QApplication>
#include <QSurfaceFormat>
#include <cstdio>
#include <cstdlib>

#include "app/app_icon.h"
#include "app/quorl_app.h"
#include "qtcommon/message.h"
#include "app/x_display.h"
#include "render/gl_render.h"

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("Quorl"));
  QCoreApplication::setApplicationVersion(QStringLiteral("2.0.0"));
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const quorl::CommandLine commandLine = quorl::ParseCommandLine(arguments);
  if (commandLine.exitNow) return commandLine.exitCode;

  // GLUT draws through X11 and ends the process when it cannot open the display, so the display is
  // checked first. Qt runs on X11 too (XWayland on a Wayland desktop) unless the user chose a platform.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && commandLine.platform.empty()) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  // GLUT opens the display named by DISPLAY; keep it the one Qt is told to use.
  if (!commandLine.display.empty()) qputenv("DISPLAY", commandLine.display.c_str());
  if (!quorl::HoldXDisplay()) {
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "quorl: cannot open the X display%s%s%s.\n"
                 "Quorl draws with OpenGL and GLUT on X11 (XWayland included): start it from a desktop "
                 "session, or under xvfb-run.\n",
                 name != nullptr ? " \"" : " (DISPLAY is not set", name != nullptr ? name : ")",
                 name != nullptr ? "\"" : "");
    return 1;
  }
  quorl::InitGlut();

  QSurfaceFormat::setDefaultFormat(quorl::QuorlSurfaceFormat());

  QApplication app(argc, argv);
  QApplication::setWindowIcon(quorl::QuorlIcon());
  // Without a usable context the window would stay black: say why and stop.
  if (const QString problem = quorl::OpenGlProblem(QSurfaceFormat::defaultFormat()); !problem.isEmpty()) {
    std::fprintf(stderr, "quorl: %s\n", qPrintable(problem));
    if (!quorl::IsWindowlessPlatform(QGuiApplication::platformName())) {
      quorl::ShowMessage(nullptr, problem, {}, QMessageBox::Ok, QMessageBox::Critical);
    }
    return 1;
  }
  quorl::CQuorlApp quorl(commandLine.view);
  if (!quorl.InitInstance()) return 1;
  return QApplication::exec();
}
