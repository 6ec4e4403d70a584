#pragma once
// The main window "Quorl ver. 2.0": menus and shortcuts, the view as its fixed-size centre, a status
// line, and the Options dialog it owns.

#include <QHash>
#include <QMainWindow>

#include "app/option_dlg.h"

class QAction;
class QLabel;

namespace quorl {

class CQuorlView;

inline constexpr const char* kMainTitle = "Quorl ver. 2.0";

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  CQuorlView* view() const { return view_; }
  COptionDlg& options() { return *options_; }
  // The menu item (and its shortcut) of a command id.
  QAction* action(int id) const { return actions_.value(id); }

  // Shows the Options dialog beside the main window, to its right; `activate` false leaves the keyboard
  // focus where it is (at start-up, with the main window, so its shortcuts work at once).
  void ShowOptions(bool activate = true);

 signals:
  void aboutRequested();

 private:
  QAction* addCommand(QMenu* menu, int id, const QString& text, const QKeySequence& shortcut);

  COptionDlg* options_;  // child window; lives as long as the frame
  CQuorlView* view_;
  QLabel* status_;  // shows the view's status line, shortened to fit, in full as its tooltip
  QHash<int, QAction*> actions_;
};

}  // namespace quorl
