#include "editor/prompts.h"

#include <QFileDialog>
#include <QWidget>

namespace quorl {

namespace {

FileChooserHook& fileChooserHook() {
  static FileChooserHook hook;
  return hook;
}

}  // namespace

QString chooseFile(QWidget* parent, FileChoice choice) {
  if (fileChooserHook()) return fileChooserHook()(choice);
  QFileDialog dialog(parent);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (choice == FileChoice::ImportCalibration) {
    dialog.setWindowTitle(QStringLiteral("Import OpenCV calibration"));
    dialog.setNameFilter(QString::fromLatin1(kCalibrationFilter));
    dialog.setFileMode(QFileDialog::ExistingFile);
  } else if (choice == FileChoice::OpenCameraParam) {
    dialog.setWindowTitle(QStringLiteral("Open"));
    dialog.setNameFilter(QString::fromLatin1(kOpenFilter));
    dialog.setDefaultSuffix(QStringLiteral("dat"));
    dialog.setFileMode(QFileDialog::ExistingFile);
  } else {
    dialog.setWindowTitle(QStringLiteral("Save As"));
    dialog.setNameFilter(QString::fromLatin1(kCameraParamFilter));
    dialog.setDefaultSuffix(QStringLiteral("dat"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

void setFileChooserHook(FileChooserHook hook) { fileChooserHook() = std::move(hook); }

}  // namespace quorl
