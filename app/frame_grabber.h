#pragma once
// The frame grabber: one frame source behind the tick, the newest frame kept as a packed 24-bit bitmap
// (40-byte header, bottom-up rows padded to 4 bytes), and the Video Format and Video Source dialogs.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/frame_source.h"
#include "capture/threaded_source.h"

class QWidget;

namespace quorl {

class CFrameGrabber {
 public:
  using Clock = std::chrono::steady_clock;
  // A source read on the caller's thread is asked for a new frame only when the last one is older than
  // this, whatever the caller's rate.
  static constexpr std::chrono::milliseconds kMinRequestInterval{20};
  // A source on a capture thread that hands over no frame for longer than this counts as stopped.
  static constexpr std::chrono::milliseconds kStopAfter{1000};

  CFrameGrabber() = default;
  ~CFrameGrabber();
  CFrameGrabber(const CFrameGrabber&) = delete;
  CFrameGrabber& operator=(const CFrameGrabber&) = delete;

  // Takes `source` and reads its format. Fails (returns false, `source` dropped) when another grabber is
  // active, this one already has a source, or the source reports no valid frame size. On success this
  // grabber is the active one until Destroy or its destruction. A source whose reads block (a camera, a
  // file) is read on a capture thread (ThreadedSource) with the given timing.
  bool Create(std::unique_ptr<FrameSource> source, const CaptureTiming& timing = {});
  // Opens `sourceName` (OpenViewSource) and connects it in place of any current source; the current one stays
  // when the new one cannot be opened, and `error` tells why. The name of the connected source keeps it as
  // it is (an open camera is not opened twice, a chosen format stays).
  bool Open(const std::string& sourceName, std::string& error);
  // The picture files the picture scene shows when Open is asked for one.
  void SetScenePictures(std::vector<std::string> pictures) { scenePictures_ = std::move(pictures); }
  // Name of the source connected by Open, as OpenViewSource resolves it ("auto" becomes the camera or
  // synthetic scene it opened); empty otherwise.
  const std::string& sourceName() const { return sourceName_; }
 private:
  std::vector<std::string> scenePictures_;

 public:
  // Drops the source; the buffer stays until destruction.
  void Destroy();

  // True while a source is connected (the video commands work only then).
  bool HasSource() const { return source_ != nullptr; }
  const FrameSource* source() const { return source_.get(); }

  // The newest frame, or null without a buffer. Never waits for a source on a capture thread: hands over
  // the newest frame not handed over before, null when none has arrived since. A source on this thread
  // is asked for a new frame only when more than kMinRequestInterval has passed since the last request;
  // until then, or when it gives no frame, the previous one is returned again.
  const uint8_t* GetFrame(std::size_t& byteCount);
  // True while the source on a capture thread fails its reads or has handed over no frame for longer
  // than kStopAfter; it resumes by itself when frames come again.
  bool SourceStopped() const;

  // Frame size from the buffer's header; 0 x 0 without a buffer.
  int FrameWidth() const;
  int FrameHeight() const;

  // Rereads the source's frame size and writes the header of a frame of that size; the buffer grows only
  // for a larger format and is sized for padded rows. Without a source, or for a size the source cannot
  // give, the buffer is released.
  void UpdateFormat();

  // Asks the source for width x height frames, then UpdateFormat; returns whether the source took it.
  // A camera may deliver another size: FrameWidth/FrameHeight tell the size actually delivered. A camera
  // is also asked for `pixelFormat` (four characters, e.g. "MJPG") and `framesPerSecond` when given.
  bool SetFormat(int width, int height, const std::string& pixelFormat = {}, double framesPerSecond = 0.0);
  // Connects `source` in place of the current one (if any) and reads its format; this grabber becomes the
  // active one. Fails like Create, except that a current source is replaced; on failure (also for a null
  // `source`) the current source stays.
  bool ReplaceSource(std::unique_ptr<FrameSource> source, const CaptureTiming& timing = {});

  // Modal dialogs; each returns 1 when a change was made, 0 otherwise. Video Format needs a source that
  // is not stopped (it says so otherwise); Video Source also connects one where there is none (the way
  // out of a missing camera).
  int VideoFormatDialog(QWidget* parent);
  int VideoSourceDialog(QWidget* parent);

  // The grabber that owns a connected source, or null. At most one exists at a time.
  static CFrameGrabber* ActiveGrabber();

  // Replaces the clock (tests); an empty function restores steady_clock::now.
  void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }
  // Number of frames requested from the source so far (handed over, for a capture thread).
  int RequestCount() const { return requests_; }
  // Capacity of the frame buffer in bytes.
  std::size_t BufferCapacity() const { return buffer_.capacity(); }

 private:
  Clock::time_point now() const { return clock_ ? clock_() : Clock::now(); }

  std::unique_ptr<FrameSource> source_;
  ThreadedSource* threaded_ = nullptr;  // source_ when it runs on a capture thread
  std::string sourceName_;
  std::vector<uint8_t> buffer_;  // packed bitmap: header, then rows; empty without a format
  bool haveRequest_ = false;
  Clock::time_point lastRequest_{};
  Clock::time_point lastFrame_{};  // capture thread: when the last frame was handed over
  std::function<Clock::time_point()> clock_;
  int requests_ = 0;
};

}  // namespace quorl
