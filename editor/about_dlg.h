#pragma once
// The About box: icon, program name and version, two lines of information, OK.

#include <QDialog>

namespace quorl {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace quorl
