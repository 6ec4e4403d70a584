#pragma once
// A frame source that stands in for a camera: it stalls, fails and recovers on command. Its reads block
// until the test lets frames through, like a driver waiting for the sensor.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <opencv2/core.hpp>

#include "tests/capture/fake_source.h"

namespace quorl::testing {

// The commands, shared between the test and the source (which may live on after the test let go of it).
class Gate {
 public:
  // Lets `n` more frames through.
  void allow(int n) { change([&] { allowed_ += n; }); }
  // Reads fail at once while set (an unplugged camera); restarts succeed only while `back` is set.
  void setFailing(bool failing) { change([&] { failing_ = failing; }); }
  void setDeviceBack(bool back) { change([&] { back_ = back; }); }
  // Every waiting read returns without a frame, for good.
  void close() { change([&] { closed_ = true; }); }

  // Waits (up to 10 s) until `done` holds for (reads started, frames delivered, restarts).
  template <class Done>
  bool waitFor(Done done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done(reads_, delivered_, restarts_); });
  }

  // The source side: waits for a frame; its number (1, 2, ...) or 0 when none comes.
  int read() {
    std::unique_lock lock(mutex_);
    ++reads_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return allowed_ > 0 || failing_ || closed_; });
    if (failing_ || closed_) return 0;
    --allowed_;
    changed_.notify_all();
    return ++delivered_;
  }
  bool restart() {
    std::lock_guard lock(mutex_);
    ++restarts_;
    changed_.notify_all();
    return back_;
  }

 private:
  template <class F>
  void change(F f) {
    std::lock_guard lock(mutex_);
    f();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int allowed_ = 0;
  bool failing_ = false;
  bool back_ = true;
  bool closed_ = false;
  int reads_ = 0;
  int delivered_ = 0;
  int restarts_ = 0;
};

// Flat frames whose blue byte is the number of frames delivered so far (mod 256); reads wait on the gate.
class GatedSource : public FakeSource {
 public:
  GatedSource(std::shared_ptr<Gate> gate, int w, int h, double fps = 30.0, int count = -1)
      : FakeSource(w, h, fps, count), gate_(std::move(gate)) {}

  bool read(std::vector<uint8_t>& packed) override {
    const int number = gate_->read();
    return number > 0 && PackBgrFrame(cv::Mat(height(), width(), CV_8UC3, cv::Scalar(number % 256, 0, 0)), packed);
  }
  std::string name() const override { return "gated camera (/dev/video7)"; }
  bool readsBlock() const override { return true; }
  bool restart() override { return gate_->restart(); }

 private:
  std::shared_ptr<Gate> gate_;
};

}  // namespace quorl::testing
