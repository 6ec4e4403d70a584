#pragma once
// A scripted frame source: flat frames of a settable size, every read counted.

#include <vector>

#include <opencv2/core.hpp>

#include "capture/frame_source.h"

namespace quorl::testing {

class FakeSource : public FrameSource {
 public:
  FakeSource(int w, int h, double fps = 30.0, int count = -1) : w_(w), h_(h), fps_(fps), count_(count) {}

  int* reads = nullptr;  // incremented by every read when set
  bool deliver = true;   // false: read() gives nothing

  bool read(std::vector<uint8_t>& packed) override {
    if (reads != nullptr) ++*reads;
    if (!deliver) return false;
    ++frame_;
    return PackBgrFrame(cv::Mat(h_, w_, CV_8UC3, cv::Scalar(frame_ % 256, 0, 0)), packed);
  }
  int width() const override { return w_; }
  int height() const override { return h_; }
  std::string description() const override { return "fake"; }
  double frameRate() const override { return fps_; }
  int frameCount() const override { return count_; }
  bool setFrameSize(int w, int h) override {
    if (!IsValidFrameSize(w, h)) return false;
    w_ = w;
    h_ = h;
    return true;
  }
  // Blue byte of the last frame delivered.
  int frame() const { return frame_ % 256; }

 private:
  int w_, h_;
  double fps_;
  int count_;
  int frame_ = 0;
};

}  // namespace quorl::testing
