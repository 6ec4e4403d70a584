#include "app/quorl_app.h"

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <cstdio>

#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/main_frame.h"
#include "capture/synthetic_scene.h"
#include "features/descriptor.h"

namespace quorl {

CommandLine ParseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Quorl: augmented reality by real-time keypoint matching.\n"
      "Choose Matching > Register Frame, click the four corners of a rectangle clockwise, and a teapot\n"
      "appears on it."));
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Show the version."));
  const QCommandLineOption source(
      QStringLiteral("source"),
      QStringLiteral("Frame source: auto (the first camera, else the synthetic scene), synthetic[:profile] "
                     "(profiles ") +
          QString::fromStdString(MotionProfileList()) +
          QStringLiteral("), camera:N, a video file, an image or an image pattern such as frames/%04d.png."),
      QStringLiteral("source"), QStringLiteral("auto"));
  const QCommandLineOption cameraParams(
      QStringLiteral("camera-params"),
      QStringLiteral("Camera parameter file (default: Data/camera_param.dat in the working directory, else "
                     "the copy shipped with Quorl)."),
      QStringLiteral("file"));
  const QCommandLineOption calibration(
      QStringLiteral("calibration"),
      QStringLiteral("A full calibration: OpenCV's calibration YAML or XML, or a camera file whose distortion is "
                     "applied; the robust mode and the picture targets then track through its lens (default: "
                     "Data/camera_param.yml in the working directory when present, as Configurations > "
                     "Calibrate Camera... saves it)."),
      QStringLiteral("file"));
  const QCommandLineOption robust(
      QStringLiteral("robust"),
      QStringLiteral("Start in the robust tracking mode (Matching > Robust Tracking): optical flow, guided "
                     "matching and template refinement hold the target through steep tilt, blur and clutter."));
  const QCommandLineOption picture(
      QStringLiteral("picture"),
      QStringLiteral("A target given as a picture file: the whole picture is found and followed wherever it "
                     "appears, with its name and its own teapot (repeatable; File > Add Target Picture... adds "
                     "more). The source pictures:table, pictures:return, pictures:swap or pictures:far lays "
                     "these pictures on a synthetic table."),
      QStringLiteral("file"));
  const QCommandLineOption publish(
      QStringLiteral("publish"),
      QStringLiteral("Publish every frame's targets to other programs: one line of JSON per frame over TCP on "
                     "the port and over WebSocket on the next (Configurations > Publish Poses...)."),
      QStringLiteral("port"));
  const QCommandLineOption publishHost(
      QStringLiteral("publish-host"),
      QStringLiteral("The IPv4 address to publish on (default 127.0.0.1: this machine only)."),
      QStringLiteral("address"), QStringLiteral("127.0.0.1"));
  const QCommandLineOption publishOrigin(
      QStringLiteral("publish-origin"),
      QStringLiteral("A web page origin allowed to read the WebSocket stream besides pages opened from a file "
                     "and http://localhost, 127.0.0.1 and [::1] (repeatable), e.g. https://example.org."),
      QStringLiteral("origin"));
  parser.addOption(publishOrigin);
  parser.addOptions({help, version, source, cameraParams, calibration, robust, picture, publish, publishHost});
  // Qt's own options, taken by QApplication; single-dash words are what Qt documents for them.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("name"));
  const QCommandLineOption display(QStringLiteral("display"), QString(), QStringLiteral("display"));
  QList<QCommandLineOption> qtOptions = {platform, display};
  for (const char* name : {"style", "stylesheet", "geometry", "qwindowgeometry", "qwindowtitle", "qwindowicon"}) {
    qtOptions.append(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
  }
  qtOptions.append(QCommandLineOption(QStringLiteral("reverse")));
  for (QCommandLineOption& option : qtOptions) {
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(option);
  }

  CommandLine result;
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "quorl: %s\nTry 'quorl --help'.\n", qPrintable(parser.errorText()));
    result.exitNow = true;
    result.exitCode = 2;
    return result;
  }
  if (parser.isSet(help)) {
    std::printf("%s", qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quorl"))));
    result.exitNow = true;
    return result;
  }
  if (parser.isSet(version)) {
    std::printf("%s\n", kVersionText);
    result.exitNow = true;
    return result;
  }
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "quorl: unexpected argument '%s'\nTry 'quorl --help'.\n",
                 qPrintable(parser.positionalArguments().first()));
    result.exitNow = true;
    result.exitCode = 2;
    return result;
  }
  result.view.source = parser.value(source).toStdString();
  result.view.cameraParams = parser.value(cameraParams).toStdString();
  result.view.calibration = QFile::encodeName(parser.value(calibration)).toStdString();
  result.view.robust = parser.isSet(robust);
  for (const QString& file : parser.values(picture)) result.view.pictures.push_back(QFile::encodeName(file).toStdString());
  if (parser.isSet(publish)) {
    bool number = false;
    const int port = parser.value(publish).toInt(&number);
    if (!number || port < 1 || port > 65534) {
      std::fprintf(stderr, "quorl: --publish wants a port from 1 to 65534, not '%s'\nTry 'quorl --help'.\n",
                   qPrintable(parser.value(publish)));
      result.exitNow = true;
      result.exitCode = 2;
      return result;
    }
    result.view.publishPort = port;
    result.view.publishHost = parser.value(publishHost).toStdString();
  }
  for (const QString& origin : parser.values(publishOrigin)) result.view.publishOrigins.push_back(origin.toStdString());
  result.platform = parser.value(platform).toStdString();
  result.display = parser.value(display).toStdString();
  return result;
}

QSurfaceFormat QuorlSurfaceFormat() {
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setVersion(2, 1);
  format.setDepthBufferSize(24);
  format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
  return format;
}

bool IsWindowlessPlatform(const QString& platformName) {
  return platformName == QStringLiteral("offscreen") || platformName == QStringLiteral("minimal");
}

QString OpenGlProblem(const QSurfaceFormat& format) {
  if (IsWindowlessPlatform(QGuiApplication::platformName())) {
    return QStringLiteral("Qt's platform \"%1\" shows no windows, so Quorl's OpenGL view cannot run on it. "
                          "Quorl runs on X11 (-platform xcb).")
        .arg(QGuiApplication::platformName());
  }
  QOpenGLContext context;
  context.setFormat(format);
  if (!context.create() || !context.isValid()) {
    return QStringLiteral(
        "Quorl cannot create an OpenGL context on this display. It draws with OpenGL 2.1 or later in the "
        "compatibility profile; check the graphics driver (glxinfo -B shows what the display offers).");
  }
  const QSurfaceFormat got = context.format();
  if (got.profile() == QSurfaceFormat::CoreProfile) {
    return QStringLiteral(
               "This display gives an OpenGL %1.%2 core profile context, which lacks the fixed-function "
               "drawing Quorl uses. Quorl needs OpenGL 2.1 or later in the compatibility profile.")
        .arg(got.majorVersion())
        .arg(got.minorVersion());
  }
  return QString();
}

CQuorlApp::CQuorlApp(ViewOptions options) : options_(std::move(options)) {}

CQuorlApp::~CQuorlApp() = default;

bool CQuorlApp::InitInstance() {
  // The tables come first: a message box during the start-up already runs ticks.
  InitDescriptorTables();
  frame_ = std::make_unique<CMainFrame>();
  connect(frame_.get(), &CMainFrame::aboutRequested, this, &CQuorlApp::OnAppAbout);
  frame_->view()->OnInitialUpdate(options_);
  frame_->action(ID_ROBUST_TRACKING)->setChecked(options_.robust);
  frame_->show();
  frame_->ShowOptions(false);
  frame_->activateWindow();
  return true;
}

void CQuorlApp::OnAppAbout() {
  CAboutDlg dialog(frame_.get());
  dialog.exec();
}

}  // namespace quorl
