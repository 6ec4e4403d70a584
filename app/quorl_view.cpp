#include "app/quorl_view.h"

#include "app/publish_dlg.h"
#include "stream/pose_message.h"

#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QTimerEvent>
#include <qopengl.h>
#include <cstdio>
#include <cstring>

#include "app/data_paths.h"
#include "app/option_dlg.h"
#include "qtcommon/message.h"
#include "camera/camera_setup.h"
#include "library/picture_library.h"

namespace quorl {

namespace {

// Clicked corners are marked on the frozen picture with a red cross of this half-length in pixels.
constexpr int kClickMarkArm = 6;

const char* const kCornerNames[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};

void markPixel(DibImage& picture, int x, int y) {
  if (x < 0 || y < 0 || x >= picture.width() || y >= picture.height()) return;
  uint8_t* p = picture.rows24()[y] + 3 * x;
  p[0] = 0;
  p[1] = 0;
  p[2] = 255;
}

}  // namespace

QImage DibToImage(const DibImage& picture) {
  if (picture.empty() || picture.rows24() == nullptr) return QImage();
  QImage image(picture.width(), picture.height(), QImage::Format_BGR888);
  const std::size_t rowBytes = static_cast<std::size_t>(picture.width()) * 3;
  for (int y = 0; y < picture.height(); ++y) std::memcpy(image.scanLine(y), picture.rows24()[y], rowBytes);
  return image;
}

CQuorlView::CQuorlView(COptionDlg& options, QWidget* parent) : QOpenGLWidget(parent), options_(options) {
  setFocusPolicy(Qt::ClickFocus);
  // No alpha in the widget's image: the background is drawn with alpha 0 and must still cover the window.
  setTextureFormat(GL_RGB8);
}

CQuorlView::~CQuorlView() {
  // The base class destroys the context later; by then this part of the object is gone.
  if (context() != nullptr) disconnect(context(), nullptr, this, nullptr);
  releaseGl();
  // A recording still running is finished; no window is left to report to.
  std::string error;
  if (recorder_ != nullptr && !recorder_->Finish(error)) std::fprintf(stderr, "quorl: %s: %s\n", kMsgCannotRecord, error.c_str());
  grabber_.Destroy();
}

void CQuorlView::OnInitialUpdate(const ViewOptions& options) {
  std::string error;
  grabber_.SetScenePictures(options.pictures);
  if (grabber_.Open(options.source, error)) {
    sourceText_ = grabber_.source()->description();
  } else {
    sourceText_ = "no video source" + (error.empty() ? std::string() : " (" + error + ")");
    std::fprintf(stderr, "quorl: %s\n", sourceText_.c_str());
  }
  int w = kNoCaptureWidth, h = kNoCaptureHeight;
  if (grabber_.HasSource()) {
    w = grabber_.FrameWidth();
    h = grabber_.FrameHeight();
    startTick();
  }
  frameSize_ = QSize(w, h);
  setFixedSize(frameSize_);
  state_.robustMode = options.robust;
  const std::string cameraPath = CameraParamPath(QString::fromStdString(options.cameraParams)).toStdString();
  if (loadCamera(state_, cameraPath, w, h, *this)) cameraPath_ = cameraPath;
  initialise(state_, w, h);
  const QString calibration = !options.calibration.empty() ? QFile::decodeName(options.calibration.c_str())
                              : QFileInfo::exists(QString::fromLatin1(kSavedCalibrationPath))
                                  ? QString::fromLatin1(kSavedCalibrationPath)
                                  : QString();
  if (!calibration.isEmpty()) UseCalibration(calibration);
  AddTargetPictures(options.pictures);
  publishOrigins_ = options.publishOrigins;
  if (options.publishPort > 0) StartPublishing(options.publishPort, options.publishHost);
  emit captureChanged(HasCapture());
  emit frameSizeChanged(frameSize_);
  publishStatus();
}

void CQuorlView::ApplyFrameSize() {
  const QSize size(grabber_.FrameWidth(), grabber_.FrameHeight());
  if (size.isEmpty() || size == frameSize_) return;
  frameSize_ = size;
  setFixedSize(frameSize_);
  // The calibration is rescaled to the new size now, for the view (the frame loop would with the next frame); the
  // registered model stays. The pictures and the texture follow with the next frame.
  setCameraParams(state_.camera.cameraParams, size.width(), size.height(), state_.camera);
  if (grabber_.source() != nullptr) sourceText_ = grabber_.source()->description();
  emit frameSizeChanged(frameSize_);
  update();
}

void CQuorlView::OnVideoFormat() {
  if (!HasCapture()) return;
  grabber_.VideoFormatDialog(this);
  ApplyFrameSize();
  publishStatus();
}

void CQuorlView::OnVideoSource() {
  const bool had = HasCapture();
  if (grabber_.VideoSourceDialog(this) == 0) return;
  if (grabber_.source() != nullptr) sourceText_ = grabber_.source()->description();
  if (HasCapture() != had) emit captureChanged(HasCapture());
  if (HasCapture() && !ticking() && state_.clickMode == 0) startTick();
  ApplyFrameSize();
  publishStatus();
}

void CQuorlView::OnRegisterFrame() {
  beginRegistration(state_, *this);
  // The clicks are marked on the frozen frame without the detection marks or the outline.
  state_.display = state_.frame;
  update();
  publishStatus();
}

void CQuorlView::OnCopyFrame() {
  const QImage image = DibToImage(state_.frame);
  if (image.isNull()) return;
  QGuiApplication::clipboard()->setImage(image);
}

bool CQuorlView::SaveFrame(const QString& path) {
  const QImage image = DibToImage(state_.frame);
  if (image.isNull()) return false;
  const QString suffix = QFileInfo(path).suffix();
  return image.save(path, suffix.isEmpty() ? "PNG" : nullptr);
}

void CQuorlView::OnSaveFrameAs() {
  if (state_.frame.empty()) return;
  QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Frame As"), QStringLiteral("frame.png"),
                                              QStringLiteral("PNG images (*.png);;All files (*)"));
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".png");
  if (!SaveFrame(path)) ShowMessage(this, QStringLiteral("Can't save the frame to %1!!!").arg(path));
}

void CQuorlView::OnAddTargetPictures() {
  const QStringList files = QFileDialog::getOpenFileNames(
      this, QStringLiteral("Add Target Picture"), QString(),
      QStringLiteral("Pictures (*.png *.jpg *.jpeg *.bmp *.tif *.tiff *.webp *.ppm *.pgm);;All files (*)"));
  std::vector<std::string> paths;
  for (const QString& file : files) paths.push_back(QFile::encodeName(file).toStdString());
  AddTargetPictures(paths);
}

int CQuorlView::AddTargetPictures(const std::vector<std::string>& paths) {
  int added = 0;
  for (const std::string& path : paths) {
    std::string error;
    const PictureTarget* target = addPictureFile(state_, path, 0.0, settings().cornerType + 9, error);
    if (target == nullptr) {
      report(kMsgBadTargetPicture, error);
      continue;
    }
    ++added;
    pictureFiles_.push_back(SessionPicture{target->name, path, 0.0});
    std::string recordError;
    if (recorder_ != nullptr && !recorder_->AddPicture(path, target->name, 0.0, recordError)) finishRecording(recordError);
    if (target->trackability.poor()) report(kPoorPictureWarning, target->name + " (" + path + ")");
  }
  update();
  publishStatus();
  return added;
}

void CQuorlView::OnOpenPictureLibrary() {
  const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Open Picture Library"), QString(),
                                                    QStringLiteral("Picture libraries (*.qlib);;All files (*)"));
  if (!file.isEmpty()) OpenPictureLibrary(QFile::encodeName(file).toStdString());
}

int CQuorlView::OpenPictureLibrary(const std::string& path) {
  const std::size_t before = state_.pictures.targets().size();
  std::string error;
  if (!AddPictureLibrary(state_.pictures, path, error)) {
    report(kMsgBadPictureLibrary, error);
    return 0;
  }
  std::string poor;
  for (std::size_t i = before; i < state_.pictures.targets().size(); ++i)
    if (state_.pictures.targets()[i].trackability.poor()) poor += (poor.empty() ? "" : ", ") + state_.pictures.targets()[i].name;
  if (!poor.empty()) report(kPoorPictureWarning, poor + " (" + path + ")");
  update();
  publishStatus();
  return static_cast<int>(state_.pictures.targets().size() - before);
}

void CQuorlView::OnRemoveTargetPictures() {
  state_.pictures.Clear();
  pictureFiles_.clear();
  update();
  publishStatus();
}

void CQuorlView::OnPublishPoses() {
  CPublishDlg dialog(publisher_ != nullptr, publishPort_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  if (!dialog.on()) {
    StopPublishing();
  } else if (publisher_ == nullptr || dialog.port() != publishPort_) {
    StartPublishing(dialog.port(), publishHost_);
  }
}

bool CQuorlView::StartPublishing(int port, const std::string& host) {
  auto server = std::make_unique<PoseServer>(publishOrigins_);
  std::string error;
  if (!server->Listen(host, port, error)) {
    report(kMsgCannotPublish, error);
    return false;
  }
  publisher_ = std::move(server);
  publishPort_ = port;
  publishHost_ = host;
  publishStatus();
  return true;
}

void CQuorlView::StopPublishing() {
  publisher_.reset();
  publishStatus();
}

void CQuorlView::OnRecordSession() {
  if (recorder_ != nullptr) {
    StopRecording();
    return;
  }
  const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Record Session"));
  if (!dir.isEmpty()) StartRecording(dir);
}

bool CQuorlView::StartRecording(const QString& dir) {
  if (recorder_ != nullptr) StopRecording();
  auto writer = std::make_unique<SessionWriter>();
  std::string error;
  bool ready = writer->Open(QFile::encodeName(dir).toStdString(), "quorl", error);
  if (ready) {
    writer->SetSource(sourceText_, grabber_.source() != nullptr ? grabber_.source()->frameRate() : 0.0);
    // A replay registers after one tick on the registration frame, as the frame frozen here had one.
    writer->SetOptions(
        EngineOptions{settings().cornerType, settings().barrier, 1, state_.robustMode, state_.robust.stages});
    if (!calibrationPath_.isEmpty())
      ready = writer->AddCalibration(QFile::encodeName(calibrationPath_).toStdString(), error);
    else if (hasCalibration(state_.camera) && !cameraPath_.empty())
      ready = writer->AddCameraParams(cameraPath_, error);
    for (const SessionPicture& picture : pictureFiles_)
      ready = ready && writer->AddPicture(picture.file, picture.name, picture.width, error);
  }
  if (!ready) {
    report(kMsgCannotRecord, error);
    return false;
  }
  recorder_ = std::move(writer);
  emit recordingChanged(true);
  publishStatus();
  return true;
}

void CQuorlView::StopRecording() { finishRecording(std::string()); }

void CQuorlView::finishRecording(const std::string& problem) {
  if (recorder_ == nullptr) return;
  // Taken first: the message box below runs ticks of its own.
  const std::unique_ptr<SessionWriter> writer = std::move(recorder_);
  std::string error;
  const bool finished = writer->Finish(error);
  const QString dir = QFile::decodeName(writer->dir().c_str());
  recordedNote_ = finished ? QStringLiteral("session written to %1 (%2 frames)").arg(dir).arg(writer->frames())
                           : QStringLiteral("recording into %1 failed").arg(dir);
  emit recordingChanged(false);
  publishStatus();
  if (!finished || !problem.empty()) report(kMsgCannotRecord, finished ? problem : error);
}

void CQuorlView::OnLoadCameraParams() {
  const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load Camera Parameters"), QString(),
                                                    QStringLiteral("Camera Parameter files (*.dat);;All files (*)"));
  if (!path.isEmpty()) LoadCameraParams(path);
}

bool CQuorlView::LoadCameraParams(const QString& path) {
  const std::string file = QFile::encodeName(path).toStdString();
  const bool loaded = loadCamera(state_, file, frameSize_.width(), frameSize_.height(), *this);
  if (loaded) {
    cameraPath_ = file;
    state_.calibration.reset();
    state_.lens.reset();
    calibrationPath_.clear();
  }
  update();
  publishStatus();
  return loaded;
}

bool CQuorlView::UseCalibration(const QString& path) {
  const std::string file = QFile::encodeName(path).toStdString();
  std::string error;
  const std::optional<CameraLens> lens = LoadCalibrationFile(file, error);
  if (!lens || !setCalibration(state_, *lens)) {
    report(kMsgCannotUseCalibration, lens ? file + ": " + kUnusableCameraReason : error);
    return false;
  }
  calibrationPath_ = path;
  update();
  publishStatus();
  return true;
}

bool CQuorlView::grabFrame(const uint8_t*& packed, std::size_t& byteCount) {
  packed = grabber_.GetFrame(byteCount);
  return packed != nullptr;
}

void CQuorlView::startTick() { tick_.start(kTickPeriodMs, Qt::PreciseTimer, this); }
void CQuorlView::stopTick() { tick_.stop(); }
void CQuorlView::requestRepaint() {
  update();
  emit frameProcessed();
}
TrackerSettings& CQuorlView::settings() { return options_.settings(); }

void CQuorlView::refreshSettingsDisplay() {
  options_.setInlierCount(state_.robustMode ? state_.robust.stats.inliers
                                            : static_cast<int>(state_.model.inlierMap.size()));
  options_.UpdateData(false);
}

void CQuorlView::report(const std::string& text, const std::string& detail) {
  ShowMessage(this, QString::fromStdString(text), QString::fromStdString(detail));
}

void CQuorlView::timerEvent(QTimerEvent* event) {
  if (event->timerId() != tick_.timerId()) {
    QOpenGLWidget::timerEvent(event);
    return;
  }
  OnTick();
}

void CQuorlView::OnTick() {
  if (!HasCapture()) return;
  bool processed = false;
  guarded([&] { processed = tick(state_, *this); });
  std::string recordError;
  if (processed && recorder_ != nullptr &&
      !recorder_->AddFrame(state_.frame.dib(), static_cast<std::size_t>(state_.frame.dibSize()), *grabber_.source(),
                           recordError))
    finishRecording(recordError);
  if (publisher_ != nullptr) {
    publisher_->Publish(PoseMessage(publishedFrames_++, MonotonicSeconds(), state_.frame.width(),
                                    state_.frame.height(), reportFrame(state_, settings())));
  }
  // A stopped source leaves its last frame in place, but nothing is tracked in it any more.
  if (grabber_.SourceStopped() && state_.modelActive != 0) {
    state_.modelActive = 0;
    state_.display = state_.frame;
  }
  // A camera may start delivering another size than it announced.
  if (grabber_.FrameWidth() != frameSize_.width() || grabber_.FrameHeight() != frameSize_.height()) {
    ApplyFrameSize();
  }
  update();
  publishStatus();
}

void CQuorlView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || state_.clickMode != 1 || width() <= 0 || height() <= 0) {
    QOpenGLWidget::mousePressEvent(event);
    return;
  }
  // Widget pixels to frame pixels: equal at the normal fixed size, scaled otherwise.
  const QPointF p = event->position();
  const int x = static_cast<int>(p.x() * state_.frame.width() / width());
  const int y = static_cast<int>(p.y() * state_.frame.height() / height());
  guarded([&] { addClick(state_, x, y, *this); });
  // The fourth click registered the target on the frozen frame, the last one recorded.
  if (state_.clickMode == 0 && state_.model.isRegistered() && recorder_ != nullptr && recorder_->frames() > 0)
    recorder_->AddRegistration(recorder_->frames() - 1, state_.clicks);
  if (state_.clickMode == 1) markClicks();
  update();
  publishStatus();
}

void CQuorlView::guarded(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    // The box runs its own event loop: no ticks meanwhile, so that a recurring error asks once.
    stopTick();
    recoverFromError(state_);
    report(kMsgTrackingError, e.what());
    if (HasCapture()) startTick();
  }
}

void CQuorlView::markClicks() {
  for (int i = 0; i < state_.clickCount; ++i) {
    const CornerPoint c = state_.clicks.pt[i];
    for (int d = -kClickMarkArm; d <= kClickMarkArm; ++d) {
      markPixel(state_.display, c.x + d, c.y);
      markPixel(state_.display, c.x, c.y + d);
    }
  }
}

void CQuorlView::SetRobustTracking(bool on) {
  setRobustMode(state_, on);
  publishStatus();
}

QString CQuorlView::StatusText() const {
  const QString separator = QStringLiteral("  |  ");
  QString text = trackingStatus();
  if (!state_.pictures.empty())
    text += QStringLiteral("  |  %1 of %2 pictures found")
                .arg(state_.pictures.found())
                .arg(state_.pictures.targets().size());
  if (publisher_ != nullptr) {
    text += QStringLiteral("  |  publishing poses on port %1%2: %3 clients")
                .arg(publishPort_)
                .arg(publishHost_ == "127.0.0.1" ? QString() : QStringLiteral(" of ") + QString::fromStdString(publishHost_))
                .arg(publisher_->clients());
  }
  if (recorder_ != nullptr)
    text += separator + QStringLiteral("recording to %1: %2 frames")
                            .arg(QFile::decodeName(recorder_->dir().c_str()))
                            .arg(recorder_->frames());
  else if (!recordedNote_.isEmpty())
    text += separator + recordedNote_;
  if (!hasCalibration(state_.camera)) text += separator + QString::fromLatin1(kNoCalibrationStatus);
  else if (!calibrationPath_.isEmpty()) text += separator + QStringLiteral("calibrated: ") + calibrationPath_;
  return text + separator + QString::fromStdString(sourceText_);
}

QString CQuorlView::trackingStatus() const {
  if (state_.clickMode == 1) {
    return QStringLiteral("Clicking: click the %1 corner (%2 of 4), clockwise")
        .arg(QString::fromLatin1(kCornerNames[state_.clickCount]))
        .arg(state_.clickCount + 1);
  }
  if (!HasCapture()) return QStringLiteral("No capture");
  if (grabber_.SourceStopped()) {
    return QStringLiteral("Stopped: %1 delivers no frames; capture resumes when it does")
        .arg(QString::fromStdString(grabber_.source()->name()));
  }
  const QString mode = state_.robustMode ? QStringLiteral(" (robust)") : QString();
  if (!state_.model.isRegistered()) return QStringLiteral("Detecting") + mode;
  QString text;
  switch (state_.trackingState) {
    case TrackingState::Detecting:
      text = QStringLiteral("Registered");
      break;
    case TrackingState::Tracking:
      text = QStringLiteral("Tracking");
      break;
    case TrackingState::Holding:
      text = QStringLiteral("Holding");
      break;
    case TrackingState::Lost:
      text = QStringLiteral("Lost");
      break;
  }
  text += mode;
  const int points = static_cast<int>(state_.model.modelKeypoints.size());
  text += QStringLiteral("  |  %1 model points").arg(points);
  if (points < kFewModelPoints) text += QStringLiteral(" (too few to track well: register a more textured rectangle)");
  return text;
}

void CQuorlView::publishStatus() {
  const QString text = StatusText();
  if (text == lastStatus_) return;
  lastStatus_ = text;
  emit statusChanged(text);
}

void CQuorlView::initializeGL() {
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &CQuorlView::releaseGl, Qt::DirectConnection);
  const qreal ratio = devicePixelRatioF();
  SetupRendering(gl_, frameSize_.width(), frameSize_.height(), qRound(width() * ratio), qRound(height() * ratio),
                 state_.camera.projection);
}

void CQuorlView::paintGL() {
  // The viewport covers the widget in device pixels, so a high-density screen shows the frame scaled up.
  const qreal ratio = devicePixelRatioF();
  glViewport(0, 0, qRound(width() * ratio), qRound(height() * ratio));
  std::vector<std::array<double, 16>> pictures;
  for (const PictureTarget& t : state_.pictures.targets())
    if (IsShown(t.state)) pictures.push_back(t.pose.modelview);
  RenderFrame(gl_, state_.frame, state_.display, state_.modelActive, state_.camera.projection,
              state_.pose.modelview, pictures);
}

void CQuorlView::releaseGl() {
  if (gl_.backgroundTexture == 0 || context() == nullptr) return;
  makeCurrent();
  ReleaseBackgroundTexture(gl_);
  doneCurrent();
}

}  // namespace quorl
