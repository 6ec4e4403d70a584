#include "capture/v4l2_devices.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "capture/frame_source.h"

namespace quorl {
namespace {

// A file descriptor closed on scope exit.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

// Text of a fixed-size, possibly unterminated byte field of a V4L2 structure.
template <std::size_t N>
std::string fieldText(const uint8_t (&field)[N]) {
  const auto* p = reinterpret_cast<const char*>(field);
  return std::string(p, strnlen(p, N));
}

// Opens `path` when it is a character device answering VIDIOC_QUERYCAP with video capture.
// Returns the descriptor (or -1 with `error` set) and fills `cap`.
int openCaptureNode(const std::string& path, v4l2_capability& cap, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "Cannot open " + path + ": " + std::strerror(errno) + ".";
    return -1;
  }
  struct stat st {};
  std::memset(&cap, 0, sizeof cap);
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    error = path + " is not a video device.";
  } else if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
    error = path + " is not a V4L2 device.";
  } else {
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (caps & V4L2_CAP_VIDEO_CAPTURE) return fd;
    error = path + " cannot capture video.";
  }
  ::close(fd);
  return -1;
}

// N of a file name "videoN" (decimal digits only).
std::optional<int> deviceNumber(const std::string& file) {
  if (file.size() <= 5 || file.compare(0, 5, "video") != 0) return std::nullopt;
  const char* first = file.data() + 5;
  const char* last = file.data() + file.size();
  if (*first < '0' || *first > '9') return std::nullopt;
  int n = 0;
  const auto [stop, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || stop != last) return std::nullopt;
  return n;
}

std::vector<FrameInterval> listIntervals(int fd, uint32_t fourcc, int width, int height) {
  std::vector<FrameInterval> intervals;
  for (uint32_t i = 0; i < static_cast<uint32_t>(kMaxEnumeratedEntries); ++i) {
    v4l2_frmivalenum fi{};
    fi.index = i;
    fi.pixel_format = fourcc;
    fi.width = static_cast<uint32_t>(width);
    fi.height = static_cast<uint32_t>(height);
    if (xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &fi) != 0) break;
    if (fi.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      intervals.push_back({fi.discrete.numerator, fi.discrete.denominator});
      continue;
    }
    intervals.push_back({fi.stepwise.min.numerator, fi.stepwise.min.denominator});
    intervals.push_back({fi.stepwise.max.numerator, fi.stepwise.max.denominator});
    break;
  }
  return intervals;
}

std::vector<DeviceFrameSize> listSizes(int fd, uint32_t fourcc) {
  std::vector<cv::Size> sizes;
  for (uint32_t i = 0; i < static_cast<uint32_t>(kMaxEnumeratedEntries); ++i) {
    v4l2_frmsizeenum fs{};
    fs.index = i;
    fs.pixel_format = fourcc;
    if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &fs) != 0) break;
    if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      sizes.emplace_back(static_cast<int>(fs.discrete.width), static_cast<int>(fs.discrete.height));
      continue;
    }
    const auto& s = fs.stepwise;
    const uint32_t stepW = std::max<uint32_t>(s.step_width, 1), stepH = std::max<uint32_t>(s.step_height, 1);
    sizes.emplace_back(static_cast<int>(s.min_width), static_cast<int>(s.min_height));
    for (const cv::Size& c : CommonFrameSizes()) {
      const auto w = static_cast<uint32_t>(c.width), h = static_cast<uint32_t>(c.height);
      if (w >= s.min_width && w <= s.max_width && h >= s.min_height && h <= s.max_height &&
          (w - s.min_width) % stepW == 0 && (h - s.min_height) % stepH == 0)
        sizes.push_back(c);
    }
    sizes.emplace_back(static_cast<int>(s.max_width), static_cast<int>(s.max_height));
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    break;
  }
  std::vector<DeviceFrameSize> result;
  for (const cv::Size& s : sizes) result.push_back({s.width, s.height, listIntervals(fd, fourcc, s.width, s.height)});
  return result;
}

}  // namespace

std::string FourccCode(uint32_t fourcc) {
  std::string code(4, '?');
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<char>((fourcc >> (8 * i)) & 0xff);
    if (c >= 0x20 && c < 0x7f) code[static_cast<std::size_t>(i)] = c;
  }
  return code;
}

double FramesPerSecond(const FrameInterval& interval) {
  if (interval.numerator == 0 || interval.denominator == 0) return 0.0;
  return static_cast<double>(interval.denominator) / interval.numerator;
}

std::optional<VideoDevice> QueryVideoDevice(const std::string& path, std::string& error) {
  v4l2_capability cap{};
  const Fd fd(openCaptureNode(path, cap, error));
  if (fd.get() < 0) return std::nullopt;
  VideoDevice device;
  device.path = path;
  device.index = deviceNumber(std::filesystem::path(path).filename().string()).value_or(0);
  device.name = fieldText(cap.card);
  device.driver = fieldText(cap.driver);
  device.busInfo = fieldText(cap.bus_info);
  return device;
}

std::vector<VideoDevice> ListVideoDevices(const std::string& directory) {
  std::vector<VideoDevice> devices;
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (!deviceNumber(it->path().filename().string())) continue;
    std::string ignored;
    if (auto device = QueryVideoDevice(it->path().string(), ignored)) devices.push_back(*device);
  }
  std::sort(devices.begin(), devices.end(),
            [](const VideoDevice& a, const VideoDevice& b) { return a.index < b.index; });
  return devices;
}

bool ListDeviceFormats(const std::string& path, std::vector<PixelFormat>& formats, std::string& error) {
  formats.clear();
  v4l2_capability cap{};
  const Fd fd(openCaptureNode(path, cap, error));
  if (fd.get() < 0) return false;
  for (uint32_t i = 0; i < static_cast<uint32_t>(kMaxEnumeratedEntries); ++i) {
    v4l2_fmtdesc desc{};
    desc.index = i;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd.get(), VIDIOC_ENUM_FMT, &desc) != 0) break;
    PixelFormat format;
    format.fourcc = desc.pixelformat;
    format.code = FourccCode(desc.pixelformat);
    format.description = fieldText(desc.description);
    format.compressed = (desc.flags & V4L2_FMT_FLAG_COMPRESSED) != 0;
    format.sizes = listSizes(fd.get(), desc.pixelformat);
    formats.push_back(std::move(format));
  }
  return true;
}

}  // namespace quorl
