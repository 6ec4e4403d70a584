#include "app/data_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QUrl>

#include "camera/shipped_files.h"

namespace quorl {

namespace {

std::string executableDir() { return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString(); }

QString fromFileSystem(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

QString FindShippedFile(const QString& relative) {
  return fromFileSystem(quorl::FindShippedFile(QFile::encodeName(relative).toStdString(), executableDir()));
}

QString ShippedFileUrl(const QString& relative) {
  const QString found = FindShippedFile(relative);
  const QString installed = fromFileSystem(ShippedFileRoots(executableDir()).front());
  const QString path = found.isEmpty() ? QDir::cleanPath(installed + QLatin1Char('/') + relative) : found;
  return QUrl::fromLocalFile(path).toString();
}

QString CameraParamPath(const QString& explicitPath) {
  return fromFileSystem(FindCameraParamFile(QFile::encodeName(explicitPath).toStdString(), executableDir()));
}

}  // namespace quorl
