#pragma once
// Reads a session folder back: session.json checked against the folder, and its frames as a frame source.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/frame_source.h"
#include "session/session.h"

namespace quorl {

// Reads `dir`/session.json. Nothing, with `error` naming the file and the reason, for a missing folder, a
// missing, unreadable or damaged session.json, another format or version, or a file it names (a frame,
// the calibration, a picture) missing from the folder.
std::optional<SessionInfo> ReadSession(const std::string& dir, std::string& error);

// `name` (a file name of session.json) inside `dir`.
std::string SessionPath(const std::string& dir, const std::string& name);

// The recorded frames, in order, once (no loop), with the recorded truth. Ownership: owns its copy of the
// session's record; reads the frame files as it goes.
class SessionSource final : public FrameSource {
 public:
  SessionSource(std::string dir, SessionInfo info);

  // False at the end, and for a frame file that cannot be read as a frame of the session's size; error()
  // then names it and the reason.
  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return info_.width; }
  int height() const override { return info_.height; }
  // "session <dir>: <the recorded source's description>"
  std::string description() const override;
  double frameRate() const override { return info_.frameRate; }
  int frameCount() const override;
  std::optional<FrameCorners> trueCorners() const override;
  std::vector<TargetTruth> trueTargets() const override;
  bool knowsTargets() const override { return !info_.targetTruth.empty(); }
  // Only the recorded size (or 0 x 0, the same): scaling the frames would make another session.
  bool setFrameSize(int width, int height) override;

  const SessionInfo& info() const { return info_; }
  const std::string& dir() const { return dir_; }
  // Why the last read failed before the end; empty otherwise.
  const std::string& error() const { return error_; }

 private:
  std::string dir_;
  SessionInfo info_;
  long long next_ = 0;  // the frame read() gives next
  std::string error_;
};

}  // namespace quorl
