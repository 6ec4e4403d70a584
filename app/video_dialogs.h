#pragma once
// The Video Format and Video Source dialogs of the frame grabber.

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

class QComboBox;
class QLabel;

namespace quorl {

class FrameSource;

// Lists the frame sizes to choose from, the current one selected. For a camera ("camera:N") these are
// the sizes the device reports, each shown with the pixel formats and frame rates offered at it; for
// other sources the common sizes.
class CVideoFormatDlg : public QDialog {
  Q_OBJECT

 public:
  CVideoFormatDlg(const FrameSource& source, const std::string& spec, QWidget* parent = nullptr);
  QComboBox* sizes() const { return sizes_; }
  cv::Size selected() const;

 private:
  void showDetails(int index);

  std::vector<cv::Size> choices_;
  std::vector<QString> details_;  // per size: pixel formats and rates, for cameras
  QComboBox* sizes_;
  QLabel* details_label_;
};

// Lists the sources: the cameras found, the synthetic scene with each motion profile, and a video file
// or image chosen with a file dialog.
class CVideoSourceDlg : public QDialog {
  Q_OBJECT

 public:
  // `current` is the spec of the connected source, selected when listed.
  explicit CVideoSourceDlg(const std::string& current, QWidget* parent = nullptr);
  QComboBox* sources() const { return sources_; }
  // The spec to open: the selected entry's, or for "Video file..." the file chosen on accepting.
  std::string selectedSpec() const { return spec_; }

  void accept() override;

 private:
  std::vector<std::string> specs_;  // per entry; empty for "Video file..."
  QComboBox* sources_;
  std::string spec_;
};

}  // namespace quorl
