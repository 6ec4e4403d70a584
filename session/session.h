#pragma once
// A recorded session: a folder holding the frames a source gave (frames/000000.png, ...) and session.json,
// which says what is needed to run them through the tracker again: the source, the frame size and count,
// the calibration files, the engine options, the registrations, the target pictures and, where the source
// knew it, the truth of every frame. No Qt, no GL.
//
// The frames are PNG files, not one FFV1 video in Matroska. Both come back bit for bit through OpenCV here,
// and FFV1 files are 30-45 % smaller (bench_session), but the same frames always give the same PNG bytes
// while each Matroska write differs, a frame cut short by a crash or a full disk loses that frame alone
// (not the video's index), a missing frame is told by its name, and reading needs no video decoder.

#include <optional>
#include <string>
#include <vector>

#include "capture/frame_source.h"
#include "features/model.h"
#include "tracker/engine.h"

namespace quorl {

// The format name and version session.json carries; a reader takes this version only.
inline constexpr const char* kSessionFormat = "quorl-session";
inline constexpr int kSessionVersion = 1;
inline constexpr const char* kSessionFile = "session.json";
// Frame i is frames/ followed by i in six digits and ".png" (more digits past 999999); session.json says so
// in an image sequence's pattern.
inline constexpr const char* kSessionFramePattern = "frames/%06d.png";
// Target pictures are copied into this subfolder, each as <target name><suffix of its file>.
inline constexpr const char* kSessionPictureFolder = "pictures";

// The clicked target registered on a recorded frame with these corners (frame pixels, clockwise from the
// top-left).
struct SessionRegistration {
  long long frame = 0;
  Quad corners{};
  bool operator==(const SessionRegistration&) const = default;
};

// A target picture: its name as the tracker gave it, its copy in the folder, its printed width (0: none).
struct SessionPicture {
  std::string name;
  std::string file;
  double width = 0.0;
  bool operator==(const SessionPicture&) const = default;
};

// What session.json holds. File names are relative to the session's folder.
struct SessionInfo {
  std::string program;         // the recording program, e.g. "quorl-track"
  std::string programVersion;  // its version
  std::string source;          // the source's description()
  int width = 0;               // every frame's size
  int height = 0;
  long long frameCount = 0;
  double frameRate = 0.0;        // the source's nominal rate; 0 when unknown
  std::string cameraParams;      // the camera parameter file used; empty: none
  std::string calibration;       // an OpenCV calibration (YAML or XML) used; empty: none
  EngineOptions options;
  std::vector<SessionRegistration> registrations;  // in frame order
  std::vector<SessionPicture> pictures;
  // Per frame when the source knew where the target was (frameCount entries, nothing for a frame
  // without), else empty.
  std::vector<std::optional<FrameCorners>> truth;
  // Per frame when the source knew its named targets (frameCount entries), else empty.
  std::vector<std::vector<TargetTruth>> targetTruth;
};

// The corners the last registration on `frame` used; nothing when none was made on it.
std::optional<Quad> RegistrationOn(const SessionInfo& info, long long frame);

// The path of frame `index` in the folder `dir`.
std::string SessionFramePath(const std::string& dir, long long index);

// The text of session.json, one value per line where that reads well.
std::string SessionJson(const SessionInfo& info);

// The reverse. Nothing, with `error` (the reason, naming the field), for text that is not JSON, another
// format or version, or a field that is missing, of the wrong type or out of range.
std::optional<SessionInfo> ParseSessionJson(const std::string& text, std::string& error);

}  // namespace quorl
