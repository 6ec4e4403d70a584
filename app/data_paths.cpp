#include "app/data_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace quorl {

QString FindShippedFile(const QString& relative) {
  const QStringList roots = {QCoreApplication::applicationDirPath() + QStringLiteral("/../share/quorl"),
                             QStringLiteral(QUORL_SOURCE_DIR)};
  for (const QString& root : roots) {
    const QFileInfo info(QDir(root), relative);
    if (info.exists()) return QDir::cleanPath(info.absoluteFilePath());
  }
  return QString();
}

QString CameraParamPath(const QString& explicitPath) {
  if (!explicitPath.isEmpty()) return explicitPath;
  const QString local = QString::fromLatin1(kCameraParamRelativePath);
  if (QFileInfo::exists(local)) return local;
  const QString shipped = FindShippedFile(local);
  return shipped.isEmpty() ? local : shipped;
}

}  // namespace quorl
