#pragma once
// The Options dialog: holds the detector settings the tracker reads and writes, and shows the live
// corner count, frame rate and inlier count. Modeless; the main frame owns the one instance.

#include <QDialog>
#include <QHash>

#include "image/corners.h"

class QButtonGroup;
class QCheckBox;
class QLineEdit;

namespace quorl {

class COptionDlg : public QDialog {
  Q_OBJECT

 public:
  // Control ids of the dialog template; control(id) finds them (tests drive the dialog through it).
  enum ControlId {
    IDC_RADIO_9 = 1000,
    IDC_RADIO_10 = 1001,
    IDC_RADIO_11 = 1002,
    IDC_RADIO_12 = 1003,
    IDC_BARRIER = 1005,
    IDC_UPDATE = 1006,
    IDC_PLOT_KPS = 1007,
    IDC_KEYPOINT_COUNT = 1009,
    IDC_FRAME_RATE = 1010,
    IDC_INLIER_COUNT = 1011,
  };

  // Created hidden, with the default settings.
  explicit COptionDlg(QWidget* parent = nullptr);

  // The dialog's data members: the settings shared with the tracker. Ownership: this dialog, for the
  // program's life; the tracker holds a reference.
  TrackerSettings& settings() { return settings_; }
  // Inliers of the last tracked frame; shown only, never read back from the control.
  void setInlierCount(int count) { inlierCount_ = count; }

  // true: controls -> members in the order radio group, Barrier, Plot kps, count, frame rate; stops at
  // the first text that is not an integer with "Please enter an integer.", focus on that edit, the
  // later members unchanged, and returns false. false: members -> controls, always true, except that
  // the Barrier box is left as it is while it has the focus or edits not yet applied by Update (or
  // Enter in the box).
  bool UpdateData(bool saveAndValidate);

  QWidget* control(int id) const { return controls_.value(id); }

 private:
  void OnUpdate();
  void OnPlotKps();
  bool exchangeInt(QLineEdit* edit, int& member, bool save);

  TrackerSettings settings_;
  int inlierCount_ = 0;
  QButtonGroup* cornerGroup_;
  QLineEdit* barrierEdit_;
  QCheckBox* plotCheck_;
  QLineEdit* countEdit_;
  QLineEdit* rateEdit_;
  QLineEdit* inlierEdit_;
  QHash<int, QWidget*> controls_;
};

// The refusal text of the integer fields.
inline constexpr const char* kMsgEnterInteger = "Please enter an integer.";

}  // namespace quorl
