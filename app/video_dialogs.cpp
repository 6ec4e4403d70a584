#include "app/video_dialogs.h"

#include <algorithm>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>

#include "app/frame_grabber.h"
#include "app/report.h"
#include "capture/open_source.h"
#include "capture/synthetic_scene.h"
#include "capture/v4l2_devices.h"

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

CVideoFormatDlg::CVideoFormatDlg(const FrameSource& source, const std::string& spec, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Video Format"));
  std::string error;
  const std::optional<SourceSpec> parsed = ParseSourceSpec(spec, error);
  std::vector<PixelFormat> formats;
  if (parsed && parsed->kind == SourceSpec::Kind::kCamera) {
    ListDeviceFormats("/dev/video" + std::to_string(parsed->cameraIndex), formats, error);
  }
  // For a camera: every size any pixel format offers, with what each format offers at that size.
  for (const PixelFormat& format : formats) {
    for (const DeviceFrameSize& size : format.sizes) {
      const cv::Size s(size.width, size.height);
      auto at = std::find(choices_.begin(), choices_.end(), s);
      if (at == choices_.end()) {
        choices_.push_back(s);
        details_.emplace_back();
        at = choices_.end() - 1;
      }
      QStringList rates;
      for (const FrameInterval& interval : size.intervals) {
        const double fps = FramesPerSecond(interval);
        if (fps > 0.0) rates << QString::number(fps, 'g', 4);
      }
      QString& line = details_[static_cast<std::size_t>(at - choices_.begin())];
      line += QStringLiteral("%1%2 (%3)%4").arg(line.isEmpty() ? QString() : QStringLiteral("\n"),
                                                QString::fromStdString(format.code),
                                                QString::fromStdString(format.description),
                                                rates.isEmpty() ? QString() : QStringLiteral(": ") + rates.join(", ") + " fps");
    }
  }
  if (choices_.empty()) choices_ = CommonFrameSizes();
  details_.resize(choices_.size());
  const cv::Size current(source.width(), source.height());
  if (std::find(choices_.begin(), choices_.end(), current) == choices_.end()) {
    choices_.push_back(current);
    details_.emplace_back();
  }
  // Smallest first, as the sizes are usually listed.
  std::vector<std::size_t> order(choices_.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return choices_[a].area() < choices_[b].area();
  });
  std::vector<cv::Size> sortedSizes;
  std::vector<QString> sortedDetails;
  for (std::size_t k : order) {
    sortedSizes.push_back(choices_[k]);
    sortedDetails.push_back(details_[k]);
  }
  choices_ = std::move(sortedSizes);
  details_ = std::move(sortedDetails);

  sizes_ = new QComboBox(this);
  for (const cv::Size& c : choices_) {
    sizes_->addItem(sizeText(c));
    if (c == current) sizes_->setCurrentIndex(sizes_->count() - 1);
  }
  details_label_ = new QLabel(this);
  connect(sizes_, &QComboBox::currentIndexChanged, this, &CVideoFormatDlg::showDetails);
  showDetails(sizes_->currentIndex());
  auto* form = new QFormLayout(this);
  form->addRow(new QLabel(QString::fromStdString(source.description()), this));
  form->addRow(QStringLiteral("Frame size:"), sizes_);
  if (!formats.empty()) form->addRow(QStringLiteral("Offered as:"), details_label_);
  form->addRow(okCancel(this));
}

void CVideoFormatDlg::showDetails(int index) {
  if (index >= 0 && static_cast<std::size_t>(index) < details_.size()) {
    details_label_->setText(details_[static_cast<std::size_t>(index)]);
  }
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
  for (const VideoDevice& device : ListVideoDevices()) {
    add(QStringLiteral("Camera %1: %2 (%3)")
            .arg(device.index)
            .arg(QString::fromStdString(device.name), QString::fromStdString(device.path)),
        "camera:" + std::to_string(device.index));
  }
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
  CVideoFormatDlg dialog(*source_, spec_, parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  const cv::Size size = dialog.selected();
  if (!SetFormat(size.width, size.height)) {
    ShowReport(parent, QStringLiteral("The source cannot deliver %1 frames.").arg(sizeText(size)));
    return 0;
  }
  // A camera delivers the nearest size it offers, which need not be the one chosen.
  const cv::Size delivered(FrameWidth(), FrameHeight());
  if (delivered != size) {
    ShowReport(parent, QStringLiteral("The source delivers %1 frames instead of %2.").arg(sizeText(delivered), sizeText(size)));
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
