#pragma once
// A scripted host for the frame loop: frames are queued packed bitmaps; every call is counted.

#include <deque>
#include <string>
#include <vector>

#include "tracker/tracker.h"

namespace quorl::testing {

class FakePlatform : public TrackerPlatform {
 public:
  bool capture = true;
  std::deque<std::vector<uint8_t>> frames;  // next frames, front first
  std::vector<uint8_t> current;
  TrackerSettings values;
  std::vector<std::string> reports;
  std::vector<std::string> details;  // the detail of each report
  int starts = 0, stops = 0, repaints = 0, refreshes = 0;

  bool hasCapture() const override { return capture; }
  bool grabFrame(const uint8_t*& packed, std::size_t& byteCount) override {
    if (frames.empty()) return false;
    current = std::move(frames.front());
    frames.pop_front();
    packed = current.data();
    byteCount = current.size();
    return true;
  }
  void startTick() override { ++starts; }
  void stopTick() override { ++stops; }
  void requestRepaint() override { ++repaints; }
  TrackerSettings& settings() override { return values; }
  void refreshSettingsDisplay() override { ++refreshes; }
  void report(const std::string& text, const std::string& detail) override {
    reports.push_back(text);
    details.push_back(detail);
  }
};

// Packed bytes of a DibImage, as a grabber would hand them over.
inline std::vector<uint8_t> packedBytes(const DibImage& dib) {
  return std::vector<uint8_t>(dib.dib(), dib.dib() + dib.dibSize());
}

}  // namespace quorl::testing
