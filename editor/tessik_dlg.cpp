#include "editor/tessik_dlg.h"

#include <unistd.h>

#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <memory>

#include <opencv2/core.hpp>

#include "camera/camera_setup.h"
#include "camera/lens.h"
#include "editor/about_dlg.h"
#include "editor/app_icon.h"
#include "editor/drop_edit.h"
#include "editor/number_text.h"
#include "editor/prompts.h"
#include "qtcommon/dialog_units.h"
#include "qtcommon/message.h"

namespace quorl {

namespace {

// Field names used in messages, in record order.
const char* const kValueNames[] = {
    "xsize",     "ysize",     "mat[0][0]", "mat[0][1]", "mat[0][2]",      "mat[0][3]",
    "mat[1][0]", "mat[1][1]", "mat[1][2]", "mat[1][3]", "mat[2][0]",      "mat[2][1]",
    "mat[2][2]", "mat[2][3]", "dist_factor[0]", "dist_factor[1]", "dist_factor[2]", "dist_factor[3]",
};

// The k-th double of the record: mat row by row, then dist_factor.
double& doubleAt(CameraParam& p, int k) { return k < 12 ? p.mat[k / 4][k % 4] : p.dist_factor[k - 12]; }

// A path in the file system's byte encoding, for the C file functions of the camera library.
std::string fileSystemPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The detail of a file message: the path and the reason, or that no file was named.
QString fileDetail(const QString& path, const QString& reason) {
  return path.isEmpty() ? QStringLiteral("No file name was given.") : path + QStringLiteral(": ") + reason;
}

// The detail of a failed save: the folder and why, when it is the folder that refuses (missing, not a folder, or closed
// to writing); otherwise the file and the reason.
QString saveFailureDetail(const QString& path, const QString& reason) {
  const QFileInfo folder(QFileInfo(path).absolutePath());
  if (!folder.exists()) return folder.filePath() + QStringLiteral(": the folder does not exist");
  if (!folder.isDir()) return folder.filePath() + QStringLiteral(": not a folder");
  if (!folder.isWritable())
    return folder.filePath() + QStringLiteral(": the folder cannot be written to (%1)").arg(reason);
  return fileDetail(path, reason);
}

// Writes `bytes` to the temporary file of `file` (in the target's folder) and makes them reach the disk; the caller's
// commit then renames it over the target, which is untouched until then. NotCreated when the temporary file cannot be
// made, WriteError when writing fails; `reason` then says why. The write is unbuffered: QSaveFile's commit does not
// notice a buffered write that fails on its flush.
CameraFileStatus writeUncommitted(QSaveFile& file, const QByteArray& bytes, QString& reason) {
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    reason = file.errorString();
    return CameraFileStatus::NotCreated;
  }
  const qint64 written = file.write(bytes);
  if (written != bytes.size()) {
    reason = written < 0 ? file.errorString()
                         : QStringLiteral("only %1 of %2 bytes could be written").arg(written).arg(bytes.size());
    return CameraFileStatus::WriteError;  // the temporary file goes with `file`
  }
  if (::fsync(file.handle()) != 0) {
    reason = QString::fromLocal8Bit(std::strerror(errno));
    return CameraFileStatus::WriteError;
  }
  return CameraFileStatus::Ok;
}

QByteArray recordBytes(const CameraParam& param) {
  const CameraParamBytes bytes = encodeCameraParam(param);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// OpenCV's calibration YAML of `record`: the image size, the camera matrix of the record's intrinsics and
// `coefficients` (five zeros when empty), whose k1 is the record's dist_factor[2] * fx * fy unless that is still
// `fileK`, the value the coefficients gave. Empty, with `reason`, for a record that describes no camera.
QByteArray calibrationYaml(const CameraParam& record, std::vector<double> coefficients, double fileK, QString& reason) {
  std::string error;
  const std::optional<CameraLens> lens = CameraLens::FromCameraParam(record, error);
  if (!lens) {
    reason = QString::fromStdString(error);
    return {};
  }
  const cv::Matx33d& k = lens->cameraMatrix();
  if (coefficients.empty()) coefficients.assign(5, 0.0);
  if (record.dist_factor[2] != fileK) coefficients[0] = record.dist_factor[2] * k(0, 0) * k(1, 1);
  try {
    cv::FileStorage fs(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    fs << "image_width" << record.xsize << "image_height" << record.ysize;
    fs << "camera_matrix" << cv::Mat(k);
    fs << "distortion_coefficients" << cv::Mat(coefficients, true);
    return QByteArray::fromStdString(fs.releaseAndGetString());
  } catch (const cv::Exception& e) {
    reason = QString::fromStdString(e.what());
    return {};
  }
}

// Reasons why the record may not describe the images it is about to be saved for; empty when it does.
QStringList sizeWarnings(const CameraParam& p, const std::optional<QSize>& imported) {
  QStringList warnings;
  const QString size = QStringLiteral("%1 x %2").arg(p.xsize).arg(p.ysize);
  const bool sized = p.xsize > 0 && p.ysize > 0;
  if (!sized) warnings << QStringLiteral("xsize and ysize (%1) are not an image size.").arg(size);
  if (imported && (imported->width() != p.xsize || imported->height() != p.ysize))
    warnings << QStringLiteral(
                    "The imported calibration is for %1 x %2 images, but xsize and ysize are %3; Quorl "
                    "scales the matrix by its frame width / xsize.")
                    .arg(imported->width())
                    .arg(imported->height())
                    .arg(size);
  const std::optional<CameraMatrixSplit> split = decomposeCameraMatrix(p.mat);
  if (!split) {
    warnings << QStringLiteral(
        "The matrix has a zero, dependent or non-finite row; Quorl will refuse the file.");
  } else if (sized) {
    const double cx = split->intrinsic[0][2];
    const double cy = split->intrinsic[1][2];
    if (!(cx >= 0.0 && cx <= p.xsize && cy >= 0.0 && cy <= p.ysize))
      warnings << QStringLiteral("The principal point (%1, %2) lies outside the %3 image.")
                      .arg(formatDouble(cx), formatDouble(cy), size);
  }
  return warnings;
}

}  // namespace

CTessikDlg::CTessikDlg(QWidget* parent) : QDialog(parent), icon_(tessikIcon()) {
  setWindowTitle(QStringLiteral("Camera Parameter Viewer"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(icon_);
  const DialogUnits du(font());

  // Created in the template's order, which is also the tab order.
  auto group = [&](const char* title, int x, int y, int w, int h) {
    auto* box = new QGroupBox(QString::fromLatin1(title), this);
    box->setGeometry(du.rect(x, y, w, h));
    box->setFocusPolicy(Qt::NoFocus);
  };
  auto pushButton = [&](int id, const char* text, int x, int y, int w, int h) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setObjectName(QStringLiteral("button%1").arg(id));
    b->setAutoDefault(false);
    du.place(b, x, y, w, h, true);
    return b;
  };
  auto label = [&](const char* text, int x, int y, int w, int h) {
    auto* l = new QLabel(QString::fromLatin1(text), this);
    du.place(l, x, y, w, h, true);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  };
  auto valueBox = [&](int id, int x, int y, int w) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QStringLiteral("edit%1").arg(id));
    e->setGeometry(du.rect(x, y, w, 14));
    values_[static_cast<std::size_t>(valueIndex(id))] = e;
  };

  group("Camera Parameter File", 7, 7, 369, 35);
  dropBox_ = new CDropEdit(this);
  dropBox_->setObjectName(QStringLiteral("edit%1").arg(kPathEdit));
  dropBox_->setGeometry(du.rect(15, 22, 290, 14));
  dropBox_->acceptFolders = false;
  QPushButton* browse = pushButton(kBrowseButton, "...", 309, 22, 15, 14);
  QPushButton* load = pushButton(kLoadButton, "&Load", 329, 22, 39, 14);

  group("Camera Parameter Values", 7, 47, 369, 125);
  label("xsize:", 40, 67, 20, 8);
  valueBox(kXsizeEdit, 66, 64, 39);
  label("ysize:", 40, 84, 20, 8);
  valueBox(kYsizeEdit, 66, 81, 39);
  label("mat:", 44, 102, 16, 8);
  const int columns[] = {66, 143, 221, 297};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 4; ++col) {
      const int k = 4 * row + col;  // k-th double
      valueBox(k == 0 ? kMat00Edit : kFirstDoubleEdit + k - 1, columns[col], 99 + 17 * row, 71);
    }
  label("dist_factor:", 22, 153, 38, 8);
  for (int col = 0; col < 4; ++col) valueBox(kFirstDoubleEdit + 11 + col, columns[col], 150, 71);

  QPushButton* saveAs = pushButton(kSaveAsButton, "&Save As", 318, 64, 50, 16);
  QPushButton* import = pushButton(kImportButton, "&Import OpenCV calibration...", 234, 81, 134, 14);
  QPushButton* exit = pushButton(kExitButton, "&Exit", 318, 178, 50, 16);
  QPushButton* about = pushButton(kAboutButton, "&About...", 7, 178, 50, 16);

  connect(browse, &QPushButton::clicked, this, &CTessikDlg::onBrowse);
  connect(load, &QPushButton::clicked, this, &CTessikDlg::onLoad);
  connect(saveAs, &QPushButton::clicked, this, &CTessikDlg::onSaveAs);
  connect(import, &QPushButton::clicked, this, &CTessikDlg::onImport);
  connect(exit, &QPushButton::clicked, this, &QDialog::reject);
  connect(about, &QPushButton::clicked, this, &CTessikDlg::onAbout);

  setFixedSize(du.size(383, 201));
  showMembers();
  markClean(pathText);
  dropBox_->setFocus();
}

int CTessikDlg::valueIndex(int id) {
  if (id == kXsizeEdit) return 0;
  if (id == kYsizeEdit) return 1;
  if (id == kMat00Edit) return 2;
  if (id >= kFirstDoubleEdit && id < kFirstDoubleEdit + 15) return 3 + id - kFirstDoubleEdit;
  return -1;
}

QLineEdit* CTessikDlg::valueEdit(int id) const {
  const int index = valueIndex(id);
  return index < 0 ? nullptr : values_[static_cast<std::size_t>(index)];
}

QPushButton* CTessikDlg::button(int id) const {
  return findChild<QPushButton*>(QStringLiteral("button%1").arg(id), Qt::FindDirectChildrenOnly);
}

void CTessikDlg::showMembers() {
  dropBox_->setText(pathText);
  values_[0]->setText(QString::number(record.xsize));
  values_[1]->setText(QString::number(record.ysize));
  for (int k = 0; k < 16; ++k) values_[static_cast<std::size_t>(2 + k)]->setText(formatDouble(doubleAt(record, k)));
}

QString CTessikDlg::readBack() {
  pathText = dropBox_->text();
  badEdit_ = nullptr;
  CameraParam scratch = record;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const QString text = values_[i]->text();
    const bool ok = i == 0   ? parseInt32(text, scratch.xsize)
                    : i == 1 ? parseInt32(text, scratch.ysize)
                             : parseDouble(text, doubleAt(scratch, static_cast<int>(i) - 2));
    if (!ok) {
      badEdit_ = values_[i];
      return QStringLiteral("%1 needs %2, but the box holds \"%3\".")
          .arg(QString::fromLatin1(kValueNames[i]),
               i < 2 ? QStringLiteral("a whole number") : QStringLiteral("a number"), text);
    }
  }
  record = scratch;
  return {};
}

void CTessikDlg::onBrowse() {
  const QString chosen = chooseFile(this, FileChoice::OpenCameraParam);
  if (chosen.isEmpty()) return;
  pathText = chosen;
  showMembers();
}

QStringList CTessikDlg::valueTexts() const {
  QStringList texts;
  for (const QLineEdit* e : values_) texts << e->text();
  return texts;
}

void CTessikDlg::markClean(const QString& path) {
  cleanTexts_ = valueTexts();
  shownPath_ = path;
}

bool CTessikDlg::hasUnsavedEdits() const { return valueTexts() != cleanTexts_; }

bool CTessikDlg::settleUnsavedEdits(const QString& before) {
  if (!hasUnsavedEdits()) return true;
  const QMessageBox::StandardButton answer =
      ShowMessage(this,
                  QStringLiteral("The camera parameter values have been changed.\nSave them before %1?")
                      .arg(before),
                  {}, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
  return answer == QMessageBox::Save ? onSaveAs() : answer == QMessageBox::Discard;
}

bool CTessikDlg::IsCalibrationName(const QString& path) {
  QString name = path.toLower();
  if (name.endsWith(QStringLiteral(".gz"))) name.chop(3);
  return name.endsWith(QStringLiteral(".yml")) || name.endsWith(QStringLiteral(".yaml")) ||
         name.endsWith(QStringLiteral(".xml"));
}

QString CTessikDlg::CalibrationPathFor(const QString& datPath) {
  return (datPath.endsWith(QStringLiteral(".dat"), Qt::CaseInsensitive) ? datPath.chopped(4) : datPath) +
         QStringLiteral(".yml");
}

bool CTessikDlg::onLoad() {
  if (!settleUnsavedEdits(QStringLiteral("loading another file"))) return false;
  readBack();  // a box that is not a number leaves the record as it was; the file replaces it anyway
  if (IsCalibrationName(pathText)) return loadCalibration(pathText);
  CameraParam scratch;
  CameraFileDetail detail;
  const CameraFileStatus status = readCameraParamPath(fileSystemPath(pathText), scratch, &detail);
  if (status != CameraFileStatus::Ok) {
    ShowMessage(this, QString::fromLatin1(cameraFileMessage(status)),
                fileDetail(pathText, QString::fromStdString(detail.reason)));
    pathText = shownPath_;
    dropBox_->setText(pathText);
    return false;
  }
  record = scratch;
  importedSize_.reset();
  openCvSource_.reset();
  showMembers();
  markClean(pathText);
  if (detail.fileSize > static_cast<long long>(kCameraParamFileSize))
    ShowMessage(this,
                QStringLiteral("The file is %1 bytes long, but a camera parameter file has %2: only its first "
                               "%2 bytes were loaded.")
                    .arg(detail.fileSize)
                    .arg(kCameraParamFileSize),
                pathText);
  return true;
}

bool CTessikDlg::onSaveAs() {
  const QString chosen = chooseFile(this, FileChoice::SaveCameraParam);
  if (chosen.isEmpty()) return false;
  const QFileInfo target(chosen);
  if (target.exists() &&
      ShowMessage(this, QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(target.fileName()),
                  {}, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return false;

  const QString invalid = readBack();
  if (!invalid.isEmpty()) {
    ShowMessage(this, invalid + QStringLiteral("\nNothing was saved."));
    if (badEdit_ != nullptr) {
      badEdit_->setFocus();
      badEdit_->selectAll();
    }
    return false;
  }
  const QStringList warnings = sizeWarnings(record, importedSize_);
  if (!warnings.isEmpty() &&
      ShowMessage(this, warnings.join(QLatin1Char('\n')) + QStringLiteral("\n\nSave anyway?"),
                  {}, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return false;

  QString reason;
  const QString yml = openCvSource_ ? CalibrationPathFor(chosen) : QString();
  QString skipped;  // why the record's YAML is not written
  const QByteArray ymlText =
      openCvSource_ ? calibrationYaml(record, openCvSource_->coefficients, openCvSource_->fileK, skipped) : QByteArray();
  if (!ymlText.isEmpty() && QFileInfo::exists(yml) &&
      ShowMessage(this, QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(QFileInfo(yml).fileName()),
                  {}, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return false;
  // Both files are written whole before either replaces its target.
  QSaveFile datFile(chosen);
  CameraFileStatus status = writeUncommitted(datFile, recordBytes(record), reason);
  if (status != CameraFileStatus::Ok) {
    ShowMessage(this, QString::fromLatin1(cameraFileMessage(status)), saveFailureDetail(chosen, reason));
    return false;
  }
  std::unique_ptr<QSaveFile> ymlFile;
  if (!ymlText.isEmpty()) {
    ymlFile = std::make_unique<QSaveFile>(yml);
    status = writeUncommitted(*ymlFile, ymlText, reason);
    if (status != CameraFileStatus::Ok) {
      ShowMessage(this, QString::fromLatin1(cameraFileMessage(status)), saveFailureDetail(yml, reason));
      return false;
    }
  }
  for (QSaveFile* file : {&datFile, ymlFile.get()}) {
    if (file != nullptr && !file->commit()) {
      ShowMessage(this, QString::fromLatin1(cameraFileMessage(CameraFileStatus::WriteError)),
                  saveFailureDetail(file->fileName(), file->errorString()));
      return false;
    }
  }
  pathText = chosen;
  dropBox_->setText(pathText);
  markClean(pathText);
  QString saved = chosen;
  if (ymlFile) saved += QStringLiteral("\n") + yml;
  if (openCvSource_ && !ymlFile) saved += QStringLiteral("\n%1 not written: %2").arg(yml, skipped);
  ShowMessage(this, QString::fromLatin1(kMsgFileSaved), saved);
  return true;
}

void CTessikDlg::reject() {
  if (settleUnsavedEdits(QStringLiteral("closing"))) QDialog::reject();
}

void CTessikDlg::onImport() {
  const QString chosen = chooseFile(this, FileChoice::ImportCalibration);
  if (chosen.isEmpty()) return;
  std::string error;
  const std::optional<ImportedCalibration> imported = importOpenCVCalibration(fileSystemPath(chosen), error);
  if (!imported) {
    ShowMessage(this, QStringLiteral("Can't import the OpenCV calibration %1:\n%2")
                          .arg(QFileInfo(chosen).fileName(), QString::fromStdString(error)));
    return;
  }
  readBack();  // keeps xsize and ysize typed by the user when the file has no image size
  applyCalibration(*imported);
}

bool CTessikDlg::loadCalibration(const QString& path) {
  std::string error;
  const std::optional<ImportedCalibration> imported = importOpenCVCalibration(fileSystemPath(path), error);
  if (!imported) {
    ShowMessage(this, QStringLiteral("Can't load the OpenCV calibration %1.").arg(QFileInfo(path).fileName()),
                fileDetail(path, QString::fromStdString(error)));
    pathText = shownPath_;
    dropBox_->setText(pathText);
    return false;
  }
  applyCalibration(*imported);
  markClean(pathText);
  return true;
}

void CTessikDlg::applyCalibration(const ImportedCalibration& imported) {
  const CameraParam kept = record;
  record = imported.param;
  openCvSource_ = OpenCVSource{imported.coefficients, record.dist_factor[2]};
  if (imported.hasImageSize) {
    importedSize_ = QSize(record.xsize, record.ysize);
  } else {
    record.xsize = kept.xsize;
    record.ysize = kept.ysize;
    importedSize_.reset();
  }
  showMembers();

  QStringList notes;
  if (!imported.hasImageSize)
    notes << QStringLiteral(
        "The calibration gives no image size; xsize and ysize were kept. Check them before saving.");
  for (const std::string& note : imported.notes) notes << QString::fromStdString(note);
  if (!notes.isEmpty()) ShowMessage(this, notes.join(QLatin1Char('\n')));
}

void CTessikDlg::onAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CTessikDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QStringLiteral("&About Tessik..."), this, &CTessikDlg::onAbout);
  menu.exec(event->globalPos());
}

void CTessikDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) focused->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace quorl
