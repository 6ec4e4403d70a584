#include "image/dib_image.h"

#include <cstring>
#include <limits>

namespace quorl {
namespace {

// Little-endian header fields at their BITMAPINFOHEADER offsets.
int32_t readI32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}
uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void writeI32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
void writeU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

constexpr int kOffSize = 0, kOffWidth = 4, kOffHeight = 8, kOffPlanes = 12, kOffBitCount = 14,
              kOffSizeImage = 20;

}  // namespace

int64_t DibStride(int width, int bitCount) {
  return (static_cast<int64_t>(bitCount) * width / 8 + 3) & ~int64_t{3};
}

int DibColourEntries(int bitCount) {
  switch (bitCount) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

DibImage& DibImage::operator=(const DibImage& other) {
  if (this == &other) return *this;
  if (other.dib_ == nullptr) {
    DestroyDib();
    return *this;
  }
  auto copy = std::make_unique<uint8_t[]>(static_cast<std::size_t>(other.dibSize_));
  std::memcpy(copy.get(), other.dib_.get(), static_cast<std::size_t>(other.dibSize_));
  DestroyDib();
  dib_ = std::move(copy);
  RefreshDibInfo();
  return *this;
}

bool DibImage::CreateRgbDib(int width, int height) {
  if (width < 1 || height < 1) return false;
  const int64_t stride = DibStride(width, 24);
  const int64_t size = stride * height + kDibHeaderSize;
  if (size > std::numeric_limits<int32_t>::max()) return false;
  DestroyDib();
  dib_ = std::make_unique<uint8_t[]>(static_cast<std::size_t>(size));
  uint8_t* h = dib_.get();
  writeI32(h + kOffSize, kDibHeaderSize);
  writeI32(h + kOffWidth, width);
  writeI32(h + kOffHeight, height);
  writeU16(h + kOffPlanes, 1);
  writeU16(h + kOffBitCount, 24);
  writeI32(h + kOffSizeImage, static_cast<int32_t>(stride * height));
  RefreshDibInfo();
  for (int y = 0; y < height_; ++y) std::memset(rows24_[y], 255, static_cast<std::size_t>(width) * 3);
  return true;
}

bool DibImage::SetPackedDib(const uint8_t* packed, std::size_t byteCount) {
  if (packed == nullptr || byteCount < static_cast<std::size_t>(kDibHeaderSize)) return false;
  const int32_t biSize = readI32(packed + kOffSize);
  const int32_t width = readI32(packed + kOffWidth);
  const int32_t height = readI32(packed + kOffHeight);
  const uint16_t bitCount = readU16(packed + kOffBitCount);
  if (biSize != kDibHeaderSize || bitCount != 24 || width < 1 || height < 1) return false;
  const int64_t stride = DibStride(width, bitCount);
  if (stride > std::numeric_limits<int32_t>::max() / height) return false;
  const int64_t size = stride * height + kDibHeaderSize;
  if (size > std::numeric_limits<int32_t>::max() || static_cast<uint64_t>(size) > byteCount) return false;
  auto copy = std::make_unique<uint8_t[]>(static_cast<std::size_t>(size));
  std::memcpy(copy.get(), packed, static_cast<std::size_t>(size));
  DestroyDib();
  dib_ = std::move(copy);
  return RefreshDibInfo();
}

bool DibImage::RefreshDibInfo() {
  rows8_.reset();
  rows24_.reset();
  if (dib_ == nullptr) return false;
  const uint8_t* h = dib_.get();
  width_ = readI32(h + kOffWidth);
  height_ = readI32(h + kOffHeight);
  bitCount_ = readU16(h + kOffBitCount);
  dibSize_ = static_cast<int>(DibStride(width_, bitCount_) * height_ + 4 * DibColourEntries(bitCount_) +
                              kDibHeaderSize);
  if (bitCount_ != 8 && bitCount_ != 24) return false;
  auto table = std::make_unique<uint8_t*[]>(static_cast<std::size_t>(height_));
  uint8_t* bits = GetDibBits();
  const int64_t stride = DibStride(width_, bitCount_);
  for (int i = 0; i < height_; ++i) table[i] = bits + stride * (height_ - 1 - i);
  (bitCount_ == 8 ? rows8_ : rows24_) = std::move(table);
  return true;
}

void DibImage::DestroyDib() {
  dib_.reset();
  rows8_.reset();
  rows24_.reset();
  width_ = height_ = dibSize_ = 0;
  bitCount_ = 0;
}

uint8_t* DibImage::GetDibBits() const {
  if (dib_ == nullptr) return nullptr;
  return dib_.get() + readI32(dib_.get() + kOffSize) + 4 * DibColourEntries(bitCount_);
}

void DibToGray(const DibImage& dib, GrayImage& gray) {
  if (!gray.CreateImage(dib.width(), dib.height())) return;
  const int w = dib.width();
  if (dib.bitCount() == 8) {
    for (int y = 0; y < dib.height(); ++y) std::memcpy(gray.rows[y], dib.rows8()[y], static_cast<std::size_t>(w));
  } else if (dib.bitCount() == 24) {
    for (int y = 0; y < dib.height(); ++y) {
      const uint8_t* src = dib.rows24()[y];
      unsigned char* dst = gray.rows[y];
      for (int x = 0; x < w; ++x, src += 3) {
        dst[x] = static_cast<unsigned char>((117u * src[0] + 601u * src[1] + 306u * src[2]) >> 10);
      }
    }
  }
}

}  // namespace quorl
