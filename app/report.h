#pragma once
// Quorl's one way to tell the user something: a modal message box with a single OK button and the
// exact text. Tests replace it by a hook; an empty hook restores the message box.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace quorl {

// Receives the text and the icon instead of the message box.
using ReportHook = std::function<void(const QString& text, QMessageBox::Icon icon)>;

// Shows `text` verbatim (OK button, caption "Quorl") over `parent`, or hands it to the hook.
void ShowReport(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon);

// Installs `hook` and returns the previous one.
ReportHook SetReportHook(ReportHook hook);

}  // namespace quorl
