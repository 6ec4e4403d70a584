#pragma once
// Raster images: QuibImage<T> (gray and colour work images) and the 3-byte colour pixel.

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

namespace quorl {

// One colour pixel in bitmap byte order: blue, green, red. Default-constructed black.
struct RGBBYTE {
  uint8_t b = 0;
  uint8_t g = 0;
  uint8_t r = 0;
};
static_assert(sizeof(RGBBYTE) == 3);

// Rectangular raster with a top-down row table: rows[y][x], row 0 at the top.
// Ownership: the image owns one contiguous zero-initialised block of width*height elements (no padding)
// and the row table into it; copies are deep, moves transfer both. Empty: width = height = 0, rows = null.
template <typename T>
class QuibImage {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  int width = 0;
  int height = 0;
  T** rows = nullptr;

  QuibImage() = default;
  QuibImage(const QuibImage& other) { *this = other; }
  QuibImage(QuibImage&& other) noexcept { swap(other); }
  QuibImage& operator=(const QuibImage& other) {
    if (this == &other) return *this;
    if (other.rows == nullptr) {
      DestroyImage();
      return *this;
    }
    QuibImage copy;
    copy.CreateImage(other.width, other.height);
    std::memcpy(copy.rows[0], other.rows[0], sizeof(T) * pixelCount(other));
    swap(copy);
    return *this;
  }
  QuibImage& operator=(QuibImage&& other) noexcept {
    QuibImage moved(std::move(other));
    swap(moved);
    return *this;
  }
  virtual ~QuibImage() = default;

  // Replaces the storage by a zero-filled width x height image. A size below 1 is refused:
  // returns false and leaves the image as it was.
  bool CreateImage(int w, int h) {
    if (w < 1 || h < 1) return false;
    DestroyImage();
    const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    block_ = std::make_unique<T[]>(count);  // value-initialised: all bytes 0
    table_ = std::make_unique<T*[]>(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) table_[y] = block_.get() + static_cast<std::size_t>(y) * w;
    width = w;
    height = h;
    rows = table_.get();
    return true;
  }

  void DestroyImage() {
    block_.reset();
    table_.reset();
    width = height = 0;
    rows = nullptr;
  }

  bool empty() const { return rows == nullptr; }

 private:
  static std::size_t pixelCount(const QuibImage& im) {
    return static_cast<std::size_t>(im.width) * static_cast<std::size_t>(im.height);
  }
  void swap(QuibImage& other) noexcept {
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(rows, other.rows);
    std::swap(block_, other.block_);
    std::swap(table_, other.table_);
  }

  std::unique_ptr<T[]> block_;
  std::unique_ptr<T*[]> table_;
};

using GrayImage = QuibImage<unsigned char>;
using ColorImage = QuibImage<RGBBYTE>;

// One-pixel Bresenham line; colour bits 0-7, 8-15, 16-23 go to bytes b, g, r (65280 is green).
// Only pixels inside the image are written, exactly those of the full walk; the walk starts and ends
// where the line crosses the image, so far-off end points cost no more than a line across it.
void DrawLine(ColorImage& image, int x0, int y0, int x1, int y1, uint32_t colour);

}  // namespace quorl
