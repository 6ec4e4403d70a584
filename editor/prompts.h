#pragma once
// The editor's file choosers (its messages go through ShowMessage, qtcommon/message.h). They can be
// replaced by a hook (tests drive the dialogs without a user); an empty hook restores the real dialog.

#include <QString>
#include <functional>

class QWidget;

namespace quorl {

// Which file is asked for: a camera parameter file to open or to save, or an OpenCV calibration.
enum class FileChoice { OpenCameraParam, SaveCameraParam, ImportCalibration };

// Returns the chosen full path, or an empty string when the user cancels. The save chooser does not
// confirm overwriting; the caller asks through ShowMessage.
using FileChooserHook = std::function<QString(FileChoice choice)>;
QString chooseFile(QWidget* parent, FileChoice choice);
void setFileChooserHook(FileChooserHook hook);

// Filters of the choosers, in Qt's filter syntax.
inline constexpr const char* kCameraParamFilter = "Camera Parameter files (*.dat);;All files (*)";
inline constexpr const char* kCalibrationFilter =
    "OpenCV calibration files (*.yml *.yaml *.xml *.json *.gz);;All files (*)";
// Load reads a camera parameter file or an OpenCV calibration (CTessikDlg::IsCalibrationName).
inline constexpr const char* kOpenFilter =
    "Camera Parameter files (*.dat);;OpenCV calibration files (*.yml *.yaml *.xml *.yml.gz *.yaml.gz *.xml.gz);;"
    "All files (*)";

}  // namespace quorl
