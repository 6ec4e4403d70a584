#include "editor/drop_edit.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace quorl {

namespace {

bool carriesFiles(const QMimeData* mime) { return mime != nullptr && mime->hasUrls(); }

}  // namespace

CDropEdit::CDropEdit(QWidget* parent) : QLineEdit(parent) { setAcceptDrops(true); }

bool CDropEdit::takeDroppedPath(const QString& dropped) {
  QString name = dropped;
  const QFileInfo link(name);
  if (link.isSymLink()) {
    // The link's final target; empty when it does not exist, and then the link itself is tested.
    const QString target = link.canonicalFilePath();
    if (!target.isEmpty()) name = target;
  }
  if (name.isEmpty()) return false;
  const QFileInfo info(name);  // follows links
  if (!info.exists()) return false;
  const bool take = info.isDir() ? acceptFolders : (info.isFile() && !acceptFolders);
  if (take) setText(name);
  return take;
}

void CDropEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (carriesFiles(event->mimeData()))
    event->acceptProposedAction();
  else
    QLineEdit::dragEnterEvent(event);
}

void CDropEdit::dragMoveEvent(QDragMoveEvent* event) {
  if (carriesFiles(event->mimeData()))
    event->acceptProposedAction();
  else
    QLineEdit::dragMoveEvent(event);
}

void CDropEdit::dropEvent(QDropEvent* event) {
  if (!carriesFiles(event->mimeData())) {
    QLineEdit::dropEvent(event);
    return;
  }
  // Only the first of several dropped items counts.
  const QList<QUrl> urls = event->mimeData()->urls();
  if (!urls.isEmpty() && urls.constFirst().isLocalFile()) takeDroppedPath(urls.constFirst().toLocalFile());
  event->acceptProposedAction();
}

}  // namespace quorl
