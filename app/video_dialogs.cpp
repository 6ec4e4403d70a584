#include "app/video_dialogs.h"

#include <algorithm>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>

#include "app/frame_grabber.h"
#include "app/report.h"
#include "capture/synthetic_scene.h"

namespace quorl {

namespace {

QString sizeText(const cv::Size& s) { return QStringLiteral("%1 x %2").arg(s.width).arg(s.height); }

QDialogButtonBox* okCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

constexpr const char* kVideoFileEntry = "Video file...";

}  // namespace

CVideoFormatDlg::CVideoFormatDlg(const FrameSource& source, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Video Format"));
  choices_ = CommonFrameSizes();
  const cv::Size current(source.width(), source.height());
  auto same = [&](const cv::Size& c) { return c == current; };
  if (std::find_if(choices_.begin(), choices_.end(), same) == choices_.end()) choices_.push_back(current);
  sizes_ = new QComboBox(this);
  for (const cv::Size& c : choices_) {
    sizes_->addItem(sizeText(c));
    if (same(c)) sizes_->setCurrentIndex(sizes_->count() - 1);
  }
  auto* form = new QFormLayout(this);
  form->addRow(new QLabel(QString::fromStdString(source.description()), this));
  form->addRow(QStringLiteral("Frame size:"), sizes_);
  form->addRow(okCancel(this));
}

cv::Size CVideoFormatDlg::selected() const { return choices_.at(static_cast<std::size_t>(sizes_->currentIndex())); }

CVideoSourceDlg::CVideoSourceDlg(const std::string& current, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Video Source"));
  sources_ = new QComboBox(this);
  auto add = [&](const QString& text, const std::string& spec) {
    sources_->addItem(text);
    specs_.push_back(spec);
    if (!spec.empty() && spec == current) sources_->setCurrentIndex(sources_->count() - 1);
  };
  for (MotionProfile p : {MotionProfile::kOrbit, MotionProfile::kZoom, MotionProfile::kSpin, MotionProfile::kShake,
                          MotionProfile::kOcclude, MotionProfile::kLeave}) {
    const std::string name = MotionProfileName(p);
    add(QStringLiteral("Synthetic scene: %1").arg(QString::fromStdString(name)), "synthetic:" + name);
  }
  add(QString::fromLatin1(kVideoFileEntry), std::string());
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Source:"), sources_);
  form->addRow(okCancel(this));
}

void CVideoSourceDlg::accept() {
  spec_ = specs_.at(static_cast<std::size_t>(sources_->currentIndex()));
  if (spec_.empty()) {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Video file"), QString(),
        QStringLiteral("Videos and images (*.avi *.mp4 *.mkv *.mov *.webm *.png *.jpg *.jpeg *.bmp);;All files (*)"));
    if (path.isEmpty()) return;
    spec_ = path.toStdString();
  }
  QDialog::accept();
}

int CFrameGrabber::VideoFormatDialog(QWidget* parent) {
  if (source_ == nullptr) return 0;
  CVideoFormatDlg dialog(*source_, parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  const cv::Size size = dialog.selected();
  if (!SetFormat(size.width, size.height)) {
    ShowReport(parent, QStringLiteral("The source cannot deliver %1 frames.").arg(sizeText(size)));
    return 0;
  }
  return 1;
}

int CFrameGrabber::VideoSourceDialog(QWidget* parent) {
  CVideoSourceDlg dialog(spec_, parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  std::string error;
  if (!Open(dialog.selectedSpec(), error)) {
    ShowReport(parent, QStringLiteral("Can't open the video source:\n%1").arg(QString::fromStdString(error)));
    return 0;
  }
  return 1;
}

}  // namespace quorl
