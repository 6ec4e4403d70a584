#pragma once
// Tessik's main dialog: a camera parameter file's path, its 18 values in edit boxes, Load, Save As,
// Import of an OpenCV calibration, About and Exit. Load also reads an OpenCV calibration (.yml, .yaml, .xml,
// gzipped or not) as Import does; Save As of a record that came from one writes FILE.yml beside FILE.dat.

#include <QDialog>
#include <QIcon>
#include <QSize>
#include <QString>
#include <array>
#include <optional>
#include <vector>

#include "camera/camera_param.h"
#include "camera/opencv_calibration.h"

class QLineEdit;
class QPushButton;

namespace quorl {

class CDropEdit;

class CTessikDlg : public QDialog {
  Q_OBJECT

 public:
  // Control ids of the dialog template; the value boxes are 1003, 1004, 1005 and 1013 to 1027.
  enum ControlId {
    kPathEdit = 1000,
    kBrowseButton = 1001,
    kLoadButton = 1002,
    kXsizeEdit = 1003,
    kYsizeEdit = 1004,
    kMat00Edit = 1005,
    kSaveAsButton = 1006,
    kFirstDoubleEdit = 1013,  // 1013 + k holds the (k + 2)-th double of the record, k = 0..14
    kImportButton = 1028,
    kAboutButton = 1029,
    kExitButton = 2,
  };

  explicit CTessikDlg(QWidget* parent = nullptr);

  // True for the names Load reads as an OpenCV calibration: .yml, .yaml or .xml, each also with .gz.
  static bool IsCalibrationName(const QString& path);
  // Where Save As writes the YAML of a record saved to `datPath`: its .dat ending replaced by .yml, else
  // .yml appended.
  static QString CalibrationPathFor(const QString& datPath);

  // Members bound to the controls. Ownership: the dialog holds them by value for its whole life.
  QString pathText;   // edit 1000
  CameraParam record{};  // edits 1003 to 1027; all zero at start

  CDropEdit* dropBox() const { return dropBox_; }
  // The value box with the given id, or null for an id that is not a value box.
  QLineEdit* valueEdit(int id) const;
  QPushButton* button(int id) const;

  // Members to controls: every box is rewritten from pathText and record.
  void showMembers();
  // Controls to members. The path is always taken; the numbers only when every box holds a valid number.
  // Otherwise the record stays as it was and the returned text names the first bad box (empty on success).
  QString readBack();

  // True when a value box differs from what the last Load or Save As (or the start) showed.
  bool hasUnsavedEdits() const;

 public slots:
  void onBrowse();
  // Loads the file named by the path box. A file that cannot be read is reported with its path and the reason, and the
  // path box returns to the file the boxes show. A file longer than 136 bytes loads its first 136 and says how long it
  // is. Unsaved edits are first settled as on closing. An OpenCV calibration is read as Import reads it.
  // Returns true when loaded.
  bool onLoad();
  // Saves through a temporary file in the target's folder that replaces the target only once written
  // whole and flushed, so a failed save leaves an existing file as it was. The path box then shows the
  // saved file. A record that came from an OpenCV calibration (Load or Import) is also written as OpenCV's
  // YAML (image size, the record's camera matrix, the calibration's distortion coefficients, k1 taken as
  // dist_factor[2] * fx * fy once dist_factor[2] is edited) to CalibrationPathFor(file), asking before it
  // replaces one; both files are written whole before either replaces its target.
  // Returns true when saved.
  bool onSaveAs();
  void onImport();
  void onAbout();
  // Exit, Escape and the close box: with unsaved edits, asks Save / Discard / Cancel first.
  void reject() override;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  // Enter presses the focused button and does nothing elsewhere, so it never closes the dialog.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The 18 value boxes in record order: xsize, ysize, mat row by row, dist_factor.
  static constexpr int kValueCount = 18;
  static int valueIndex(int id);  // record position of a value box id, or -1

  CDropEdit* dropBox_ = nullptr;
  std::array<QLineEdit*, kValueCount> values_{};
  QLineEdit* badEdit_ = nullptr;  // the box named by the last failed readBack
  // The value boxes' texts and the path as the last Load or Save As (or the start) left them.
  QStringList cleanTexts_;
  QString shownPath_;
  QStringList valueTexts() const;
  void markClean(const QString& path);
  // With unsaved edits, asks whether to save them before `before` (Save / Discard / Cancel). True when the caller may
  // go on: nothing to save, saved, or discarded.
  bool settleUnsavedEdits(const QString& before);
  QIcon icon_;
  // Image size of the last imported OpenCV calibration, checked against xsize and ysize on saving;
  // cleared by a successful Load and by an import without a size.
  std::optional<QSize> importedSize_;
  // The OpenCV calibration the record came from: its distortion coefficients and the record's dist_factor[2]
  // they gave. Cleared by loading a camera parameter file.
  struct OpenCVSource {
    std::vector<double> coefficients;
    double fileK = 0.0;
  };
  std::optional<OpenCVSource> openCvSource_;
  // Fills the boxes from an imported calibration (keeping xsize and ysize when it has no image size) and
  // shows its notes. `path` is the file, for the messages.
  void applyCalibration(const ImportedCalibration& imported);
  bool loadCalibration(const QString& path);
};

}  // namespace quorl
