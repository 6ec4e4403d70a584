#pragma once
// Packed device-independent bitmaps: a 40-byte header, a colour table, then bottom-up rows padded to 4 bytes.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/quib_image.h"

namespace quorl {

inline constexpr int kDibHeaderSize = 40;

// Bytes per stored row: (bitCount * width / 8 + 3) with the two low bits cleared.
int64_t DibStride(int width, int bitCount);

// Number of colour-table entries for a bit count: 2, 16 or 256 for 1, 4 and 8 bits, none otherwise.
int DibColourEntries(int bitCount);

// Owner of one packed bitmap with top-down row tables (entry 0 is the top row, the last stored row).
// Ownership: the bitmap block and the row table are owned; copies are deep. Only 24-bit and 8-bit bitmaps
// get a row table (rows24 / rows8); the other table is null.
class DibImage {
 public:
  DibImage() = default;
  DibImage(const DibImage& other) { *this = other; }
  DibImage& operator=(const DibImage& other);
  DibImage(DibImage&& other) noexcept = default;
  DibImage& operator=(DibImage&& other) noexcept = default;
  ~DibImage() = default;

  // New white 24-bit bitmap. A size below 1 is refused (returns false, bitmap unchanged).
  bool CreateRgbDib(int width, int height);

  // Copies a 24-bit packed bitmap (header then rows, no colour table) of `byteCount` readable bytes.
  // The header is checked before anything changes: biSize 40, bit count 24, positive width and height
  // (bottom-up rows), and stride * height + 40 bytes present. Otherwise returns false, bitmap untouched.
  bool SetPackedDib(const uint8_t* packed, std::size_t byteCount);

  // Rereads width, height and bit count from the header and rebuilds the row table for 8 or 24 bits.
  // Returns false for any other bit count.
  bool RefreshDibInfo();

  void DestroyDib();

  // First stored (bottom) row: dib + biSize + colour table.
  uint8_t* GetDibBits() const;

  int width() const { return width_; }
  int height() const { return height_; }
  uint16_t bitCount() const { return bitCount_; }
  int dibSize() const { return dibSize_; }
  uint8_t* dib() const { return dib_.get(); }
  uint8_t** rows24() const { return rows24_.get(); }
  uint8_t** rows8() const { return rows8_.get(); }
  int64_t stride() const { return DibStride(width_, bitCount_); }
  bool empty() const { return dib_ == nullptr; }

 private:
  int width_ = 0;
  int height_ = 0;
  uint16_t bitCount_ = 0;
  int dibSize_ = 0;
  std::unique_ptr<uint8_t[]> dib_;
  std::unique_ptr<uint8_t*[]> rows8_;
  std::unique_ptr<uint8_t*[]> rows24_;
};

// Integer luminance: gray = (117 B + 601 G + 306 R) >> 10 for 24 bits, the stored byte for 8 bits,
// all zero for other bit counts. An empty bitmap leaves `gray` untouched.
void DibToGray(const DibImage& dib, GrayImage& gray);

}  // namespace quorl
