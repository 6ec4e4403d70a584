#include "app/report.h"

#include <utility>

namespace quorl {

namespace {
ReportHook& hook() {
  static ReportHook h;
  return h;
}
}  // namespace

void ShowReport(QWidget* parent, const QString& text, QMessageBox::Icon icon, const QString& detail) {
  if (hook()) {
    hook()(text, icon, detail);
    return;
  }
  QMessageBox box(icon, QStringLiteral("Quorl"), text, QMessageBox::Ok, parent);
  box.setInformativeText(detail);
  box.exec();
}

ReportHook SetReportHook(ReportHook h) { return std::exchange(hook(), std::move(h)); }

}  // namespace quorl
