#include "image/picture_header.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

namespace quorl {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The libraries report a damaged header by a long jump out of their error handlers; nothing with a destructor lives
// between each setjmp and the library calls.

bool PngSize(std::FILE* f, PictureHeader& out) {
  png_structp png = png_create_read_struct(
      PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
      [](png_structp, png_const_charp) {});
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_info(png, info);
    out.width = static_cast<int>(std::min<png_uint_32>(png_get_image_width(png, info), 1u << 30));
    out.height = static_cast<int>(std::min<png_uint_32>(png_get_image_height(png, info), 1u << 30));
    ok = true;
  }
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  return ok;
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

bool JpegSize(std::FILE* f, PictureHeader& out) {
  jpeg_decompress_struct jpeg{};
  JpegError error{};
  jpeg.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); };
  error.manager.output_message = [](j_common_ptr) {};
  bool ok = false;
  if (setjmp(error.jump) == 0) {
    jpeg_create_decompress(&jpeg);
    jpeg_stdio_src(&jpeg, f);
    jpeg_read_header(&jpeg, TRUE);
    out.width = static_cast<int>(jpeg.image_width);
    out.height = static_cast<int>(jpeg.image_height);
    ok = true;
  }
  jpeg_destroy_decompress(&jpeg);
  return ok;
}

bool TiffSize(const std::string& path, PictureHeader& out) {
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return false;
  uint32_t w = 0, h = 0;
  const bool ok = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w) == 1 && TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h) == 1;
  TIFFClose(tiff);
  out.width = static_cast<int>(std::min<uint32_t>(w, 1u << 30));
  out.height = static_cast<int>(std::min<uint32_t>(h, 1u << 30));
  return ok;
}

}  // namespace

std::optional<PictureHeader> ReadPictureHeader(const std::string& path, std::string& error) {
  error.clear();
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  // Enough for the WebP header with its first chunk's sizes.
  unsigned char head[64] = {};
  const std::size_t n = std::fread(head, 1, sizeof head, f.get());
  std::rewind(f.get());
  PictureHeader out;
  bool read = false;
  if (n >= 8 && png_sig_cmp(head, 0, 8) == 0) {
    read = PngSize(f.get(), out);
  } else if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    read = JpegSize(f.get(), out);
  } else if (n >= 4 && (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0)) {
    f.reset();
    read = TiffSize(path, out);
  } else if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0) {
    read = WebPGetInfo(head, n, &out.width, &out.height) != 0;
  } else {
    return std::nullopt;  // another format: its size is known once decoded
  }
  if (!read || out.width <= 0 || out.height <= 0) {
    error = "its header is damaged";
    return std::nullopt;
  }
  return out;
}

}  // namespace quorl
