#include "app/option_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "qtcommon/dialog_units.h"
#include "qtcommon/message.h"

namespace quorl {

namespace {
// Template size in dialog units; the inlier row below the frame rate fits inside it.
constexpr int kDialogWidth = 137;
constexpr int kDialogHeight = 169;
}  // namespace

COptionDlg::COptionDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Options"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  const DialogUnits du(font());

  // Group boxes first so the controls inside them stack above.
  auto* cornerBox = new QGroupBox(QStringLiteral("Corner Type"), this);
  du.place(cornerBox, 13, 15, 51, 65);
  auto* barrierBox = new QGroupBox(QStringLiteral("Barrier"), this);
  du.place(barrierBox, 70, 15, 53, 65);

  cornerGroup_ = new QButtonGroup(this);
  const struct {
    int id;
    const char* text;
    int y;
    int width;
  } radios[] = {{IDC_RADIO_9, "9", 25, 20}, {IDC_RADIO_10, "10", 39, 24}, {IDC_RADIO_11, "11", 53, 24},
                {IDC_RADIO_12, "12", 67, 24}};
  for (const auto& r : radios) {
    auto* button = new QRadioButton(QString::fromLatin1(r.text), this);
    du.place(button, 21, r.y, r.width, 10);
    cornerGroup_->addButton(button, r.id - IDC_RADIO_9);
    controls_.insert(r.id, button);
  }

  barrierEdit_ = new QLineEdit(this);
  du.place(barrierEdit_, 75, 27, 40, 14);
  controls_.insert(IDC_BARRIER, barrierEdit_);
  connect(barrierEdit_, &QLineEdit::returnPressed, this, &COptionDlg::OnUpdate);

  auto* update = new QPushButton(QStringLiteral("Update"), this);
  du.place(update, 42, 84, 50, 14);
  update->setAutoDefault(false);
  controls_.insert(IDC_UPDATE, update);
  connect(update, &QPushButton::clicked, this, &COptionDlg::OnUpdate);

  plotCheck_ = new QCheckBox(QStringLiteral("Plot kps"), this);
  du.place(plotCheck_, 75, 64, 41, 10);
  controls_.insert(IDC_PLOT_KPS, plotCheck_);
  connect(plotCheck_, &QCheckBox::clicked, this, &COptionDlg::OnPlotKps);

  auto readOnlyEdit = [&](int id, int y) {
    auto* edit = new QLineEdit(this);
    edit->setReadOnly(true);
    du.place(edit, 71, y, 21, 14);
    controls_.insert(id, edit);
    return edit;
  };
  countEdit_ = readOnlyEdit(IDC_KEYPOINT_COUNT, 115);
  rateEdit_ = readOnlyEdit(IDC_FRAME_RATE, 133);
  inlierEdit_ = readOnlyEdit(IDC_INLIER_COUNT, 151);

  const struct {
    const char* text;
    int x, y, width;
  } statics[] = {{"특징점 개수:", 19, 117, 46}, {"프레임률:", 19, 135, 36}, {"f/s", 95, 137, 10},
                 {"개", 97, 119, 9},           {"Inliers:", 19, 153, 46}};
  for (const auto& s : statics) du.place(new QLabel(QString::fromUtf8(s.text), this), s.x, s.y, s.width, 8);

  setFixedSize(du.rect(0, 0, kDialogWidth, kDialogHeight).size());
  UpdateData(false);
}

bool COptionDlg::exchangeInt(QLineEdit* edit, int& member, bool save) {
  if (!save) {
    edit->setText(QString::number(member));
    return true;
  }
  bool ok = false;
  const int value = edit->text().trimmed().toInt(&ok, 10);
  if (!ok) {
    ShowMessage(this, QString::fromLatin1(kMsgEnterInteger), {}, QMessageBox::Ok, QMessageBox::Warning);
    edit->setFocus();
    edit->selectAll();
    return false;
  }
  member = value;
  return true;
}

bool COptionDlg::UpdateData(bool save) {
  if (save) {
    settings_.cornerType = cornerGroup_->checkedId();
  } else {
    QAbstractButton* button = cornerGroup_->button(settings_.cornerType);
    if (button != nullptr) {
      button->setChecked(true);
    } else if (cornerGroup_->checkedButton() != nullptr) {
      cornerGroup_->setExclusive(false);
      cornerGroup_->checkedButton()->setChecked(false);
      cornerGroup_->setExclusive(true);
    }
  }
  // The refresh leaves the Barrier box alone while the user types in it.
  const bool typing = !save && (barrierEdit_->hasFocus() || barrierEdit_->isModified());
  if (!typing && !exchangeInt(barrierEdit_, settings_.barrier, save)) return false;
  if (save) {
    settings_.plotKeypoints = plotCheck_->isChecked() ? 1 : 0;
  } else {
    plotCheck_->setChecked(settings_.plotKeypoints != 0);
  }
  if (!exchangeInt(countEdit_, settings_.keypointCount, save)) return false;
  if (!exchangeInt(rateEdit_, settings_.frameRate, save)) return false;
  if (!save) inlierEdit_->setText(QString::number(inlierCount_));
  return true;
}

void COptionDlg::OnUpdate() {
  if (UpdateData(true)) barrierEdit_->setModified(false);
}

void COptionDlg::OnPlotKps() { settings_.plotKeypoints = settings_.plotKeypoints != 0 ? 0 : 1; }

}  // namespace quorl
