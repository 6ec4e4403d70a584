#pragma once
// The Video Format and Video Source dialogs of the frame grabber.

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "capture/v4l2_devices.h"

class QComboBox;

namespace quorl {

class FrameSource;

// Lists the frame sizes to choose from, the current one selected. For a camera ("camera:N") these are
// the sizes the device reports, and for the chosen size the pixel formats that offer it and their frame
// rates; for other sources the common sizes.
class CVideoFormatDlg : public QDialog {
  Q_OBJECT

 public:
  // `formats`: what the camera reports (empty for other sources).
  CVideoFormatDlg(const FrameSource& source, std::vector<PixelFormat> formats, QWidget* parent = nullptr);
  QComboBox* sizes() const { return sizes_; }
  QComboBox* pixelFormats() const { return pixelFormats_; }
  QComboBox* rates() const { return rates_; }
  cv::Size selected() const;
  // The pixel format's four characters and the frame rate chosen; empty and 0 when there is no choice.
  std::string selectedPixelFormat() const;
  double selectedRate() const;

 private:
  void listPixelFormats();
  void listRates();

  std::vector<PixelFormat> formats_;
  std::vector<cv::Size> choices_;  // smallest first
  QComboBox* sizes_;
  QComboBox* pixelFormats_;  // formats offering the chosen size; item data: index into formats_
  QComboBox* rates_;         // item data: frames per second
};

// Lists the sources: the cameras found, the synthetic scene with each motion profile, and a video file
// or image chosen with a file dialog.
class CVideoSourceDlg : public QDialog {
  Q_OBJECT

 public:
  // `current` is the name of the connected source, selected when listed.
  explicit CVideoSourceDlg(const std::string& current, QWidget* parent = nullptr);
  QComboBox* sources() const { return sources_; }
  // The source name to open: the selected entry's, or for "Video file..." the file chosen on accepting.
  std::string selectedSourceName() const { return sourceName_; }

  void accept() override;

 private:
  std::vector<std::string> sourceNames_;  // per entry; empty for "Video file..."
  QComboBox* sources_;
  std::string sourceName_;
};

}  // namespace quorl
