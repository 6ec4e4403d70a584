// Packed bitmaps as frame sources and the clipboard hand them over: any header, any length. Accepted
// bitmaps go on through the gray conversion and the corner detector, as a frame would.
#include <cstdint>
#include <cstring>

#include <opencv2/core.hpp>

#include "capture/frame_source.h"
#include "fuzz/require.h"
#include "image/corners.h"
#include "image/dib_image.h"

using quorl::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  quorl::DibImage dib;
  dib.CreateRgbDib(2, 3);
  const bool accepted = dib.SetPackedDib(data, size);
  if (!accepted) {
    Require(dib.width() == 2 && dib.height() == 3 && dib.rows24() != nullptr, "refused bitmap leaves the old one");
  } else {
    Require(dib.width() > 0 && dib.height() > 0 && dib.bitCount() == 24, "accepted header");
    Require(dib.rows24() != nullptr && static_cast<std::size_t>(dib.dibSize()) <= size, "rows within the input");
  }

  // The frame sources' own reader sees the same pixels, top row first.
  const cv::Mat bgr = quorl::UnpackFrame(data, size);
  if (!bgr.empty()) {
    Require(accepted && bgr.cols == dib.width() && bgr.rows == dib.height(), "both readers agree on the size");
    for (int y = 0; y < bgr.rows; ++y)
      Require(std::memcmp(bgr.ptr<uint8_t>(y), dib.rows24()[y], static_cast<std::size_t>(bgr.cols) * 3) == 0,
              "both readers agree on the pixels");
  }
  if (!accepted) return 0;

  const quorl::DibImage copy = dib;
  Require(copy.dibSize() == dib.dibSize() && std::memcmp(copy.dib(), dib.dib(), static_cast<std::size_t>(dib.dibSize())) == 0,
          "deep copy");
  quorl::GrayImage gray;
  quorl::DibToGray(dib, gray);
  Require(gray.width == dib.width() && gray.height == dib.height(), "gray image of the frame size");
  // The barrier comes from the last byte, -128..127, so that negative barriers are tried too.
  const int barrier = static_cast<int>(data[size - 1]) - 128;
  for (int n = 9; n <= 12; ++n) {
    for (const quorl::CornerPoint& c : quorl::DetectCorners(gray, n, barrier)) {
      Require(c.x >= quorl::kCornerBorder && c.x <= gray.width - quorl::kCornerBorder &&
                  c.y >= quorl::kCornerBorder && c.y <= gray.height - quorl::kCornerBorder,
              "corners inside the border");
    }
  }
  return 0;
}
