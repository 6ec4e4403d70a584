#pragma once
// Configurations > Calibrate Camera...: calibrates the camera from the view's own frames. A board chooser,
// the live picture with the detected board drawn on it, the coverage bars and the view count. A view is
// taken by itself when the board is still and differs from the views taken (CalibrationSession::offer),
// or by Take View; Calibrate shows the RMS reprojection error or why it refuses; Save writes
// kSavedCalibrationPath and the camera file beside it, and the view uses the new calibration at once.
// Modeless; the main frame owns the one instance. The session starts again when the board or the frame
// size changes.

#include <QDialog>
#include <memory>
#include <optional>

#include <opencv2/core.hpp>

#include "calibration/board.h"
#include "calibration/session.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace quorl {

class CQuorlView;

// Message when Save cannot write the calibration; the detail names the file and the reason.
inline constexpr const char* kMsgCannotSaveCalibration = "Can't save the calibration.";
// The picture is shown at the frame's size, scaled down to fit this width.
inline constexpr int kCalibratePictureWidth = 640;

// Draws `detection` into `bgr`: a circle on each corner, the corners of each board row joined in their
// order in a colour of the row's own, the first corner ringed.
void DrawBoardDetection(cv::Mat& bgr, const BoardDetection& detection, const BoardLayout& board);

class CCalibrateDlg : public QDialog {
  Q_OBJECT

 public:
  enum Bar { kLeftRight, kTopBottom, kSize, kTilt, kBarCount };

  // Follows `view`'s frames while shown; `view` outlives the dialog.
  explicit CCalibrateDlg(CQuorlView& view, QWidget* parent = nullptr);
  ~CCalibrateDlg() override;

  // The board the chooser describes; nothing (the result line says why) while it describes none.
  const std::optional<BoardLayout>& board() const { return board_; }
  // Null while there is no board or no frame yet.
  const CalibrationSession* session() const { return session_.get(); }
  const std::optional<CalibrationResult>& result() const { return result_; }

  QComboBox* kindBox() const { return kind_; }
  QSpinBox* colsBox() const { return cols_; }
  QSpinBox* rowsBox() const { return rows_; }
  QDoubleSpinBox* squareBox() const { return square_; }
  QDoubleSpinBox* markerBox() const { return marker_; }
  QProgressBar* bar(Bar which) const { return bars_[which]; }
  QLabel* viewsLabel() const { return views_; }
  QLabel* pictureLabel() const { return picture_; }
  QLabel* resultLabel() const { return resultText_; }
  QPushButton* takeButton() const { return take_; }
  QPushButton* clearButton() const { return clear_; }
  QPushButton* calibrateButton() const { return calibrate_; }
  QPushButton* saveButton() const { return save_; }

 public slots:
  // The view's newest frame: the board detected, offered to the session and drawn on the picture.
  void OnFrame();
  // Takes the last frame's detection as a view whatever it shows.
  void OnTakeView();
  // Forgets the views taken and the calibration.
  void OnClear();
  // Calibrates the views taken; the result line shows the RMS error or the refusal. True when calibrated.
  bool OnCalibrate();
  // Writes the last calibration (asking before it replaces a file) and hands it to the view. True when saved.
  bool OnSave();

 private:
  void boardChanged();
  void kindChanged();
  void restart(cv::Size frameSize);
  void showCoverage();

  CQuorlView& view_;
  std::optional<BoardLayout> board_;
  std::unique_ptr<BoardDetector> detector_;
  std::unique_ptr<CalibrationSession> session_;
  std::optional<BoardDetection> detection_;  // the last frame's
  std::optional<CalibrationResult> result_;

  QComboBox* kind_;
  QSpinBox* cols_;
  QSpinBox* rows_;
  QDoubleSpinBox* square_;
  QDoubleSpinBox* marker_;
  QLabel* picture_;
  QProgressBar* bars_[kBarCount];
  QLabel* views_;
  QLabel* offerText_;  // what the last frame showed
  QLabel* resultText_;
  QPushButton* take_;
  QPushButton* clear_;
  QPushButton* calibrate_;
  QPushButton* save_;
};

}  // namespace quorl
