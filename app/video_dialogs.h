#pragma once
// The Video Format and Video Source dialogs of the frame grabber.

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

class QComboBox;

namespace quorl {

class FrameSource;

// Lists the common frame sizes and the current one, which is selected.
class CVideoFormatDlg : public QDialog {
  Q_OBJECT

 public:
  CVideoFormatDlg(const FrameSource& source, QWidget* parent = nullptr);
  QComboBox* sizes() const { return sizes_; }
  cv::Size selected() const;

 private:
  std::vector<cv::Size> choices_;
  QComboBox* sizes_;
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
