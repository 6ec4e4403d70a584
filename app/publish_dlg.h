#pragma once
// Configurations > Publish Poses...: whether the pose stream runs, and on which port.

#include <QDialog>

class QCheckBox;
class QSpinBox;

namespace quorl {

class CPublishDlg : public QDialog {
  Q_OBJECT

 public:
  // Shows `on` and `port` (1..65534; TCP on it, WebSocket on the next).
  CPublishDlg(bool on, int port, QWidget* parent = nullptr);
  bool on() const;
  int port() const;
  QCheckBox* onBox() const { return on_; }
  QSpinBox* portBox() const { return port_; }

 private:
  QCheckBox* on_;
  QSpinBox* port_;
};

}  // namespace quorl
