// Picture files as a target picture is read: any bytes, their header's size checked before decoding, then decoded
// and prepared when small. A header past the limits must be refused before anything is decoded.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "features/picture_target.h"
#include "fuzz/require.h"
#include "image/picture_header.h"
#include "tracker/tracker.h"

using quorl::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const int fd = memfd_create("picture", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string error;
  const std::optional<quorl::PictureHeader> header = quorl::ReadPictureHeader(path, error);
  Require(!header || error.empty(), "a size comes without an error");
  Require(!header || (header->width > 0 && header->height > 0), "a positive size");
  // Decoding and preparing a picture is slow: only small ones, and those past the limits (refused first).
  const bool small = header && static_cast<long long>(header->width) * header->height <= 256 * 256;
  const bool tooLarge = header && !quorl::PictureSizeProblem(header->width, header->height).empty() &&
                        std::max(header->width, header->height) > quorl::kMaxPictureSide;
  if (small || tooLarge) {
    quorl::TrackerState state;
    const quorl::PictureTarget* target = quorl::addPictureFile(state, path, 0.0, 10, error);
    Require((target == nullptr) != error.empty(), "a target or a reason");
    Require(!tooLarge || target == nullptr, "a picture past the limits is refused");
  }
  close(fd);
  return 0;
}
