// The OpenCV calibration importer of Tessik: any bytes, as text in memory and as a file (YAML, XML, JSON).
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "camera/opencv_calibration.h"
#include "fuzz/require.h"

using quorl::fuzz::Require;

namespace {

void checkResult(const std::optional<quorl::ImportedCalibration>& imported, const std::string& error) {
  if (!imported) {
    Require(!error.empty(), "a reason for every refusal");
    return;
  }
  const quorl::CameraParam& p = imported->param;
  Require(p.mat[0][0] > 0.0 && p.mat[1][1] > 0.0 && p.mat[2][2] == 1.0, "positive focal lengths, normalised");
  for (const auto& row : p.mat)
    for (double v : row) Require(std::isfinite(v), "finite matrix");
  Require(std::isfinite(p.dist_factor[0]) && std::isfinite(p.dist_factor[1]), "finite distortion centre");
  Require(imported->hasImageSize ? p.xsize > 0 && p.ysize > 0 : p.xsize == 0 && p.ysize == 0, "image size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkResult(quorl::importOpenCVCalibrationText(text, error), error);

  // The same bytes as a file, which OpenCV reads with its own file reader.
  const int fd = memfd_create("calibration", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    error.clear();
    checkResult(quorl::importOpenCVCalibration("/proc/self/fd/" + std::to_string(fd), error), error);
  }
  close(fd);
  return 0;
}
