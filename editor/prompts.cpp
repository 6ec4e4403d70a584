#include "editor/prompts.h"

#include <QFileDialog>
#include <QWidget>

namespace quorl {

namespace {

MessageHook& messageHook() {
  static MessageHook hook;
  return hook;
}

FileChooserHook& fileChooserHook() {
  static FileChooserHook hook;
  return hook;
}

}  // namespace

QMessageBox::StandardButton reportMessage(QWidget* parent, const QString& text,
                                          QMessageBox::StandardButtons buttons, const QString& detail) {
  if (messageHook()) return messageHook()(text, buttons, detail);
  const QString title = parent != nullptr ? parent->windowTitle() : QString();
  QMessageBox box(QMessageBox::NoIcon, title, text, buttons, parent);
  box.setInformativeText(detail);
  if (buttons.testFlag(QMessageBox::No)) box.setDefaultButton(QMessageBox::No);
  if (buttons.testFlag(QMessageBox::Save)) box.setDefaultButton(QMessageBox::Save);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void setMessageHook(MessageHook hook) { messageHook() = std::move(hook); }

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
    dialog.setNameFilter(QString::fromLatin1(kCameraParamFilter));
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
