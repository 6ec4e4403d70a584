#include "app/calibrate_dlg.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

#include <opencv2/imgproc.hpp>

#include "app/quorl_view.h"
#include "calibration/calibration_files.h"
#include "qtcommon/message.h"

namespace quorl {

namespace {

const char* const kBarNames[CCalibrateDlg::kBarCount] = {"Left-right", "Top-bottom", "Size", "Tilt"};

QString metres(double millimetres) { return QString::number(millimetres / 1000.0, 'g', 12); }

// The frame's pixels as a BGR picture of its own.
cv::Mat FrameToBgr(const DibImage& frame) {
  cv::Mat bgr(frame.height(), frame.width(), CV_8UC3);
  const std::size_t rowBytes = static_cast<std::size_t>(frame.width()) * 3;
  for (int y = 0; y < frame.height(); ++y) std::memcpy(bgr.ptr(y), frame.rows24()[y], rowBytes);
  return bgr;
}

QString OfferText(CalibrationSession::Offer offer) {
  switch (offer) {
    case CalibrationSession::Offer::kTaken:
      return QStringLiteral("View taken.");
    case CalibrationSession::Offer::kNoBoard:
      return QStringLiteral("No board in view.");
    case CalibrationSession::Offer::kMoving:
      return QStringLiteral("Hold the board still.");
    case CalibrationSession::Offer::kSimilar:
      return QStringLiteral("Like a view taken: move the board.");
  }
  return {};
}

}  // namespace

void DrawBoardDetection(cv::Mat& bgr, const BoardDetection& detection, const BoardLayout& board) {
  const int across = InnerCorners(board).width;
  std::vector<std::size_t> order(detection.ids.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return detection.ids[a] < detection.ids[b]; });
  const int radius = std::max(2, bgr.cols / 160);
  const auto rowColour = [&](int row) {
    // Hues around the circle, row by row, at full saturation (OpenCV's hue runs to 180).
    cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar((row * 37) % 180, 255, 255)), out;
    cv::cvtColor(hsv, out, cv::COLOR_HSV2BGR);
    const cv::Vec3b c = out.at<cv::Vec3b>(0, 0);
    return cv::Scalar(c[0], c[1], c[2]);
  };
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    const int row = detection.ids[i] / across;
    const cv::Scalar colour = rowColour(row);
    const cv::Point2f p = detection.imagePoints[i];
    if (k > 0 && detection.ids[order[k - 1]] / across == row)
      cv::line(bgr, detection.imagePoints[order[k - 1]], p, colour, 1, cv::LINE_AA);
    cv::circle(bgr, p, radius, colour, 1, cv::LINE_AA);
  }
  if (!order.empty()) cv::circle(bgr, detection.imagePoints[order.front()], 3 * radius, rowColour(0), 2, cv::LINE_AA);
}

CCalibrateDlg::CCalibrateDlg(CQuorlView& view, QWidget* parent)
    : QDialog(parent),
      view_(view),
      kind_(new QComboBox(this)),
      cols_(new QSpinBox(this)),
      rows_(new QSpinBox(this)),
      square_(new QDoubleSpinBox(this)),
      marker_(new QDoubleSpinBox(this)),
      picture_(new QLabel(this)),
      views_(new QLabel(this)),
      offerText_(new QLabel(this)),
      resultText_(new QLabel(this)),
      take_(new QPushButton(QStringLiteral("&Take View"), this)),
      clear_(new QPushButton(QStringLiteral("C&lear"), this)),
      calibrate_(new QPushButton(QStringLiteral("&Calibrate"), this)),
      save_(new QPushButton(QStringLiteral("&Save"), this)) {
  setWindowTitle(QStringLiteral("Calibrate Camera"));
  kind_->addItems({QStringLiteral("Chessboard"), QStringLiteral("ChArUco")});
  for (QSpinBox* box : {cols_, rows_}) box->setMaximum(64);
  for (QDoubleSpinBox* box : {square_, marker_}) {
    box->setRange(1.0, 1000.0);
    box->setDecimals(1);
    box->setSuffix(QStringLiteral(" mm"));
  }
  // Chessboard 9 x 6 inner corners of 25 mm; the ChArUco values are the board scene's.
  cols_->setRange(2, 64);
  rows_->setRange(2, 64);
  cols_->setValue(9);
  rows_->setValue(6);
  square_->setValue(25.0);
  marker_->setValue(22.0);
  marker_->setEnabled(false);

  auto* boardRow = new QHBoxLayout;
  boardRow->addWidget(new QLabel(QStringLiteral("Board:"), this));
  boardRow->addWidget(kind_);
  boardRow->addWidget(cols_);
  boardRow->addWidget(new QLabel(QStringLiteral("x"), this));
  boardRow->addWidget(rows_);
  boardRow->addWidget(new QLabel(QStringLiteral("square"), this));
  boardRow->addWidget(square_);
  boardRow->addWidget(new QLabel(QStringLiteral("marker"), this));
  boardRow->addWidget(marker_);
  boardRow->addStretch(1);

  picture_->setAlignment(Qt::AlignCenter);
  picture_->setFixedSize(kNoCaptureWidth, kNoCaptureHeight);
  auto* coverage = new QFormLayout;
  for (int i = 0; i < kBarCount; ++i) {
    bars_[i] = new QProgressBar(this);
    bars_[i]->setRange(0, 100);
    bars_[i]->setValue(0);
    coverage->addRow(QString::fromLatin1(kBarNames[i]) + QLatin1Char(':'), bars_[i]);
  }
  coverage->addRow(views_);
  offerText_->setWordWrap(true);
  coverage->addRow(offerText_);
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {take_, clear_, calibrate_, save_}) {
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  auto* closeButton = new QPushButton(QStringLiteral("Close"), this);
  closeButton->setAutoDefault(false);
  buttons->addWidget(closeButton);
  save_->setEnabled(false);

  auto* side = new QVBoxLayout;
  side->addLayout(coverage);
  side->addLayout(buttons, 1);
  auto* middle = new QHBoxLayout;
  middle->addWidget(picture_, 1);
  middle->addLayout(side);
  resultText_->setWordWrap(true);
  resultText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(boardRow);
  layout->addLayout(middle, 1);
  layout->addWidget(resultText_);

  connect(kind_, &QComboBox::currentIndexChanged, this, &CCalibrateDlg::kindChanged);
  for (QSpinBox* box : {cols_, rows_}) connect(box, &QSpinBox::valueChanged, this, &CCalibrateDlg::boardChanged);
  for (QDoubleSpinBox* box : {square_, marker_})
    connect(box, &QDoubleSpinBox::valueChanged, this, &CCalibrateDlg::boardChanged);
  connect(take_, &QPushButton::clicked, this, &CCalibrateDlg::OnTakeView);
  connect(clear_, &QPushButton::clicked, this, &CCalibrateDlg::OnClear);
  connect(calibrate_, &QPushButton::clicked, this, &CCalibrateDlg::OnCalibrate);
  connect(save_, &QPushButton::clicked, this, &CCalibrateDlg::OnSave);
  connect(closeButton, &QPushButton::clicked, this, &QDialog::close);
  connect(&view_, &CQuorlView::frameProcessed, this, &CCalibrateDlg::OnFrame);
  boardChanged();
}

CCalibrateDlg::~CCalibrateDlg() = default;

void CCalibrateDlg::kindChanged() {
  const bool charuco = kind_->currentIndex() == 1;
  const QSignalBlocker blockCols(cols_), blockRows(rows_), blockSquare(square_);
  // Chessboards count inner corners, ChArUco boards squares.
  cols_->setMinimum(charuco ? 3 : 2);
  rows_->setMinimum(charuco ? 3 : 2);
  cols_->setValue(charuco ? 7 : 9);
  rows_->setValue(charuco ? 5 : 6);
  square_->setValue(charuco ? 30.0 : 25.0);
  marker_->setEnabled(charuco);
  boardChanged();
}

void CCalibrateDlg::boardChanged() {
  const QString size = QStringLiteral("%1x%2:%3").arg(cols_->value()).arg(rows_->value()).arg(metres(square_->value()));
  const QString layout = kind_->currentIndex() == 1 ? QStringLiteral("charuco:") + size + QLatin1Char(':') + metres(marker_->value())
                                                  : QStringLiteral("chessboard:") + size;
  std::string error;
  board_ = ParseBoardLayout(layout.toStdString(), error);
  detector_ = board_ ? std::make_unique<BoardDetector>(*board_) : nullptr;
  detection_.reset();
  restart(session_ ? session_->frameSize() : cv::Size());
  resultText_->setText(board_ ? QString::fromStdString(DescribeBoard(*board_)) : QString::fromStdString(error));
}

void CCalibrateDlg::restart(cv::Size frameSize) {
  session_ = board_ && !frameSize.empty() ? std::make_unique<CalibrationSession>(*board_, frameSize) : nullptr;
  result_.reset();
  save_->setEnabled(false);
  showCoverage();
}

void CCalibrateDlg::showCoverage() {
  const Coverage c = session_ ? session_->coverage() : Coverage{};
  const double values[kBarCount] = {c.leftRight, c.topBottom, c.size, c.tilt};
  for (int i = 0; i < kBarCount; ++i) bars_[i]->setValue(static_cast<int>(std::lround(values[i] * 100.0)));
  QString text = QStringLiteral("Views: %1").arg(c.views);
  if (session_ && c.viewsNeeded > 0) text += QStringLiteral(" (%1 more needed)").arg(c.viewsNeeded);
  views_->setText(text);
}

void CCalibrateDlg::OnFrame() {
  const DibImage& frame = view_.state().frame;
  if (!isVisible() || frame.empty() || frame.rows24() == nullptr || detector_ == nullptr) return;
  cv::Mat bgr = FrameToBgr(frame);
  if (!session_ || session_->frameSize() != bgr.size()) {
    const bool hadViews = session_ && session_->viewCount() > 0;
    restart(bgr.size());
    if (hadViews) resultText_->setText(QStringLiteral("The frame size changed: the views are taken again."));
  }
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  detection_ = detector_->detect(gray);
  const CalibrationSession::Offer offer = session_->offer(detection_);
  offerText_->setText(OfferText(offer));
  if (offer == CalibrationSession::Offer::kTaken) showCoverage();
  if (detection_) DrawBoardDetection(bgr, *detection_, *board_);
  QImage image(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step), QImage::Format_BGR888);
  if (image.width() > kCalibratePictureWidth) image = image.scaledToWidth(kCalibratePictureWidth, Qt::SmoothTransformation);
  if (picture_->size() != image.size()) picture_->setFixedSize(image.size());
  picture_->setPixmap(QPixmap::fromImage(image.copy()));
}

void CCalibrateDlg::OnTakeView() {
  if (!session_ || !detection_) {
    offerText_->setText(QStringLiteral("No board in view: nothing taken."));
    return;
  }
  session_->add(*detection_);
  offerText_->setText(OfferText(CalibrationSession::Offer::kTaken));
  showCoverage();
}

void CCalibrateDlg::OnClear() {
  restart(session_ ? session_->frameSize() : cv::Size());
  resultText_->clear();
}

bool CCalibrateDlg::OnCalibrate() {
  result_.reset();
  save_->setEnabled(false);
  if (!session_) {
    resultText_->setText(board_ ? QStringLiteral("No frames yet.") : resultText_->text());
    return false;
  }
  std::string error;
  result_ = session_->calibrate(error);
  if (!result_) {
    resultText_->setText(QString::fromStdString(error));
    return false;
  }
  const cv::Matx33d& k = result_->cameraMatrix;
  resultText_->setText(QStringLiteral("RMS reprojection error: %1 px over %2 views; fx %3, fy %4, centre (%5, %6), k1 %7")
                           .arg(result_->rms, 0, 'f', 3)
                           .arg(session_->viewCount())
                           .arg(k(0, 0), 0, 'f', 1)
                           .arg(k(1, 1), 0, 'f', 1)
                           .arg(k(0, 2), 0, 'f', 1)
                           .arg(k(1, 2), 0, 'f', 1)
                           .arg(result_->distortion[0], 0, 'g', 4));
  save_->setEnabled(true);
  return true;
}

bool CCalibrateDlg::OnSave() {
  if (!result_ || !board_) return false;
  const QString yml = QString::fromLatin1(kSavedCalibrationPath);
  const QString dat = QFile::decodeName(CameraFilePathFor(kSavedCalibrationPath).c_str());
  QStringList existing;
  for (const QString& path : {dat, yml})
    if (QFileInfo::exists(path)) existing << path;
  if (!existing.isEmpty() &&
      ShowMessage(this,
                  QStringLiteral("%1 already %2.\nDo you want to replace %3?")
                      .arg(existing.join(QStringLiteral(" and ")),
                           existing.size() == 1 ? QStringLiteral("exists") : QStringLiteral("exist"),
                           existing.size() == 1 ? QStringLiteral("it") : QStringLiteral("them")),
                  {}, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return false;
  const QString folder = QFileInfo(yml).path();
  if (!QDir().mkpath(folder)) {
    ShowMessage(this, QString::fromLatin1(kMsgCannotSaveCalibration),
                folder + QStringLiteral(": the folder cannot be created"));
    return false;
  }
  std::string error;
  const std::optional<CameraParamFit> fit =
      FitCameraParam(result_->cameraMatrix, result_->distortion, result_->imageSize, error);
  if (!fit || !WriteCalibrationFiles(kSavedCalibrationPath, *result_, *board_, *fit, error)) {
    ShowMessage(this, QString::fromLatin1(kMsgCannotSaveCalibration), QString::fromStdString(error));
    return false;
  }
  if (!view_.UseCalibration(yml)) return false;
  resultText_->setText(resultText_->text() + QStringLiteral("\nSaved %1 and %2; Quorl uses it now.").arg(yml, dat));
  return true;
}

}  // namespace quorl
