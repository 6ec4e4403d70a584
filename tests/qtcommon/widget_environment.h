#pragma once
// One QApplication for a test program and a recorder of the messages the program shows.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <memory>

#include "qtcommon/message.h"

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

// Collects every message instead of showing it, for its lifetime; a question offering `answer` gets it.
class ReportRecorder {
 public:
  explicit ReportRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok) {
    previous_ = SetMessageHook([this, answer](const QString& text, const MessageOptions& options) {
      texts.append(text);
      icons.append(options.icon);
      details.append(options.detail);
      return options.buttons.testFlag(answer) ? answer : QMessageBox::Ok;
    });
  }
  ~ReportRecorder() { SetMessageHook(previous_); }
  QStringList texts;
  QList<QMessageBox::Icon> icons;
  QStringList details;

 private:
  MessageHook previous_;
};

}  // namespace quorl::testing
