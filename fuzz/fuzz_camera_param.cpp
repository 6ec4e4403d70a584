// The camera parameter file as Quorl reads it at start-up: any bytes, read through a FILE, resized to a
// few frame sizes and turned into a projection.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "camera/camera_param.h"
#include "camera/camera_setup.h"
#include "fuzz/require.h"

using quorl::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The record is the byte image of the file: decoding and encoding give back the same 136 bytes.
  if (size >= quorl::kCameraParamFileSize) {
    quorl::CameraParamBytes bytes{};
    std::memcpy(bytes.data(), data, bytes.size());
    const quorl::CameraParam param = quorl::decodeCameraParam(bytes);
    Require(quorl::encodeCameraParam(param) == bytes, "decode/encode round trip");
    if (const auto k = quorl::cameraIntrinsicsForFrame(param, 640, 480)) {
      Require(std::isfinite(k->fx) && std::isfinite(k->fy) && std::isfinite(k->cx) && std::isfinite(k->cy),
              "finite intrinsics");
    }
  }

  constexpr int kSizes[][2] = {{320, 240}, {1, 1}, {4096, 4096}};
  for (const auto& wh : kSizes) {
    // fmemopen refuses an empty buffer; readCameraParamFile takes the null file as a failed read.
    std::FILE* file = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    quorl::CameraSetup setup;
    int reports = 0;
    const int result = quorl::loadCameraParams(file, wh[0], wh[1], setup, [&](const std::string&, const std::string&) { ++reports; });
    Require(result == 0 || result == -1, "result code");
    Require((result == -1) == (reports == 1), "exactly one message on failure, none on success");
    Require(size >= quorl::kCameraParamFileSize || result == -1, "short file refused");
    if (result == 0) {
      for (double v : setup.projection) Require(std::isfinite(v), "finite projection");
      Require(setup.cameraParams.xsize == wh[0] && setup.cameraParams.ysize == wh[1], "resized to the frame");
    }
  }

  return 0;
}
