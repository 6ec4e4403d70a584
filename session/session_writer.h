#pragma once
// Writes a session folder while a program runs: each frame as a PNG file on a worker thread, the files
// the run used copied in, and session.json at Finish.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "session/session.h"

namespace quorl {

// Ownership: the writer owns its worker thread and the frames queued for it; the caller's buffers are
// copied at AddFrame. All calls come from one thread. Every write is checked: the first failure is kept,
// names the file and its reason, and makes AddFrame and Finish return false.
class SessionWriter {
 public:
  // Bytes of frames waiting for the worker at most (about 270 frames of 320x240, 10 of 1920x1080); AddFrame
  // waits for the worker while more are queued, so a slow disk slows the caller and loses no frame.
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{64} << 20;
  // PNG compression (zlib level 0..9) of the frames: 1, the fastest that compresses (bench_session: about
  // 7 ms and 110 KiB a 320x240 synthetic frame, 22 ms and 290 KiB at 640x480).
  static constexpr int kPngCompression = 1;

  SessionWriter() = default;
  ~SessionWriter();  // stops the worker without writing session.json (see Finish)
  SessionWriter(const SessionWriter&) = delete;
  SessionWriter& operator=(const SessionWriter&) = delete;

  // Creates `dir` (a new or empty folder: one holding anything is refused, so that no earlier recording is
  // overwritten) with its frames/ folder, and starts the worker. `program` names the recording program;
  // its version is the project's. False, with `error` naming the folder and the reason.
  bool Open(const std::string& dir, const std::string& program, std::string& error);
  const std::string& dir() const { return dir_; }

  // What session.json says of the source (description, nominal rate) and the engine options.
  void SetSource(const std::string& description, double frameRate);
  void SetOptions(const EngineOptions& options) { info_.options = options; }
  // Copies a camera parameter file (or an OpenCV calibration) into the folder under its own file name.
  bool AddCameraParams(const std::string& path, std::string& error);
  bool AddCalibration(const std::string& path, std::string& error);
  // Copies a target picture as pictures/<name><suffix>, with its printed width (0: none).
  bool AddPicture(const std::string& path, const std::string& name, double width, std::string& error);

  // Queues the packed frame (PackBgrFrame's layout) as the next frame, with `source`'s truth of it
  // (trueCorners, and trueTargets when it knowsTargets). Every frame must have the first one's size.
  // False, with `error`, for a frame that is not a packed 24-bit bitmap or has another size, and after
  // a write failed.
  bool AddFrame(const uint8_t* packed, std::size_t byteCount, const FrameSource& source, std::string& error);
  // The clicked target registered on frame `frame` (one already added) with `corners`.
  void AddRegistration(long long frame, const Quad& corners);
  // Frames added so far.
  long long frames() const { return added_; }

  // Waits for the queued frames, stops the worker and writes session.json (through a temporary file
  // renamed into place) for the frames written: after a failure, those before it. False, with `error`,
  // when a frame or session.json could not be written. Call once; later calls fail.
  bool Finish(std::string& error);

 private:
  bool copyIn(const std::string& path, const std::string& name, std::string& error);
  void work();
  // Sets the first failure; the caller holds mutex_.
  void fail(const std::string& problem);

  std::string dir_;
  SessionInfo info_;
  long long added_ = 0;  // frames added
  bool anyTruth_ = false;    // some frame's source knew the target's corners
  bool anyTargets_ = false;  // some frame's source knew its named targets
  bool open_ = false;

  struct Frame {
    long long index;
    cv::Mat bgr;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Frame> queue_;  // guarded by mutex_, as the three below
  std::size_t queuedBytes_ = 0;
  long long written_ = 0;  // frames 0..written_-1 are on disk
  std::string failure_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace quorl
