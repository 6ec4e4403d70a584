#pragma once
// The size of a picture file read from its header alone, before anything is decoded, so that a small file that
// would decode to gigabytes can be refused first.

#include <optional>
#include <string>

namespace quorl {

struct PictureHeader {
  int width = 0;
  int height = 0;
};

// PNG, JPEG, TIFF and WebP files, through libpng, libjpeg, libtiff and libwebp: the size their header gives.
// Nothing for a file of another format (its size is known only once decoded). `error` is set, and nothing
// returned, when the file cannot be opened or its header is damaged.
std::optional<PictureHeader> ReadPictureHeader(const std::string& path, std::string& error);

}  // namespace quorl
