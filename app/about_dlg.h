#pragma once
// The About box: program name, purpose, the team, links to the documentation shipped with the
// program, and the usage text.

#include <QDialog>
#include <QHash>

class QPlainTextEdit;

namespace quorl {

class CHyperLink;

// The usage text, shown read-only in the About box.
inline constexpr const char* kUsageText =
    "Usage:\r\n\r\n"
    "1. Select [Matching]->[Register Frame] menu.\r\n"
    "2. Click four corner points of a rectangle to track (clockwise).\r\n"
    "3. You can see an augmented teapot!!!\r\n";

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  // Ids of the links, the third name and the usage box in the dialog template.
  enum ControlId { IDC_LINK_TEAM = 1010, IDC_LINK_DOCS = 1011, IDC_USAGE = 1012, IDC_LINK_CALIBRATION = 1013,
                   IDC_LINK_README = 1014, IDC_THIRD_NAME = 1015 };

  explicit CAboutDlg(QWidget* parent = nullptr);

  CHyperLink* link(int id) const;
  QWidget* control(int id) const { return controls_.value(id); }

 private:
  QHash<int, QWidget*> controls_;
};

}  // namespace quorl
