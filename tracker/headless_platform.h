#pragma once
// The host of a frame loop without a window: hands over the frame stored last and prints messages on
// standard error.

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "tracker/tracker.h"

namespace quorl {

class HeadlessPlatform final : public TrackerPlatform {
 public:
  // `name` starts every printed message ("<name>: <text> <detail>").
  explicit HeadlessPlatform(std::string name) : name_(std::move(name)) {}

  std::vector<uint8_t> packed;  // the frame the next tick grabs (a packed bitmap); none while empty
  TrackerSettings values;

  bool hasCapture() const override { return true; }
  bool grabFrame(const uint8_t*& data, std::size_t& byteCount) override {
    if (packed.empty()) return false;
    data = packed.data();
    byteCount = packed.size();
    return true;
  }
  void startTick() override {}
  void stopTick() override {}
  void requestRepaint() override {}
  TrackerSettings& settings() override { return values; }
  void refreshSettingsDisplay() override {}
  void report(const std::string& text, const std::string& detail) override {
    std::cerr << name_ << ": " << text << (detail.empty() ? "" : " ") << detail << "\n";
  }

 private:
  std::string name_;
};

}  // namespace quorl
