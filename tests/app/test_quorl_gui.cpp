#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QStatusBar>
#include <QSurfaceFormat>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <memory>

#include "app/about_dlg.h"
#include "app/calibrate_dlg.h"
#include "app/commands.h"
#include "app/main_frame.h"
#include "app/option_dlg.h"
#include "app/quorl_app.h"
#include "app/quorl_view.h"
#include "app/video_dialogs.h"
#include "camera/camera_setup.h"
#include "render/gl_render.h"
#include "tests/capture/gated_source.h"
#include "tests/qtcommon/widget_environment.h"

namespace quorl {
namespace {

using testing::ReportRecorder;

// The real program's start-up on the X display (Xvfb in the test run; CTest selects the xcb platform):
// compatibility profile, GLUT initialised.
class GuiEnvironment : public testing::WidgetEnvironment {
 public:
  void SetUp() override {
    InitGlut();
    QSurfaceFormat::setDefaultFormat(QuorlSurfaceFormat());
    WidgetEnvironment::SetUp();
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

const std::string kCameraFile = QUORL_SOURCE_DIR "/Data/camera_param.dat";

class QuorlGui : public ::testing::Test {
 protected:
  void start(const std::string& source, const std::string& cameraParams = kCameraFile,
             const std::vector<std::string>& pictures = {}, const std::string& calibration = {}) {
    ViewOptions options;
    options.source = source;
    options.cameraParams = cameraParams;
    options.pictures = pictures;
    options.calibration = calibration;
    app_ = std::make_unique<CQuorlApp>(options);
    ASSERT_TRUE(app_->InitInstance());
    frame = app_->mainFrame();
    view = frame->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame));
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
  }
  void TearDown() override { app_.reset(); }

  void key(Qt::Key k) { QTest::keyClick(frame, k, Qt::ControlModifier); }
  QString countText() const {
    return qobject_cast<QLineEdit*>(frame->options().control(COptionDlg::IDC_KEYPOINT_COUNT))->text();
  }
  // Clicks the four true corners of the synthetic target in the frozen frame (after the first frame).
  void registerTarget() {
    ASSERT_TRUE(QTest::qWaitFor([this] { return view->grabber().source()->trueCorners().has_value(); }, 2000));
    key(Qt::Key_R);
    ASSERT_EQ(view->state().clickMode, 1);
    ASSERT_FALSE(view->ticking());
    const auto corners = view->grabber().source()->trueCorners();
    ASSERT_TRUE(corners.has_value());
    for (const cv::Point2d& c : *corners) {
      QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(int(std::lround(c.x)), int(std::lround(c.y))));
    }
  }

  std::unique_ptr<CQuorlApp> app_;
  CMainFrame* frame = nullptr;
  CQuorlView* view = nullptr;
};

// The whole program on the synthetic scene: detection ticks, Ctrl+R, four clicks on the true corners,
// tracking with the teapot drawn, the quad near the truth, Copy Frame, the live keypoint count.
TEST_F(QuorlGui, RegistersTracksAndDrawsTheTeapot) {
  start("synthetic");
  EXPECT_EQ(frame->windowTitle(), "Quorl ver. 2.0");
  EXPECT_EQ(view->size(), QSize(320, 240));
  EXPECT_EQ(frame->minimumSize(), frame->maximumSize());
  EXPECT_TRUE(frame->action(ID_VIDEO_FORMAT)->isEnabled());
  EXPECT_TRUE(frame->options().isVisible());
  EXPECT_TRUE(view->ticking());

  QSet<QString> counts;
  for (int i = 0; i < 20; ++i) {
    QTest::qWait(40);
    counts.insert(countText());
  }
  EXPECT_GE(counts.size(), 2) << "the keypoint count never changed";
  EXPECT_EQ(countText(), QString::number(frame->options().settings().keypointCount));
  EXPECT_TRUE(view->StatusText().contains("Detecting"));

  registerTarget();
  const TrackerState& s = view->state();
  ASSERT_TRUE(s.model.isRegistered());
  EXPECT_EQ(s.clickMode, 0);
  EXPECT_TRUE(view->ticking());
  QTest::qWait(600);
  EXPECT_EQ(s.modelActive, 1);
  EXPECT_TRUE(view->StatusText().contains("Tracking")) << view->StatusText().toStdString();

  const auto truth = view->grabber().source()->trueCorners();
  ASSERT_TRUE(truth.has_value());
  double cx = 0, cy = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(s.model.currentQuad.pt[i].x, (*truth)[i].x, 6.0) << "corner " << i;
    EXPECT_NEAR(s.model.currentQuad.pt[i].y, (*truth)[i].y, 6.0) << "corner " << i;
    cx += (*truth)[i].x / 4;
    cy += (*truth)[i].y / 4;
  }

  // The teapot: drawn pixels differ from the background picture around the target's centre.
  // On a high-density screen the framebuffer has `r` device pixels per frame pixel.
  const int r = qRound(view->devicePixelRatioF());
  const QImage drawn = view->grabFramebuffer().convertToFormat(QImage::Format_RGB888);
  const QImage background = DibToImage(s.display).convertToFormat(QImage::Format_RGB888);
  ASSERT_EQ(drawn.size(), background.size() * r);
  auto differs = [&](int x, int y) { return drawn.pixel(x * r, y * r) != background.pixel(x, y); };
  int changed = 0;
  for (int y = int(cy) - 40; y <= int(cy) + 40; ++y)
    for (int x = int(cx) - 40; x <= int(cx) + 40; ++x) changed += differs(x, y);
  EXPECT_GT(changed, 100);
  int changedInCorner = 0;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x) changedInCorner += differs(x, y);
  EXPECT_EQ(changedInCorner, 0);
  // The picture covers the window: the window's own image shows it, not the window background.
  const QImage window = frame->grab().toImage().convertToFormat(QImage::Format_RGB888);
  const QPoint origin = view->mapTo(frame, QPoint(0, 0)) * frame->devicePixelRatio();
  EXPECT_EQ(window.pixel(origin + QPoint(5, 5) * r), background.pixel(5, 5));

  QGuiApplication::clipboard()->clear();
  key(Qt::Key_C);
  const QImage copied = QGuiApplication::clipboard()->image();
  EXPECT_EQ(copied.size(), QSize(320, 240));
  // The frame as captured: without the outline drawn into the displayed picture.
  EXPECT_EQ(copied.convertToFormat(QImage::Format_RGB888), DibToImage(s.frame).convertToFormat(QImage::Format_RGB888));
  EXPECT_EQ(frame->options().control(COptionDlg::IDC_INLIER_COUNT)->property("text").toString(),
            QString::number(s.model.inlierMap.size()));
}

// Clicks are marked on the frozen, unmarked frame; the status line names the next corner.
// Matching > Robust Tracking switched on while tracking: the robust model is built from the registered
// frame, the status line names the mode, and the quad follows the target.
TEST_F(QuorlGui, RobustTrackingCanBeSwitchedOnWhileTracking) {
  start("synthetic:orbit");
  QAction* robust = frame->action(ID_ROBUST_TRACKING);
  ASSERT_NE(robust, nullptr);
  EXPECT_TRUE(robust->isCheckable());
  EXPECT_FALSE(robust->isChecked());
  registerTarget();
  QTest::qWait(200);
  EXPECT_FALSE(view->StatusText().contains("robust"));
  robust->trigger();
  EXPECT_TRUE(view->RobustTracking());
  QTest::qWait(600);
  const TrackerState& s = view->state();
  EXPECT_TRUE(s.robust.registered());
  EXPECT_TRUE(view->StatusText().contains("Tracking (robust)")) << view->StatusText().toStdString();
  const auto truth = view->grabber().source()->trueCorners();
  ASSERT_TRUE(truth.has_value());
  // The source may be a frame ahead of the last tick.
  for (int i = 0; i < 4; ++i) EXPECT_LT(cv::norm(s.quadCorners[i] - (*truth)[i]), 3.0) << "corner " << i;
  robust->trigger();
  EXPECT_FALSE(view->RobustTracking());
}

TEST_F(QuorlGui, ClicksAreMarkedOnTheFrozenFrame) {
  start("synthetic");
  QTest::qWait(100);
  key(Qt::Key_R);
  EXPECT_TRUE(view->StatusText().contains("top-left")) << view->StatusText().toStdString();
  QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(100, 80));
  EXPECT_TRUE(view->StatusText().contains("top-right corner (2 of 4)")) << view->StatusText().toStdString();
  const uint8_t* p = view->state().display.rows24()[80] + 3 * 100;
  EXPECT_EQ(p[2], 255);
  EXPECT_EQ(p[0], 0);
  const uint8_t* f = view->state().frame.rows24()[80] + 3 * 100;
  EXPECT_FALSE(f[2] == 255 && f[0] == 0 && f[1] == 0);
  EXPECT_FALSE(view->ticking());
}

// An explicit camera that is missing: 320 x 240 white picture, no ticks, Video Format off, Video Source on.
TEST_F(QuorlGui, MissingCameraGivesTheNoCaptureState) {
  start("camera:99");
  EXPECT_FALSE(view->HasCapture());
  EXPECT_FALSE(view->ticking());
  EXPECT_EQ(view->size(), QSize(320, 240));
  EXPECT_FALSE(frame->action(ID_VIDEO_FORMAT)->isEnabled());
  EXPECT_TRUE(frame->action(ID_VIDEO_SOURCE)->isEnabled());
  EXPECT_EQ(view->state().frame.rows24()[120][300], 255);
  EXPECT_TRUE(view->StatusText().contains("No capture"));

  // Video Source is the way out: choosing the synthetic scene starts the ticks.
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<CVideoSourceDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->sources()->setCurrentIndex(dialog->sources()->findText("Synthetic scene: orbit"));
    dialog->accept();
  });
  key(Qt::Key_S);
  EXPECT_TRUE(view->HasCapture());
  EXPECT_TRUE(view->ticking());
  EXPECT_TRUE(frame->action(ID_VIDEO_FORMAT)->isEnabled());
}

TEST_F(QuorlGui, MissingCameraFileIsReported) {
  ReportRecorder reports;
  start("synthetic", "/no/such/camera_param.dat");
  EXPECT_EQ(reports.texts, QStringList{"Can't find the camera parameter file!!!"});
  EXPECT_EQ(reports.details, QStringList{"/no/such/camera_param.dat: No such file or directory"});
  EXPECT_TRUE(view->ticking());
  EXPECT_TRUE(view->StatusText().contains(kNoCalibrationStatus)) << view->StatusText().toStdString();

  // File > Load Camera Parameters...: a short file is reported and changes nothing; a good one is taken,
  // rescaled to the frame, and the status line no longer warns.
  EXPECT_EQ(frame->action(ID_LOAD_CAMERA_PARAMS)->text(), "&Load Camera Parameters...");
  QTemporaryDir dir;
  const QString shortFile = dir.filePath("short.dat");
  QFile source(QString::fromStdString(kCameraFile));
  ASSERT_TRUE(source.open(QIODevice::ReadOnly));
  QFile cut(shortFile);
  ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
  cut.write(source.read(60));
  cut.close();
  EXPECT_FALSE(view->LoadCameraParams(shortFile));
  EXPECT_EQ(reports.texts.last(), "File read error!!!");
  EXPECT_EQ(reports.details.last(), shortFile + ": 60 of 136 bytes");
  EXPECT_TRUE(view->StatusText().contains(kNoCalibrationStatus));
  EXPECT_TRUE(view->LoadCameraParams(QString::fromStdString(kCameraFile)));
  EXPECT_EQ(reports.texts.size(), 2);
  EXPECT_EQ(view->state().camera.cameraParams.xsize, 320);
  EXPECT_FALSE(view->StatusText().contains("No calibration"));
}

// After Video Format the view has the new size and the calibration follows it (the focal length in
// pixels doubles from 320 to 640 pixels wide); the registered model stays.
// In the robust mode, which follows the target from frame to frame, the new size starts its motion over.
TEST_F(QuorlGui, VideoFormatResizesAndRescalesTheCalibration) {
  ReportRecorder reports;
  start("synthetic");
  const double fx320 = view->state().camera.cameraParams.mat[0][0];
  QTest::qWait(100);
  registerTarget();
  ASSERT_TRUE(view->state().model.isRegistered());
  frame->action(ID_ROBUST_TRACKING)->trigger();
  QTest::qWait(200);
  ASSERT_EQ(view->state().trackingState, TrackingState::Tracking);
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<CVideoFormatDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->sizes()->setCurrentIndex(dialog->sizes()->findText("640 x 480"));
    dialog->accept();
  });
  key(Qt::Key_F);
  EXPECT_EQ(view->size(), QSize(640, 480));
  EXPECT_EQ(view->frameSize(), QSize(640, 480));
  EXPECT_EQ(view->state().camera.cameraParams.xsize, 640);
  EXPECT_DOUBLE_EQ(view->state().camera.cameraParams.mat[0][0], 2 * fx320);
  CameraParam file;
  ASSERT_EQ(readCameraParamPath(kCameraFile, file), CameraFileStatus::Ok);
  const auto fromFile = changeParamSize(file, 640, 480);
  ASSERT_TRUE(fromFile.has_value());
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(view->state().camera.cameraParams.mat[r][c], fromFile->mat[r][c], 1e-9);
  EXPECT_EQ(view->state().camera.projection, buildGLProjection(mirrorImageRows(*fromFile), 50.0, 5000.0).value());
  EXPECT_TRUE(view->state().model.isRegistered());
  ASSERT_TRUE(QTest::qWaitFor(
      [this] { return view->state().frame.width() == 640 && view->state().trackingState == TrackingState::Tracking; },
      3000));
  EXPECT_GT(view->state().quadCorners[2].x, 320.0);
  EXPECT_TRUE(reports.texts.isEmpty());
  EXPECT_EQ(view->grabFramebuffer().size(), QSize(640, 480) * view->devicePixelRatio());
  EXPECT_EQ(frame->minimumSize(), frame->maximumSize());
}

TEST_F(QuorlGui, AboutAndExitShortcuts) {
  start("synthetic");
  bool sawAbout = false;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    sawAbout = about != nullptr;
    if (about != nullptr) about->accept();
  });
  key(Qt::Key_H);
  EXPECT_TRUE(sawAbout);
  key(Qt::Key_X);
  EXPECT_FALSE(frame->isVisible());
}

TEST_F(QuorlGui, CtrlQQuitsToo) {
  start("synthetic");
  key(Qt::Key_Q);
  EXPECT_FALSE(frame->isVisible());
}

// A camera that stops: the window stays responsive, the status line says so and names the device, the
// teapot goes, Video Source stays available; when frames come again the program carries on by itself.
TEST_F(QuorlGui, StoppedCameraIsReportedAndCaptureResumes) {
  start("synthetic");
  QTest::qWait(100);
  registerTarget();
  QTest::qWait(400);
  ASSERT_EQ(view->state().modelActive, 1);

  auto now = CFrameGrabber::Clock::now();
  view->grabber().SetClock([&] { return now; });
  auto gate = std::make_shared<testing::Gate>();
  ASSERT_TRUE(view->grabber().ReplaceSource(std::make_unique<testing::GatedSource>(gate, 320, 240)));
  gate->allow(1);
  QTest::qWait(200);
  EXPECT_FALSE(view->StatusText().contains("Stopped"));
  now += std::chrono::milliseconds(1100);
  QTest::qWait(200);
  EXPECT_TRUE(view->ticking());
  EXPECT_TRUE(view->StatusText().contains("Stopped: gated camera (/dev/video7) delivers no frames"))
      << view->StatusText().toStdString();
  EXPECT_EQ(view->state().modelActive, 0);
  EXPECT_TRUE(frame->action(ID_VIDEO_SOURCE)->isEnabled());
  gate->allow(1);
  QTest::qWait(200);
  EXPECT_FALSE(view->StatusText().contains("Stopped")) << view->StatusText().toStdString();
  gate->close();
}

// At a small frame size every menu title stays visible (the window is as wide as the menu bar, the
// picture centred in it) and the status text is shortened, whole in its tooltip.
TEST_F(QuorlGui, SmallFrameKeepsTheMenusAndShortensTheStatus) {
  QTemporaryDir dir;
  const QString still = dir.filePath(QStringLiteral("small.png"));
  QImage(160, 120, QImage::Format_RGB888).save(still);
  start(still.toStdString());
  EXPECT_EQ(view->size(), QSize(160, 120));
  QMenuBar* bar = frame->menuBar();
  EXPECT_GT(bar->width(), 160);
  for (QAction* menu : bar->actions()) {
    const QRect r = bar->actionGeometry(menu);
    EXPECT_FALSE(r.isEmpty()) << menu->text().toStdString();
    EXPECT_LE(r.right(), bar->width()) << menu->text().toStdString();
  }
  for (QWidget* child : bar->findChildren<QWidget*>()) {
    if (child->objectName() == QStringLiteral("qt_menubar_ext_button")) {
      EXPECT_FALSE(child->isVisible());
    }
  }
  EXPECT_NEAR(view->geometry().center().x(), view->parentWidget()->width() / 2, 1);

  QLabel* status = nullptr;
  for (QLabel* label : frame->statusBar()->findChildren<QLabel*>()) {
    if (label->toolTip() == view->StatusText()) status = label;
  }
  ASSERT_NE(status, nullptr);
  EXPECT_NE(status->text(), view->StatusText());
  EXPECT_TRUE(status->text().endsWith(QChar(0x2026))) << status->text().toStdString();
  EXPECT_TRUE(status->text().startsWith(QStringLiteral("Detecting"))) << status->text().toStdString();
}

// Quorl draws with the compatibility profile; a core profile context is refused with a reason.
TEST(QuorlProgram, OpenGlContextIsChecked) {
  EXPECT_EQ(OpenGlProblem(QuorlSurfaceFormat()), QString());
  QSurfaceFormat core = QuorlSurfaceFormat();
  core.setVersion(3, 3);
  core.setProfile(QSurfaceFormat::CoreProfile);
  EXPECT_TRUE(OpenGlProblem(core).contains(QStringLiteral("core profile"))) << OpenGlProblem(core).toStdString();

  // A platform without windows is refused at start-up (it used to crash once the view was shown).
  QProcess process;
  process.start(QStringLiteral(QUORL_EXECUTABLE), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
  ASSERT_TRUE(process.waitForFinished(20000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 1);
  EXPECT_TRUE(process.readAllStandardError().contains("shows no windows"));
}

TEST_F(QuorlGui, SaveFrameWritesThePicture) {
  start("synthetic");
  QTest::qWait(100);
  QTemporaryDir dir;
  const QString path = dir.filePath("frame.png");
  ASSERT_TRUE(view->SaveFrame(path));
  const QImage saved(path);
  EXPECT_EQ(saved, DibToImage(view->state().frame).convertToFormat(saved.format()));
}

// Without an X display the program says so and stops before anything else.
TEST(QuorlProgram, NoDisplayIsReported) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("QT_QPA_PLATFORM");
  process.setProcessEnvironment(env);
  process.start(QStringLiteral(QUORL_EXECUTABLE), {});
  ASSERT_TRUE(process.waitForFinished(20000));
  EXPECT_EQ(process.exitCode(), 1);
  EXPECT_TRUE(process.readAllStandardError().contains("cannot open the X display"));
  process.start(QStringLiteral(QUORL_EXECUTABLE), {QStringLiteral("--version")});
  ASSERT_TRUE(process.waitForFinished(20000));
  EXPECT_EQ(process.readAllStandardOutput().trimmed(), "Quorl 2.0.0");
}

}  // namespace
}  // namespace quorl

namespace quorl {
namespace {

// Writes the screenshots shown in the README into $QUORL_SCREENSHOT_DIR, run as
//   QUORL_SCREENSHOT_DIR=$PWD/docs xvfb-run -a build/tests/app/test_quorl_gui
//   --gtest_also_run_disabled_tests --gtest_filter='*Screenshots*'
// Target pictures on the picture scene: each is found, outlined and named, the status line counts them;
// a file that is no picture is reported with its reason, a repetitive one warned of; removing them ends it.
const std::string kOpenCvData = "/usr/share/doc/opencv-doc/examples/data/";

TEST_F(QuorlGui, PictureTargetsAreFoundNamedAndCounted) {
  if (!QFile::exists(QString::fromStdString(kOpenCvData + "box.png"))) GTEST_SKIP() << "opencv-doc not installed";
  ReportRecorder reports;
  start("pictures:far", kCameraFile, {kOpenCvData + "graf1.png", kOpenCvData + "box.png"});
  ASSERT_TRUE(QTest::qWaitFor([this] { return view->StatusText().contains("2 of 2 pictures found"); }, 5000))
      << view->StatusText().toStdString();
  EXPECT_TRUE(reports.texts.isEmpty());
  const auto truth = view->grabber().source()->trueTargets();
  for (const PictureTarget& t : view->state().pictures.targets()) {
    const auto it = std::find_if(truth.begin(), truth.end(), [&](const TargetTruth& x) { return x.name == t.name; });
    ASSERT_NE(it, truth.end()) << t.name;
    // The source may be a frame ahead of the last tick.
    EXPECT_LT(cv::norm(t.corners[0] - it->corners[0]), 4.0) << t.name;
  }
  // Green name labels are drawn into the picture beside the outlines.
  EXPECT_TRUE(frame->action(ID_ADD_TARGET_PICTURES)->text() == "Add Target Picture...");
  view->AddTargetPictures({"/no/such/picture.png", kOpenCvData + "chessboard.png"});
  ASSERT_EQ(reports.texts.size(), 2);
  EXPECT_EQ(reports.texts[0], kMsgBadTargetPicture);
  EXPECT_EQ(reports.details[0], "/no/such/picture.png: no such file");
  EXPECT_EQ(reports.texts[1], kPoorPictureWarning);
  EXPECT_EQ(view->state().pictures.targets().size(), 3u);
  frame->action(ID_REMOVE_TARGET_PICTURES)->trigger();
  EXPECT_TRUE(view->state().pictures.empty());
  EXPECT_FALSE(view->StatusText().contains("pictures found"));
}

// The pose stream from the desktop: a client on the port receives one JSON line per tick with the
// pictures' states; the status line counts the clients; a port in use is reported and nothing changes.
TEST_F(QuorlGui, PublishesPosesToAClient) {
  if (!QFile::exists(QString::fromStdString(kOpenCvData + "box.png"))) GTEST_SKIP() << "opencv-doc not installed";
  ReportRecorder reports;
  start("pictures:far", kCameraFile, {kOpenCvData + "box.png"});
  ASSERT_TRUE(view->StartPublishing(27661));
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(27661);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(QTest::qWaitFor([this] { return view->StatusText().contains("27661: 1 clients"); }, 3000))
      << view->StatusText().toStdString();
  std::string received;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        char buffer[4096];
        const ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        return received.find("\"name\":\"box\",\"state\":\"tracking\"") != std::string::npos;
      },
      5000))
      << received.substr(0, 300);
  EXPECT_EQ(received.rfind("{\"frame\":", 0), 0u);
  close(client);
  // Another view cannot take the same port.
  EXPECT_FALSE(view->StartPublishing(27661 - 1));  // its WebSocket port is taken
  ASSERT_EQ(reports.texts.size(), 1);
  EXPECT_EQ(reports.texts[0], kMsgCannotPublish);
  EXPECT_EQ(reports.details[0], "port 27661 is in use");
  EXPECT_TRUE(view->publisher() != nullptr);
  view->StopPublishing();
  EXPECT_FALSE(view->StatusText().contains("publishing"));
}

// File > Record Session... into a folder chosen in its dialog: a few ticks, a registration by four clicks,
// Stop Recording, and the status line says where the session is. quorl-track replays the folder: it
// registers where the clicks were and ends on the quad the view showed when the recording stopped. A
// folder that cannot be written is reported.
TEST_F(QuorlGui, RecordsASessionThatQuorlTrackReplays) {
  ReportRecorder reports;
  start("synthetic");
  QTemporaryDir dir;
  const QString folder = dir.filePath("session");
  ASSERT_TRUE(QDir().mkpath(folder));
  QAction* record = frame->action(ID_RECORD_SESSION);
  EXPECT_EQ(record->text(), "&Record Session...");
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->selectFile(folder);
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, which takes the chosen folder
  });
  record->trigger();
  ASSERT_TRUE(view->Recording());
  EXPECT_EQ(record->text(), "Stop Recording");
  QTest::qWait(300);
  registerTarget();
  QTest::qWait(500);
  EXPECT_TRUE(view->StatusText().contains("recording to " + folder)) << view->StatusText().toStdString();
  const std::array<cv::Point2d, 4> shown = view->state().quadCorners;
  record->trigger();
  EXPECT_FALSE(view->Recording());
  EXPECT_EQ(record->text(), "&Record Session...");
  EXPECT_TRUE(view->StatusText().contains("session written to " + folder)) << view->StatusText().toStdString();
  EXPECT_TRUE(reports.texts.isEmpty()) << reports.details.join("; ").toStdString();

  QProcess track;
  const QString csv = dir.filePath("replay.csv");
  track.start(QUORL_TRACK_EXECUTABLE, {"--replay", folder, "--csv", csv});
  ASSERT_TRUE(track.waitForFinished(60000));
  ASSERT_EQ(track.exitCode(), 0) << track.readAllStandardError().toStdString();
  QFile rows(csv);
  ASSERT_TRUE(rows.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = rows.readAll().trimmed().split('\n');
  ASSERT_GE(lines.size(), 5);
  EXPECT_TRUE(lines[1].endsWith(",detecting") || lines[1].contains(",detecting,")) << lines[1].toStdString();
  const QList<QByteArray> last = lines.last().split(',');
  ASSERT_GT(last.size(), 10);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(last[2 + 2 * i].toDouble(), shown[i].x, 0.01) << "corner " << i;
    EXPECT_NEAR(last[3 + 2 * i].toDouble(), shown[i].y, 0.01) << "corner " << i;
  }

  QFile blocker(dir.filePath("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  EXPECT_FALSE(view->StartRecording(dir.filePath("file/session")));
  ASSERT_EQ(reports.texts.size(), 1);
  EXPECT_EQ(reports.texts[0], kMsgCannotRecord);
  EXPECT_TRUE(reports.details[0].startsWith(dir.filePath("file/session") + ": ")) << reports.details[0].toStdString();
  EXPECT_FALSE(view->Recording());
}

TEST_F(QuorlGui, DISABLED_WriteScreenshots) {
  const QString dir = qEnvironmentVariable("QUORL_SCREENSHOT_DIR");
  ASSERT_FALSE(dir.isEmpty()) << "set QUORL_SCREENSHOT_DIR";
  start("synthetic");
  QTest::qWait(300);
  registerTarget();
  QTest::qWait(2500);
  ASSERT_EQ(view->state().modelActive, 1);
  EXPECT_TRUE(frame->grab().save(dir + "/quorl-main.png"));
  EXPECT_TRUE(frame->options().grab().save(dir + "/options.png"));
  CAboutDlg about(frame);
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  EXPECT_TRUE(about.grab().save(dir + "/about.png"));
}

TEST_F(QuorlGui, DISABLED_WritePictureScreenshot) {
  const QString dir = qEnvironmentVariable("QUORL_SCREENSHOT_DIR");
  ASSERT_FALSE(dir.isEmpty()) << "set QUORL_SCREENSHOT_DIR";
  start("pictures:far", kCameraFile,
        {kOpenCvData + "graf1.png", kOpenCvData + "box.png", kOpenCvData + "butterfly.jpg"});
  ASSERT_TRUE(QTest::qWaitFor([this] { return view->StatusText().contains("3 of 3 pictures found"); }, 8000));
  QTest::qWait(1500);
  EXPECT_TRUE(frame->grab().save(dir + "/quorl-pictures.png"));
}

// The working directory of a test for its lifetime: a new folder, the previous one restored after.
class WorkingFolder {
 public:
  WorkingFolder() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
  ~WorkingFolder() { QDir::setCurrent(previous_); }

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// The board scene at 640 x 480 with Configurations > Calibrate Camera... open on it.
CCalibrateDlg* openCalibration(CMainFrame* frame) {
  CQuorlView* view = frame->view();
  if (!view->grabber().SetFormat(640, 480)) return nullptr;
  view->ApplyFrameSize();
  frame->action(ID_CALIBRATE_CAMERA)->trigger();
  auto* dialog = frame->findChild<CCalibrateDlg*>();
  return dialog != nullptr && QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
}

// Calibrate Camera on the board scene: the default board, views taken by themselves while the bars fill,
// Take View, a refusal while too few, the RMS error and the scene's focal length, Save replacing the files
// (asked first), the calibration in use at once and at the next start-up, Clear.
TEST_F(QuorlGui, CalibrateCameraTakesViewsCalibratesAndSaves) {
  WorkingFolder folder;
  ASSERT_TRUE(QDir().mkpath("Data"));
  ASSERT_TRUE(QFile::copy(QString::fromStdString(kCameraFile), "Data/camera_param.dat"));
  ReportRecorder answers(QMessageBox::Yes);
  start("board");
  CCalibrateDlg* dialog = openCalibration(frame);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->kindBox()->currentText(), "Chessboard");
  EXPECT_EQ(dialog->colsBox()->value(), 9);
  EXPECT_EQ(dialog->rowsBox()->value(), 6);
  EXPECT_EQ(dialog->squareBox()->value(), 25.0);
  ASSERT_TRUE(dialog->board().has_value());
  EXPECT_EQ(BoardLayoutText(*dialog->board()), "chessboard:9x6:0.025");
  EXPECT_FALSE(dialog->saveButton()->isEnabled());

  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->session() != nullptr && dialog->session()->viewCount() == 1; }, 20000));
  EXPECT_EQ(dialog->session()->frameSize(), cv::Size(640, 480));
  EXPECT_EQ(dialog->pictureLabel()->pixmap().size(), QSize(640, 480));
  // Still at the station: Take View takes the same board again.
  dialog->takeButton()->click();
  EXPECT_EQ(dialog->session()->viewCount(), 2);
  EXPECT_EQ(dialog->viewsLabel()->text(), "Views: 2 (8 more needed)");
  EXPECT_FALSE(dialog->OnCalibrate());
  EXPECT_TRUE(dialog->resultLabel()->text().contains("2 taken, 8 more needed")) << dialog->resultLabel()->text().toStdString();
  EXPECT_FALSE(dialog->saveButton()->isEnabled());

  int filling[CCalibrateDlg::kBarCount] = {};
  bool fell = false;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (int i = 0; i < CCalibrateDlg::kBarCount; ++i) {
          const int value = dialog->bar(CCalibrateDlg::Bar(i))->value();
          fell = fell || value < filling[i];
          filling[i] = value;
        }
        return dialog->session()->coverage().complete();
      },
      300000))
      << dialog->viewsLabel()->text().toStdString();
  EXPECT_FALSE(fell) << "a coverage bar went down";
  for (int i = 0; i < CCalibrateDlg::kBarCount; ++i) EXPECT_GE(filling[i], 70) << "bar " << i;
  const int views = dialog->session()->viewCount();
  EXPECT_GE(views, 10);
  EXPECT_EQ(dialog->viewsLabel()->text(), QStringLiteral("Views: %1").arg(views));

  dialog->calibrateButton()->click();
  ASSERT_TRUE(dialog->result().has_value()) << dialog->resultLabel()->text().toStdString();
  EXPECT_LT(dialog->result()->rms, 0.5);
  EXPECT_NEAR(dialog->result()->cameraMatrix(0, 0), 600.0, 12.0);
  EXPECT_TRUE(dialog->resultLabel()->text().startsWith("RMS reprojection error: ")) << dialog->resultLabel()->text().toStdString();
  ASSERT_TRUE(dialog->saveButton()->isEnabled());

  dialog->saveButton()->click();
  ASSERT_EQ(answers.texts.size(), 1) << answers.details.join("; ").toStdString();
  EXPECT_EQ(answers.texts[0], "Data/camera_param.dat already exists.\nDo you want to replace it?");
  EXPECT_EQ(QFileInfo("Data/camera_param.dat").size(), 136);
  EXPECT_NE(QFileInfo("Data/camera_param.dat").lastModified(), QFileInfo(QString::fromStdString(kCameraFile)).lastModified());
  ASSERT_TRUE(QFileInfo::exists("Data/camera_param.yml"));
  ASSERT_TRUE(view->state().calibration.has_value());
  EXPECT_NEAR(view->state().calibration->cameraMatrix()(0, 0), dialog->result()->cameraMatrix(0, 0), 1e-6);
  EXPECT_TRUE(view->StatusText().contains("calibrated: Data/camera_param.yml")) << view->StatusText().toStdString();

  dialog->clearButton()->click();
  EXPECT_EQ(dialog->session()->viewCount(), 0);
  EXPECT_EQ(dialog->bar(CCalibrateDlg::kLeftRight)->value(), 0);
  EXPECT_FALSE(dialog->saveButton()->isEnabled());

  // ChArUco: the scene's board by default; a marker as wide as its square is no board, and the line says why.
  dialog->kindBox()->setCurrentIndex(1);
  ASSERT_TRUE(dialog->board().has_value());
  EXPECT_EQ(BoardLayoutText(*dialog->board()), "charuco:7x5:0.03:0.022:4X4_50");
  EXPECT_TRUE(dialog->markerBox()->isEnabled());
  dialog->markerBox()->setValue(30.0);
  EXPECT_FALSE(dialog->board().has_value());
  EXPECT_EQ(dialog->session(), nullptr);
  EXPECT_TRUE(dialog->resultLabel()->text().contains("0.03")) << dialog->resultLabel()->text().toStdString();

  // The next start in this folder uses the saved calibration.
  app_.reset();
  start("synthetic");
  EXPECT_TRUE(view->StatusText().contains("calibrated: Data/camera_param.yml")) << view->StatusText().toStdString();
  EXPECT_EQ(answers.texts.size(), 1);
}

// quorl --calibration with a file that is no calibration: reported with its path and reason, and Quorl goes on with
// the camera file. A good one is taken (the status line names it) until a camera file is loaded.
TEST_F(QuorlGui, CalibrationOptionReportsABadFileAndGoesOn) {
  ReportRecorder reports;
  QTemporaryDir dir;
  const QString bad = dir.filePath("bad.yml");
  QFile file(bad);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("%YAML:1.0\nnothing: 1\n");
  file.close();
  start("synthetic", kCameraFile, {}, bad.toStdString());
  ASSERT_EQ(reports.texts, QStringList{kMsgCannotUseCalibration});
  EXPECT_TRUE(reports.details[0].startsWith(bad + ": ")) << reports.details[0].toStdString();
  EXPECT_TRUE(view->ticking());
  EXPECT_FALSE(view->state().calibration.has_value());
  EXPECT_FALSE(view->StatusText().contains("calibrated")) << view->StatusText().toStdString();
  EXPECT_FALSE(view->StatusText().contains(kNoCalibrationStatus));

  const QString good = dir.filePath("good.yml");
  QFile goodFile(good);
  ASSERT_TRUE(goodFile.open(QIODevice::WriteOnly));
  goodFile.write("%YAML:1.0\nimage_width: 640\nimage_height: 480\ncamera_matrix: !!opencv-matrix\n  rows: 3\n"
                 "  cols: 3\n  dt: d\n  data: [ 600., 0., 330., 0., 600., 235., 0., 0., 1. ]\n");
  goodFile.close();
  EXPECT_TRUE(view->UseCalibration(good));
  EXPECT_EQ(reports.texts.size(), 1);
  ASSERT_TRUE(view->state().calibration.has_value());
  EXPECT_NEAR(view->state().camera.cameraParams.mat[0][0], 300.0, 1e-9);  // rescaled to 320 wide
  EXPECT_TRUE(view->StatusText().contains("calibrated: " + good)) << view->StatusText().toStdString();
  QTest::qWait(100);
  ASSERT_NE(view->state().lens, nullptr);
  EXPECT_EQ(view->state().lens->size(), cv::Size(320, 240));
  // A session recorded now carries the calibration in use.
  ASSERT_TRUE(view->StartRecording(dir.filePath("session")));
  view->StopRecording();
  EXPECT_TRUE(QFileInfo::exists(dir.filePath("session/good.yml")));
  EXPECT_EQ(reports.texts.size(), 1) << reports.details.join("; ").toStdString();
  EXPECT_TRUE(view->LoadCameraParams(QString::fromStdString(kCameraFile)));
  EXPECT_FALSE(view->state().calibration.has_value());
  EXPECT_FALSE(view->StatusText().contains("calibrated"));
}

TEST_F(QuorlGui, DISABLED_WriteCalibrateScreenshots) {
  const QString dir = qEnvironmentVariable("QUORL_SCREENSHOT_DIR");
  ASSERT_FALSE(dir.isEmpty()) << "set QUORL_SCREENSHOT_DIR";
  start("board");
  CCalibrateDlg* dialog = openCalibration(frame);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->session() != nullptr && dialog->session()->viewCount() >= 6; }, 60000));
  EXPECT_FALSE(dialog->OnCalibrate());
  QTest::qWait(200);
  EXPECT_TRUE(dialog->grab().save(dir + "/calibrate.png"));
}

}  // namespace
}  // namespace quorl
