#pragma once
// The editor's only ways to ask or tell the user something: message boxes and file choosers.
// Both can be replaced by a hook (tests drive the dialogs without a user); an empty hook restores the
// default, the real modal dialog.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace quorl {

// Shows `text` verbatim in a modal message box with `buttons`, and `detail` (what it concerns and why,
// such as a file's path and the reason) below it when not empty; returns the button pressed.
// The editor's messages all come through here.
using MessageHook = std::function<QMessageBox::StandardButton(const QString& text, QMessageBox::StandardButtons buttons,
                                                              const QString& detail)>;
QMessageBox::StandardButton reportMessage(QWidget* parent, const QString& text,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                          const QString& detail = QString());
void setMessageHook(MessageHook hook);

// Which file is asked for: a camera parameter file to open or to save, or an OpenCV calibration.
enum class FileChoice { OpenCameraParam, SaveCameraParam, ImportCalibration };

// Returns the chosen full path, or an empty string when the user cancels. The save chooser does not
// confirm overwriting; the caller asks through reportMessage.
using FileChooserHook = std::function<QString(FileChoice choice)>;
QString chooseFile(QWidget* parent, FileChoice choice);
void setFileChooserHook(FileChooserHook hook);

// Filters of the choosers, in Qt's filter syntax.
inline constexpr const char* kCameraParamFilter = "Camera Parameter files (*.dat);;All files (*)";
inline constexpr const char* kCalibrationFilter =
    "OpenCV calibration files (*.yml *.yaml *.xml *.json *.gz);;All files (*)";

}  // namespace quorl
