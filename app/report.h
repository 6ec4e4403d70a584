#pragma once
// Quorl's one way to tell the user something: a modal message box with a single OK button and the
// exact text. Tests replace it by a hook; an empty hook restores the message box.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace quorl {

// Receives the text, the icon and the detail instead of the message box.
using ReportHook = std::function<void(const QString& text, QMessageBox::Icon icon, const QString& detail)>;

// Shows `text` verbatim (OK button, caption "Quorl") over `parent`, with `detail` (what the message
// concerns and why, such as a file's path and the reason) below it when not empty; or hands all to the hook.
void ShowReport(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon,
                const QString& detail = QString());

// Installs `hook` and returns the previous one.
ReportHook SetReportHook(ReportHook hook);

}  // namespace quorl
