#pragma once
// A frame source read on a capture thread of its own. Cameras wait on the driver and files on the decoder
// inside read(); here a thread does that waiting and keeps only the newest frame, so a caller's read()
// never waits on the device, whether it delivers, stalls or has gone.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "capture/frame_source.h"

namespace quorl {

// How the capture thread paces itself. Defaults suit the desktop program; tests shorten them.
struct CaptureTiming {
  // After a failed read, the thread waits this long before reading again.
  std::chrono::milliseconds retryDelay{50};
  // While reads fail, the source is restarted (FrameSource::restart) at most this often.
  std::chrono::milliseconds restartInterval{1000};
  // A file or sequence that states no frame rate is read at one frame per this period.
  std::chrono::milliseconds unknownRatePeriod{33};
  // The destructor waits this long for a read in progress; a read that takes longer is left to finish
  // on the thread, which then releases the source.
  std::chrono::milliseconds stopWait{200};
};

// Ownership: takes the source; the thread and this object share it, and it is released by whichever
// finishes last. Files and sequences (frameCount() >= 0) are read at their own frame rate, cameras as
// fast as they deliver. read(), trueCorners(), failing() and the size, rate and name queries never wait
// for a read in progress; setFrameSize and setMode wait for it, since the source may only be changed
// between reads.
class ThreadedSource final : public FrameSource {
 public:
  explicit ThreadedSource(std::unique_ptr<FrameSource> source, CaptureTiming timing = {});
  ~ThreadedSource() override;
  ThreadedSource(const ThreadedSource&) = delete;
  ThreadedSource& operator=(const ThreadedSource&) = delete;

  // Hands over the newest frame not handed over before (older ones are dropped); false when none has
  // arrived since the last call. Swaps buffers with `packed`, so no frame is copied.
  bool read(std::vector<uint8_t>& packed) override;
  int width() const override;
  int height() const override;
  std::string description() const override;
  std::string name() const override;
  double frameRate() const override;
  int frameCount() const override;
  std::optional<FrameCorners> trueCorners() const override;
  bool setFrameSize(int width, int height) override;
  bool setMode(int width, int height, const std::string& fourcc, double framesPerSecond) override;
  bool readsBlock() const override { return false; }

  // True from a failed read until the next frame arrives.
  bool failing() const;

  struct Facts;

 private:
  struct Shared;
  Facts facts() const;
  static void run(std::shared_ptr<Shared> shared);
  // Applies `change` to the source between reads, then takes over its new size and drops any frame of the
  // old one.
  template <class Change>
  bool changeSource(Change change);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace quorl
