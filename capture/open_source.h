#pragma once
// Source names as users write them ("synthetic:orbit", "camera:0", "auto", a file, an image pattern) and
// the one call that opens any of them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "capture/board_scene.h"
#include "capture/frame_source.h"
#include "capture/picture_scene.h"
#include "capture/synthetic_scene.h"

namespace quorl {

// Largest N of "camera:N" (the N of /dev/videoN).
inline constexpr int kMaxCameraIndex = 255;
// Longest accepted source name, in bytes.
inline constexpr std::size_t kMaxSourceNameLength = 4096;

// What a source name asks for.
//   "synthetic" / "synthetic:PROFILE"  the synthetic scene (profile orbit by default)
//   "pictures:PROFILE"                 the picture scene over FrameSourceOptions::pictures
//   "pictures:PROFILE:FOLDER"          the picture scene over the picture files of FOLDER, in name order
//   "board" / "board:chessboard" / "board:charuco"  the board scene with its default board of that kind
//   "camera:N"                         V4L2 camera /dev/videoN, 0 <= N <= kMaxCameraIndex
//   "auto"                             the first camera that opens, else the synthetic scene
//   a name holding '%'                 an image sequence: exactly one conversion %d, %Nd or %0Nd (N: 1-2
//                                      digits) and no other '%', e.g. "frames/%04d.png"
//   anything else                      a video or image file
struct SourceRequest {
  enum class Kind { kSynthetic, kCamera, kAuto, kFile, kImageSequence, kPictures, kBoard };
  Kind kind = Kind::kSynthetic;
  MotionProfile profile = MotionProfile::kOrbit;  // kSynthetic
  int cameraIndex = 0;                            // kCamera
  std::string path;                               // kFile, kImageSequence
  PictureProfile pictureProfile = PictureProfile::kTable;  // kPictures
  std::string pictureFolder;  // kPictures: the folder of the pictures; empty: FrameSourceOptions::pictures
  BoardLayout::Kind boardKind = BoardLayout::Kind::kChessboard; // kBoard
};

// Classifies `text` without touching the file system. Any byte string is safe to pass. Nothing, with a
// message for the user in `error`, for an empty or overlong name, control characters, an unknown profile,
// a bad camera index or a bad image pattern.
std::optional<SourceRequest> ParseSourceName(std::string_view text, std::string& error);

struct FrameSourceOptions {
  // Size of synthetic frames and the size asked of a camera (which may deliver another). Files and
  // images keep their own size; FrameSource::setFrameSize scales them.
  int width = 320;
  int height = 240;
  uint32_t seed = 1;  // synthetic scene: path phases and noise
  // Files, sequences and still images: start again at the end (the desktop program) rather than end
  // (the headless tool).
  bool loop = false;
  // Synthetic scene camera for width x height; unset: DefaultIntrinsics(width, height).
  std::optional<PinholeIntrinsics> intrinsics;
  SceneEffects effects;     // synthetic scene degradations, all off by default
  std::string targetImage;  // synthetic scene: image file for the target; empty: built-in texture
  std::vector<std::string> pictures;  // picture scene: the pictures on the table, each named by its file's stem
  // Synthetic and picture scenes: film through this lens (rescaled to the frame size) instead of a pinhole camera.
  std::optional<CameraLens> lens;
};

// The picture files of `folder` (regular files whose extension, in any case, is one of .png .jpg .jpeg .bmp .tif
// .tiff .webp .pgm .ppm), in name order; not its subfolders'. Empty, with `ec` set, when it cannot be listed. The
// picture scene ("pictures:PROFILE:FOLDER") and quorl-library take a folder's pictures alike.
std::vector<std::string> PictureFilesIn(const std::string& folder, std::error_code& ec);

// Opens the source that `sourceName` names. Nothing, with a message for the user in `error`, when the name is bad
// (ParseSourceName), a file is missing or unreadable, no image matches a pattern, the camera does not open,
// or the options are invalid. An existing file whose name holds '%' is opened as a file.
// Ownership: the caller owns the returned source.
std::unique_ptr<FrameSource> OpenFrameSource(std::string_view sourceName, const FrameSourceOptions& options,
                                             std::string& error);

}  // namespace quorl
