#pragma once
// Path box that takes a file dropped from a file manager.

#include <QLineEdit>

namespace quorl {

class CDropEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit CDropEdit(QWidget* parent = nullptr);

  // When true only a dropped folder is taken, when false only a dropped regular file.
  bool acceptFolders = false;

  // Puts `name` in the box if it passes the drop rules: a symbolic link is replaced by its final target
  // when that exists; the box changes only for an existing folder (acceptFolders) or regular file
  // (!acceptFolders). Returns whether the text changed.
  bool takeDroppedPath(const QString& name);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace quorl
