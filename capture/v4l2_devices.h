#pragma once
// V4L2 device discovery: capture devices by name, and the pixel formats, sizes and rates one device offers.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorl {

// One video capture node.
struct VideoDevice {
  std::string path;  // e.g. "/dev/video0"
  int index = 0;     // the N of /dev/videoN, which is also the N of the source "camera:N"
  std::string name;  // the card name from VIDIOC_QUERYCAP, e.g. "HD Webcam C270"
  std::string driver;
  std::string busInfo;
};

// The capture devices among `directory`/videoN, by increasing N. Nodes that are not character devices, do
// not answer VIDIOC_QUERYCAP, or cannot capture video (such as the metadata node beside a webcam) are left
// out. Empty when the directory is missing or holds none.
std::vector<VideoDevice> ListVideoDevices(const std::string& directory = "/dev");

// The device at `path` when it is a V4L2 video capture device; otherwise nothing and a reason in `error`.
std::optional<VideoDevice> QueryVideoDevice(const std::string& path, std::string& error);

// A frame interval in seconds per frame: numerator / denominator (1/30 is 30 frames per second).
struct FrameInterval {
  uint32_t numerator = 0;
  uint32_t denominator = 0;
};
// Frames per second of an interval; 0 for an interval with a zero part.
double FramesPerSecond(const FrameInterval& interval);

struct DeviceFrameSize {
  int width = 0;
  int height = 0;
  // Discrete intervals as the device lists them; for a stepwise or continuous range, its shortest and
  // longest interval. Empty when the device reports none.
  std::vector<FrameInterval> intervals;
};

struct PixelFormat {
  uint32_t fourcc = 0;
  std::string code;         // the four characters, e.g. "MJPG", "YUYV"
  std::string description;  // the driver's text, e.g. "Motion-JPEG"
  bool compressed = false;
  // Discrete sizes as the device lists them; for a stepwise or continuous range, the common sizes (see
  // CommonFrameSizes) that lie on it, plus its smallest and largest size.
  std::vector<DeviceFrameSize> sizes;
};

// Everything the device at `path` can capture (VIDIOC_ENUM_FMT, VIDIOC_ENUM_FRAMESIZES,
// VIDIOC_ENUM_FRAMEINTERVALS). Returns false, with a reason in `error` and `formats` empty, when the path
// is not a V4L2 capture device. At most kMaxEnumeratedEntries entries are read from each list.
inline constexpr int kMaxEnumeratedEntries = 256;
bool ListDeviceFormats(const std::string& path, std::vector<PixelFormat>& formats, std::string& error);

// The four characters of a fourcc code, non-printable bytes shown as '?'.
std::string FourccCode(uint32_t fourcc);

}  // namespace quorl
