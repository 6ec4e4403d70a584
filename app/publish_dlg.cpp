#include "app/publish_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quorl {

CPublishDlg::CPublishDlg(bool on, int port, QWidget* parent)
    : QDialog(parent), on_(new QCheckBox(QStringLiteral("Publish poses"), this)), port_(new QSpinBox(this)) {
  setWindowTitle(QStringLiteral("Publish Poses"));
  on_->setChecked(on);
  port_->setRange(1, 65534);
  port_->setValue(port);
  auto* form = new QFormLayout;
  form->addRow(on_);
  form->addRow(QStringLiteral("Port:"), port_);
  auto* note = new QLabel(QStringLiteral("Every frame's targets as one line of JSON: plain TCP on the port, "
                                         "WebSocket on the next. Read-only, this machine only."),
                          this);
  note->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note);
  layout->addWidget(buttons);
}

bool CPublishDlg::on() const { return on_->isChecked(); }
int CPublishDlg::port() const { return port_->value(); }

}  // namespace quorl
