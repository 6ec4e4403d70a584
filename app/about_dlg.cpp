#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QUrl>
#include <QVBoxLayout>

#include "app/app_icon.h"
#include "app/data_paths.h"
#include "qtcommon/dialog_units.h"
#include "app/hyperlink.h"

namespace quorl {

namespace {

// Template size in dialog units.
constexpr int kDialogWidth = 312;
constexpr int kDialogHeight = 194;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Quorl"));
  const DialogUnits du(font());
  setMinimumSize(du.rect(0, 0, kDialogWidth, kDialogHeight).size());

  auto* icon = new QLabel(this);
  icon->setPixmap(QuorlIcon().pixmap(48, 48));
  auto* title = new QLabel(QStringLiteral("Quorl Version 2.0"), this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);

  const QString readme = ShippedFileUrl(QStringLiteral("README.md"));
  const struct {
    int id;
    const char* text;
    QString url;
  } links[] = {
      {IDC_LINK_TEAM, "The Quorl team", readme},
      {IDC_LINK_DOCS, "Quorl screenshots", ShippedFileUrl(QStringLiteral("docs"))},
      {IDC_LINK_CALIBRATION, "Camera calibration notes", ShippedFileUrl(QStringLiteral("Data/README.md"))},
      {IDC_LINK_README, nullptr, readme},
  };
  for (const auto& l : links) {
    // Without a text the link shows its target, as a path when it is a local file.
    const QUrl url(l.url);
    const QString text = l.text != nullptr ? QString::fromLatin1(l.text) : url.isLocalFile() ? url.toLocalFile() : l.url;
    auto* link = new CHyperLink(text, this);
    link->SetURL(l.url);
    link->SetColours(QColor(0, 0, 238), QColor(255, 0, 0));
    link->SetUnderline(true);
    link->SetLinkCursor(QCursor(Qt::PointingHandCursor));
    controls_.insert(l.id, link);
  }
  auto* third = new QLabel(QStringLiteral("and the Quorl contributors"), this);
  controls_.insert(IDC_THIRD_NAME, third);

  auto* usage = new QPlainTextEdit(this);
  usage->setReadOnly(true);
  // The text keeps its CR LF line ends; the box shows plain line breaks.
  usage->setPlainText(QString::fromLatin1(kUsageText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  controls_.insert(IDC_USAGE, usage);

  auto* info = new QVBoxLayout;
  info->addWidget(title);
  info->addWidget(new QLabel(QStringLiteral("Copyright (C) 2026 the Quorl team. All rights reserved."), this));
  info->addWidget(new QLabel(QStringLiteral("Augmented Reality by Real-time Keypoint matching"), this));
  info->addSpacing(du.rect(0, 0, 0, 6).height());
  auto* people = new QGridLayout;
  people->addWidget(new QLabel(QStringLiteral("Produced by:"), this), 0, 0, Qt::AlignTop);
  people->addWidget(controls_.value(IDC_LINK_TEAM), 0, 1, Qt::AlignLeft);
  people->addWidget(controls_.value(IDC_LINK_DOCS), 1, 1, Qt::AlignLeft);
  people->addWidget(third, 2, 1, Qt::AlignLeft);
  people->addWidget(new QLabel(QStringLiteral("Useful links:"), this), 3, 0, Qt::AlignTop);
  people->addWidget(controls_.value(IDC_LINK_CALIBRATION), 3, 1, Qt::AlignLeft);
  people->addWidget(controls_.value(IDC_LINK_README), 4, 1, Qt::AlignLeft);
  people->setColumnStretch(1, 1);
  info->addLayout(people);
  info->addStretch();

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(info, 1);
  top->addWidget(usage, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
}

CHyperLink* CAboutDlg::link(int id) const { return qobject_cast<CHyperLink*>(controls_.value(id)); }

}  // namespace quorl
