// Writes a distortion-free pinhole camera parameter file.
//
//   make_camera_param OUTPUT [WIDTH HEIGHT FOCAL]
//
// Defaults: 640 x 480 images and a focal length of 600 pixels on both axes, a typical webcam
// (about 56 degrees horizontal field of view). The principal point is (WIDTH / 2, HEIGHT / 2) in integer
// division, matrix (K | 0), distortion centre at the principal point, coefficient 0, scale 1.
// Data/camera_param.dat is this program's output with the defaults.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "camera/camera_param.h"

namespace {

template <typename T>
bool parse(const char* text, T& out) {
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
  int32_t width = 640;
  int32_t height = 480;
  double focal = 600.0;
  const bool sizeGiven = argc == 5;
  if ((argc != 2 && !sizeGiven) ||
      (sizeGiven && (!parse(argv[2], width) || !parse(argv[3], height) || !parse(argv[4], focal))) ||
      width <= 0 || height <= 0 || !(focal > 0.0)) {
    std::fprintf(stderr, "usage: %s OUTPUT [WIDTH HEIGHT FOCAL]\n", argv[0]);
    std::fprintf(stderr, "  WIDTH, HEIGHT positive integers (default 640 480), FOCAL positive pixels (600)\n");
    return 2;
  }
  const quorl::CameraParam param = quorl::makePinholeCameraParam(width, height, focal);
  const quorl::CameraFileStatus status = quorl::writeCameraParamPath(argv[1], param);
  if (status != quorl::CameraFileStatus::Ok) {
    std::fprintf(stderr, "%s: %s\n", argv[1], quorl::cameraFileMessage(status));
    return 1;
  }
  return 0;
}
