#include "capture/frame_source.h"

#include <cstring>

namespace quorl {
namespace {

constexpr int kOffSize = 0, kOffWidth = 4, kOffHeight = 8, kOffPlanes = 12, kOffBitCount = 14,
              kOffCompression = 16, kOffSizeImage = 20;

void writeU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool IsValidFrameSize(int width, int height) {
  return width >= kMinFrameSide && width <= kMaxFrameSide && height >= kMinFrameSide && height <= kMaxFrameSide;
}

const std::vector<cv::Size>& CommonFrameSizes() {
  static const std::vector<cv::Size> sizes{{160, 120}, {176, 144},  {320, 240},  {352, 288},
                                           {640, 360}, {640, 480},  {800, 600},  {1024, 768},
                                           {1280, 720}, {1280, 960}, {1920, 1080}};
  return sizes;
}

std::string FrameSizeRule() {
  return "each side must be from " + std::to_string(kMinFrameSide) + " to " + std::to_string(kMaxFrameSide) +
         " pixels";
}

std::size_t PackedFrameSize(int width, int height) {
  if (!IsValidFrameSize(width, height)) return 0;
  return static_cast<std::size_t>(kDibHeaderSize + DibStride(width, 24) * height);
}

bool PackBgrFrame(const cv::Mat& bgr, std::vector<uint8_t>& packed) {
  if (bgr.empty() || bgr.type() != CV_8UC3 || bgr.dims != 2) return false;
  const int w = bgr.cols, h = bgr.rows;
  const std::size_t total = PackedFrameSize(w, h);
  if (total == 0) return false;
  const auto stride = static_cast<std::size_t>(DibStride(w, 24));
  const std::size_t rowBytes = static_cast<std::size_t>(w) * 3;

  packed.resize(total);
  uint8_t* out = packed.data();
  std::memset(out, 0, kDibHeaderSize);
  writeU32(out + kOffSize, kDibHeaderSize);
  writeU32(out + kOffWidth, static_cast<uint32_t>(w));
  writeU32(out + kOffHeight, static_cast<uint32_t>(h));
  out[kOffPlanes] = 1;
  out[kOffBitCount] = 24;
  writeU32(out + kOffSizeImage, static_cast<uint32_t>(stride * static_cast<std::size_t>(h)));

  uint8_t* rows = out + kDibHeaderSize;
  for (int y = 0; y < h; ++y) {
    uint8_t* dst = rows + static_cast<std::size_t>(h - 1 - y) * stride;
    std::memcpy(dst, bgr.ptr<uint8_t>(y), rowBytes);
    std::memset(dst + rowBytes, 0, stride - rowBytes);
  }
  return true;
}

cv::Mat UnpackFrame(const uint8_t* packed, std::size_t byteCount) {
  if (packed == nullptr || byteCount < static_cast<std::size_t>(kDibHeaderSize)) return {};
  const uint32_t biSize = readU32(packed + kOffSize);
  const auto w = static_cast<int32_t>(readU32(packed + kOffWidth));
  const auto h = static_cast<int32_t>(readU32(packed + kOffHeight));
  const uint32_t bitCount = packed[kOffBitCount] | static_cast<uint32_t>(packed[kOffBitCount + 1]) << 8;
  const uint32_t compression = readU32(packed + kOffCompression);
  if (biSize != kDibHeaderSize || bitCount != 24 || compression != 0 || w <= 0 || h <= 0) return {};
  const int64_t stride = DibStride(w, 24);
  // Both factors are below 2^31, so the product cannot overflow 64 bits.
  const int64_t need = kDibHeaderSize + stride * static_cast<int64_t>(h);
  if (static_cast<uint64_t>(need) > byteCount) return {};

  cv::Mat bgr(h, w, CV_8UC3);
  const uint8_t* rows = packed + kDibHeaderSize;
  for (int y = 0; y < h; ++y) {
    std::memcpy(bgr.ptr<uint8_t>(y), rows + static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(stride),
                static_cast<std::size_t>(w) * 3);
  }
  return bgr;
}

}  // namespace quorl
