#include "qtcommon/message.h"

#include <QCoreApplication>
#include <QWidget>
#include <utility>

namespace quorl {

namespace {

MessageHook& hook() {
  static MessageHook h;
  return h;
}

}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* parent, const QString& text, const QString& detail,
                                        QMessageBox::StandardButtons buttons, QMessageBox::Icon icon) {
  const MessageOptions options{detail, buttons, icon};
  if (hook()) return hook()(text, options);
  const QString caption = parent != nullptr ? parent->window()->windowTitle() : QCoreApplication::applicationName();
  QMessageBox box(options.icon, caption, text, options.buttons, parent);
  box.setInformativeText(options.detail);
  if (options.buttons.testFlag(QMessageBox::No)) box.setDefaultButton(QMessageBox::No);
  if (options.buttons.testFlag(QMessageBox::Save)) box.setDefaultButton(QMessageBox::Save);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

MessageHook SetMessageHook(MessageHook h) { return std::exchange(hook(), std::move(h)); }

}  // namespace quorl
