#include "app/data_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace quorl {

namespace {

QString installedDataDir() { return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/quorl"); }

}  // namespace

QString FindShippedFile(const QString& relative) {
  for (const QString& root : {installedDataDir(), QStringLiteral(QUORL_SOURCE_DIR)}) {
    const QFileInfo info(QDir(root), relative);
    if (info.exists()) return QDir::cleanPath(info.absoluteFilePath());
  }
  return QString();
}

QString ShippedFileUrl(const QString& relative) {
  const QString found = FindShippedFile(relative);
  const QString path = found.isEmpty() ? QDir::cleanPath(installedDataDir() + QLatin1Char('/') + relative) : found;
  return QUrl::fromLocalFile(path).toString();
}

QString CameraParamPath(const QString& explicitPath) {
  if (!explicitPath.isEmpty()) return explicitPath;
  const QString local = QString::fromLatin1(kCameraParamRelativePath);
  if (QFileInfo::exists(local)) return local;
  const QString shipped = FindShippedFile(local);
  return shipped.isEmpty() ? local : shipped;
}

}  // namespace quorl
