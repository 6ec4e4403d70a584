#include "app/video_dialogs.h"

#include <algorithm>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>

#include "app/frame_grabber.h"
#include "qtcommon/message.h"
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

// The size, in the sizes of a pixel format.
const DeviceFrameSize* findSize(const PixelFormat& format, const cv::Size& size) {
  for (const DeviceFrameSize& s : format.sizes)
    if (s.width == size.width && s.height == size.height) return &s;
  return nullptr;
}

CVideoFormatDlg::CVideoFormatDlg(const FrameSource& source, std::vector<PixelFormat> formats, QWidget* parent)
    : QDialog(parent), formats_(std::move(formats)) {
  setWindowTitle(QStringLiteral("Video Format"));
  for (const PixelFormat& format : formats_)
    for (const DeviceFrameSize& size : format.sizes) choices_.emplace_back(size.width, size.height);
  if (choices_.empty()) choices_ = CommonFrameSizes();
  const cv::Size current(source.width(), source.height());
  choices_.push_back(current);
  std::stable_sort(choices_.begin(), choices_.end(), [](const cv::Size& a, const cv::Size& b) {
    return a.area() != b.area() ? a.area() < b.area() : a.width < b.width;
  });
  choices_.erase(std::unique(choices_.begin(), choices_.end()), choices_.end());

  sizes_ = new QComboBox(this);
  for (const cv::Size& c : choices_) {
    sizes_->addItem(sizeText(c));
    if (c == current) sizes_->setCurrentIndex(sizes_->count() - 1);
  }
  pixelFormats_ = new QComboBox(this);
  rates_ = new QComboBox(this);
  connect(sizes_, &QComboBox::currentIndexChanged, this, &CVideoFormatDlg::listPixelFormats);
  connect(pixelFormats_, &QComboBox::currentIndexChanged, this, &CVideoFormatDlg::listRates);
  listPixelFormats();
  auto* form = new QFormLayout(this);
  form->addRow(new QLabel(QString::fromStdString(source.description()), this));
  form->addRow(QStringLiteral("Frame size:"), sizes_);
  if (!formats_.empty()) {
    form->addRow(QStringLiteral("Pixel format:"), pixelFormats_);
    form->addRow(QStringLiteral("Frame rate:"), rates_);
  } else {
    pixelFormats_->hide();
    rates_->hide();
  }
  form->addRow(okCancel(this));
}

void CVideoFormatDlg::listPixelFormats() {
  pixelFormats_->clear();
  const cv::Size size = selected();
  for (std::size_t k = 0; k < formats_.size(); ++k) {
    if (findSize(formats_[k], size) == nullptr) continue;
    pixelFormats_->addItem(QStringLiteral("%1 (%2)").arg(QString::fromStdString(formats_[k].code),
                                                         QString::fromStdString(formats_[k].description)),
                           static_cast<int>(k));
  }
  listRates();
}

void CVideoFormatDlg::listRates() {
  rates_->clear();
  const int k = pixelFormats_->currentData().isValid() ? pixelFormats_->currentData().toInt() : -1;
  if (k < 0) return;
  const DeviceFrameSize* size = findSize(formats_[static_cast<std::size_t>(k)], selected());
  if (size == nullptr) return;
  for (const FrameInterval& interval : size->intervals) {
    const double fps = FramesPerSecond(interval);
    if (fps > 0.0) rates_->addItem(QStringLiteral("%1 fps").arg(fps, 0, 'g', 4), fps);
  }
}

cv::Size CVideoFormatDlg::selected() const { return choices_.at(static_cast<std::size_t>(sizes_->currentIndex())); }

std::string CVideoFormatDlg::selectedPixelFormat() const {
  const QVariant k = pixelFormats_->currentData();
  return k.isValid() ? formats_.at(static_cast<std::size_t>(k.toInt())).code : std::string();
}

double CVideoFormatDlg::selectedRate() const {
  const QVariant fps = rates_->currentData();
  return fps.isValid() ? fps.toDouble() : 0.0;
}

CVideoSourceDlg::CVideoSourceDlg(const std::string& current, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Video Source"));
  sources_ = new QComboBox(this);
  auto add = [&](const QString& text, const std::string& sourceName) {
    sources_->addItem(text);
    sourceNames_.push_back(sourceName);
    if (!sourceName.empty() && sourceName == current) sources_->setCurrentIndex(sources_->count() - 1);
  };
  for (const VideoDevice& device : ListVideoDevices()) {
    add(QStringLiteral("Camera %1: %2 (%3)")
            .arg(device.index)
            .arg(QString::fromStdString(device.name), QString::fromStdString(device.path)),
        "camera:" + std::to_string(device.index));
  }
  for (MotionProfile p : AllMotionProfiles()) {
    const std::string name = MotionProfileName(p);
    add(QStringLiteral("Synthetic scene: %1").arg(QString::fromStdString(name)), "synthetic:" + name);
  }
  add(QString::fromLatin1(kVideoFileEntry), std::string());
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Source:"), sources_);
  form->addRow(okCancel(this));
}

void CVideoSourceDlg::accept() {
  sourceName_ = sourceNames_.at(static_cast<std::size_t>(sources_->currentIndex()));
  if (sourceName_.empty()) {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Video file"), QString(),
        QStringLiteral("Videos and images (*.avi *.mp4 *.mkv *.mov *.webm *.png *.jpg *.jpeg *.bmp);;All files (*)"));
    if (path.isEmpty()) return;
    sourceName_ = path.toStdString();
  }
  QDialog::accept();
}

int CFrameGrabber::VideoFormatDialog(QWidget* parent) {
  if (source_ == nullptr) return 0;
  // A change waits for the read in progress, which a stalled driver may hold for seconds.
  if (SourceStopped()) {
    ShowMessage(parent, QStringLiteral("The video source delivers no frames; its format can be changed once it "
                                      "delivers again."));
    return 0;
  }
  std::vector<PixelFormat> formats;
  std::string error;
  const std::optional<SourceRequest> parsed = ParseSourceName(sourceName_, error);
  if (parsed && parsed->kind == SourceRequest::Kind::kCamera)
    ListDeviceFormats("/dev/video" + std::to_string(parsed->cameraIndex), formats, error);
  CVideoFormatDlg dialog(*source_, std::move(formats), parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  const cv::Size size = dialog.selected();
  if (!SetFormat(size.width, size.height, dialog.selectedPixelFormat(), dialog.selectedRate())) {
    ShowMessage(parent, QStringLiteral("The source cannot deliver %1 frames.").arg(sizeText(size)));
    return 0;
  }
  // A camera delivers the nearest size it offers, which need not be the one chosen.
  const cv::Size delivered(FrameWidth(), FrameHeight());
  if (delivered != size) {
    ShowMessage(parent, QStringLiteral("The source delivers %1 frames instead of %2.").arg(sizeText(delivered), sizeText(size)));
  }
  return 1;
}

int CFrameGrabber::VideoSourceDialog(QWidget* parent) {
  CVideoSourceDlg dialog(sourceName_, parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  std::string error;
  if (!Open(dialog.selectedSourceName(), error)) {
    ShowMessage(parent, QStringLiteral("Can't open the video source:\n%1").arg(QString::fromStdString(error)));
    return 0;
  }
  return 1;
}

}  // namespace quorl
