#include "app/main_frame.h"

#include <QAction>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>

#include "app/calibrate_dlg.h"
#include "app/commands.h"
#include "app/quorl_view.h"

namespace quorl {

namespace {

// A one-line label that shortens its text to fit its width, dropping the end (the status line starts with what matters:
// the tracking state and what is wrong); the tooltip holds it whole.
class ElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;
  void setFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    elide();
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    elide();
  }

 private:
  void elide() { setText(fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width())); }

  QString full_;
};

}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QString::fromLatin1(kMainTitle));
  options_ = new COptionDlg(this);
  // The view sits centred in a frame that may be wider than the picture (see frameSizeChanged below).
  auto* centre = new QWidget(this);
  view_ = new CQuorlView(*options_, centre);
  auto* centring = new QGridLayout(centre);
  centring->setContentsMargins(0, 0, 0, 0);
  centring->addWidget(view_, 0, 0, Qt::AlignCenter);
  setCentralWidget(centre);

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  addCommand(file, ID_EDIT_COPY, QStringLiteral("&Copy Frame"), QKeySequence(Qt::CTRL | Qt::Key_C));
  addCommand(file, ID_SAVE_FRAME_AS, QStringLiteral("&Save Frame As..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  addCommand(file, ID_RECORD_SESSION, QString::fromLatin1(kRecordSessionText), QKeySequence());
  file->addSeparator();
  addCommand(file, ID_LOAD_CAMERA_PARAMS, QStringLiteral("&Load Camera Parameters..."), QKeySequence());
  addCommand(file, ID_ADD_TARGET_PICTURES, QStringLiteral("Add Target Picture..."), QKeySequence());
  addCommand(file, ID_OPEN_PICTURE_LIBRARY, QStringLiteral("Open Picture Library..."), QKeySequence());
  file->addSeparator();
  addCommand(file, ID_APP_EXIT, QStringLiteral("E&xit"), QKeySequence(Qt::CTRL | Qt::Key_X));
  action(ID_APP_EXIT)->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::CTRL | Qt::Key_Q)});
  QMenu* matching = menuBar()->addMenu(QStringLiteral("&Matching"));
  addCommand(matching, ID_REGISTER_FRAME, QStringLiteral("Register Frame"), QKeySequence(Qt::CTRL | Qt::Key_R));
  addCommand(matching, ID_ROBUST_TRACKING, QStringLiteral("Robust Tracking"), QKeySequence())->setCheckable(true);
  addCommand(matching, ID_REMOVE_TARGET_PICTURES, QStringLiteral("Remove Target Pictures"), QKeySequence());
  QMenu* config = menuBar()->addMenu(QStringLiteral("&Configurations"));
  addCommand(config, ID_VIDEO_FORMAT, QStringLiteral("Video &Format..."), QKeySequence(Qt::CTRL | Qt::Key_F));
  addCommand(config, ID_VIDEO_SOURCE, QStringLiteral("Video &Source..."), QKeySequence(Qt::CTRL | Qt::Key_S));
  addCommand(config, ID_CALIBRATE_CAMERA, QStringLiteral("&Calibrate Camera..."), QKeySequence());
  config->addSeparator();
  addCommand(config, ID_PUBLISH_POSES, QStringLiteral("Publish Poses..."), QKeySequence());
  addCommand(config, ID_OPTIONS, QStringLiteral("&Options..."), QKeySequence());
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  addCommand(help, ID_APP_ABOUT, QStringLiteral("&About Quorl..."), QKeySequence(Qt::CTRL | Qt::Key_H));

  // The view takes the commands on the picture; the application shows About; the frame does the rest.
  connect(action(ID_EDIT_COPY), &QAction::triggered, view_, &CQuorlView::OnCopyFrame);
  connect(action(ID_SAVE_FRAME_AS), &QAction::triggered, view_, &CQuorlView::OnSaveFrameAs);
  connect(action(ID_LOAD_CAMERA_PARAMS), &QAction::triggered, view_, &CQuorlView::OnLoadCameraParams);
  connect(action(ID_ADD_TARGET_PICTURES), &QAction::triggered, view_, &CQuorlView::OnAddTargetPictures);
  connect(action(ID_OPEN_PICTURE_LIBRARY), &QAction::triggered, view_, &CQuorlView::OnOpenPictureLibrary);
  connect(action(ID_REMOVE_TARGET_PICTURES), &QAction::triggered, view_, &CQuorlView::OnRemoveTargetPictures);
  connect(action(ID_PUBLISH_POSES), &QAction::triggered, view_, &CQuorlView::OnPublishPoses);
  connect(action(ID_RECORD_SESSION), &QAction::triggered, view_, &CQuorlView::OnRecordSession);
  connect(view_, &CQuorlView::recordingChanged, this, [this](bool recording) {
    action(ID_RECORD_SESSION)->setText(QString::fromLatin1(recording ? kStopRecordingText : kRecordSessionText));
  });
  connect(action(ID_APP_EXIT), &QAction::triggered, this, &QWidget::close);
  connect(action(ID_REGISTER_FRAME), &QAction::triggered, view_, &CQuorlView::OnRegisterFrame);
  connect(action(ID_VIDEO_FORMAT), &QAction::triggered, view_, &CQuorlView::OnVideoFormat);
  connect(action(ID_VIDEO_SOURCE), &QAction::triggered, view_, &CQuorlView::OnVideoSource);
  connect(action(ID_ROBUST_TRACKING), &QAction::toggled, view_, &CQuorlView::SetRobustTracking);
  connect(action(ID_OPTIONS), &QAction::triggered, this, [this] { ShowOptions(true); });
  // One Calibrate Camera dialog, a child of the frame, made when first asked for.
  connect(action(ID_CALIBRATE_CAMERA), &QAction::triggered, this, [this] {
    auto* dialog = findChild<CCalibrateDlg*>();
    if (dialog == nullptr) dialog = new CCalibrateDlg(*view_, this);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
  });
  connect(action(ID_APP_ABOUT), &QAction::triggered, this, &CMainFrame::aboutRequested);

  // Video Format needs a connected source; Video Source stays available as the way to connect one.
  action(ID_VIDEO_FORMAT)->setEnabled(false);
  connect(view_, &CQuorlView::captureChanged, action(ID_VIDEO_FORMAT), &QAction::setEnabled);

  auto* status = new ElidedLabel(this);
  status_ = status;
  // The status text never widens the window beyond the view.
  status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar()->addWidget(status_, 1);
  statusBar()->setSizeGripEnabled(false);
  connect(view_, &CQuorlView::statusChanged, status, &ElidedLabel::setFullText);

  // No resizing by dragging: the window fits the view, which has the frame's size, and is at least as
  // wide as every menu title, so that a small frame hides none of them.
  connect(view_, &CQuorlView::frameSizeChanged, this, [this, centre] {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    centre->setMinimumWidth(menuBar()->sizeHint().width());
    adjustSize();
    setFixedSize(sizeHint());
  });
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::addCommand(QMenu* menu, int id, const QString& text, const QKeySequence& shortcut) {
  QAction* a = menu->addAction(text);
  a->setData(id);
  a->setShortcut(shortcut);
  actions_.insert(id, a);
  return a;
}

void CMainFrame::ShowOptions(bool activate) {
  if (!options_->isVisible()) {
    const QRect frame = frameGeometry();
    options_->move(frame.right() + 8, frame.top());
  }
  options_->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
  options_->show();
  options_->raise();
  if (activate) options_->activateWindow();
}

}  // namespace quorl
