#pragma once
// Frame sources: anything that yields frames as 24-bit packed bitmaps, plus the packing helpers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "image/dib_image.h"

namespace quorl {

// Frame sizes a source accepts, on each axis. The upper bound keeps a packed frame far below 2 GiB.
inline constexpr int kMinFrameSide = 16;
inline constexpr int kMaxFrameSide = 4096;
bool IsValidFrameSize(int width, int height);
// "each side must be from 16 to 4096 pixels", for messages about sizes outside that range.
std::string FrameSizeRule();

// Sizes offered where any size goes (the synthetic scene, cameras with a stepwise size range), smallest
// first: 160x120, 176x144, 320x240, 352x288, 640x360, 640x480, 800x600, 1024x768, 1280x720, 1280x960,
// 1920x1080.
const std::vector<cv::Size>& CommonFrameSizes();

// Four image points (x right, y down, pixel centres at integer coordinates), clockwise from the top-left.
using FrameCorners = std::array<cv::Point2d, 4>;

// A target's truth in one frame, for sources that show several (the picture scene): listed while any part
// of it is in view; `whole` when all of it is. `pose`, where the source knows it: the target to the camera (x right,
// y down, z forwards; the target's centre at the origin, its x and y along its top and left edges, its plane z = 0),
// the translation in target widths.
struct TargetTruth {
  std::string name;
  FrameCorners corners;
  bool whole = false;
  std::optional<cv::Matx44d> pose;
};

// One source of frames: the synthetic scene, a video file, an image sequence, a still image or a camera.
// Not thread-safe; one thread reads at a time. The caller owns the source (see OpenFrameSource).
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Writes the next frame into `packed` in the PackBgrFrame layout. The vector is resized to exactly the
  // bitmap's size, so its capacity grows only for a larger frame. Returns false when no frame comes (the
  // end of a file read once, a device that stopped delivering); `packed` is then unchanged.
  virtual bool read(std::vector<uint8_t>& packed) = 0;

  // Size of the frames read() delivers now; for a camera, the size of the last frame it actually delivered.
  virtual int width() const = 0;
  virtual int height() const = 0;

  // One line for people, e.g. "synthetic scene 'orbit', 320x240, seed 1".
  virtual std::string description() const = 0;

  // Nominal frames per second (the rate a file plays at); 0 when unknown.
  virtual double frameRate() const = 0;

  // Frames in one pass of a file or sequence; -1 for live and synthetic sources or when unknown.
  virtual int frameCount() const { return -1; }

  // The target's four corners in the last frame read, for sources that know them (the synthetic scene).
  virtual std::optional<FrameCorners> trueCorners() const { return std::nullopt; }
  // The target's pose in the last frame read, for sources that know it (the synthetic scene): target to camera
  // (x right, y down, z forwards), the translation in units of the target's longer side.
  virtual std::optional<cv::Matx44d> truePose() const { return std::nullopt; }
  // The truth of each named target in the last frame read, for sources that show several; empty otherwise.
  virtual std::vector<TargetTruth> trueTargets() const { return {}; }
  virtual bool knowsTargets() const { return false; }

  // Asks for width x height frames. The synthetic scene renders any valid size; a camera gets the nearest
  // size the device offers (width()/height() tell which); files and images are scaled to the size, and
  // 0 x 0 returns them to their own size. Returns false, keeping the previous size, for a size outside
  // kMinFrameSide..kMaxFrameSide or when the source cannot deliver frames any more.
  virtual bool setFrameSize(int width, int height) = 0;

  // setFrameSize plus, for a camera, a pixel format (four characters such as "MJPG"; empty keeps the current
  // one) and a frame rate (0 keeps the current one). Other sources take only a plain size: they refuse a
  // pixel format or a rate.
  virtual bool setMode(int width, int height, const std::string& fourcc, double framesPerSecond) {
    return fourcc.empty() && framesPerSecond == 0.0 && setFrameSize(width, height);
  }

  // Who delivers the frames, without the current size, e.g. "camera 0 'HD Webcam' (/dev/video0)".
  virtual std::string name() const { return description(); }

  // True when read() waits on a device or a decoder (cameras, video files, image sequences); the desktop
  // program reads such sources on a capture thread (ThreadedSource).
  virtual bool readsBlock() const { return false; }

  // Closes and opens the device again in its current mode, for a source whose reads fail (an unplugged
  // camera). False while it cannot be opened, and for sources that have nothing to reopen.
  virtual bool restart() { return false; }
};

// Bytes of a packed 24-bit width x height bitmap: kDibHeaderSize + DibStride(width, 24) * height;
// 0 for a size outside the valid range.
std::size_t PackedFrameSize(int width, int height);

// Packs an 8-bit BGR image (row 0 at the top) as a 40-byte BITMAPINFOHEADER (biSize 40, width, positive
// height, 1 plane, 24 bits, no compression, biSizeImage = stride * height) followed by the rows bottom-up,
// each padded with zero bytes to a multiple of 4. `packed` is resized to PackedFrameSize.
// Returns false, leaving `packed` unchanged, for an empty image, another type or an invalid size.
bool PackBgrFrame(const cv::Mat& bgr, std::vector<uint8_t>& packed);

// The reverse: a new BGR image (row 0 at the top) from a packed 24-bit bitmap of `byteCount` readable
// bytes. Empty when the header is not the one PackBgrFrame writes (biSize 40, 24 bits, no compression,
// positive width and height) or the rows do not fit in byteCount.
cv::Mat UnpackFrame(const uint8_t* packed, std::size_t byteCount);
inline cv::Mat UnpackFrame(const std::vector<uint8_t>& packed) { return UnpackFrame(packed.data(), packed.size()); }

}  // namespace quorl
