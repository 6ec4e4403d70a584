#pragma once
// The one way Quorl and Tessik tell or ask the user something: a modal message box with the exact text.
// Tests (and Tessik's picture mode, which has no user) replace it by a hook; an empty hook restores the box.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace quorl {

// What a message box shows besides its text.
struct MessageOptions {
  // What the message concerns and why (a file's path and the reason), shown below the text when not empty.
  QString detail;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Receives what the box would show and answers for the user.
using MessageHook = std::function<QMessageBox::StandardButton(const QString& text, const MessageOptions& options)>;

// Shows `text` verbatim over `parent`, captioned with the title of the parent's window (the application's
// name without a parent), and returns the button pressed; or hands everything to the hook. With No among
// the buttons No is the default, with Save, Save.
QMessageBox::StandardButton ShowMessage(QWidget* parent, const QString& text, const QString& detail = QString(),
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::Icon icon = QMessageBox::NoIcon);

// Installs `hook` and returns the previous one.
MessageHook SetMessageHook(MessageHook hook);

}  // namespace quorl
