#pragma once
// One QApplication for a test program and a recorder of the messages the program shows.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <memory>

#include "app/report.h"

namespace quorl::testing {

class WidgetEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "quorl_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

// Collects every message instead of showing it, for its lifetime.
class ReportRecorder {
 public:
  ReportRecorder() {
    previous_ = SetReportHook([this](const QString& text, QMessageBox::Icon icon, const QString& detail) {
      texts.append(text);
      icons.append(icon);
      details.append(detail);
    });
  }
  ~ReportRecorder() { SetReportHook(previous_); }
  QStringList texts;
  QList<QMessageBox::Icon> icons;
  QStringList details;

 private:
  ReportHook previous_;
};

}  // namespace quorl::testing
