#include "camera/camera_param.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace quorl {

namespace {

constexpr std::size_t kMatOffset = 8;
constexpr std::size_t kDistOffset = 104;

void putU32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

void putU64(uint8_t* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t getU32(const uint8_t* in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in[i]) << (8 * i);
  return v;
}

uint64_t getU64(const uint8_t* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(in[i]) << (8 * i);
  return v;
}

void putDouble(uint8_t* out, double d) { putU64(out, std::bit_cast<uint64_t>(d)); }
double getDouble(const uint8_t* in) { return std::bit_cast<double>(getU64(in)); }

}  // namespace

CameraParamBytes encodeCameraParam(const CameraParam& param) {
  CameraParamBytes bytes{};
  putU32(&bytes[0], static_cast<uint32_t>(param.xsize));
  putU32(&bytes[4], static_cast<uint32_t>(param.ysize));
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 4; ++c) putDouble(&bytes[kMatOffset + 8 * (4 * r + c)], param.mat[r][c]);
  for (std::size_t k = 0; k < 4; ++k) putDouble(&bytes[kDistOffset + 8 * k], param.dist_factor[k]);
  return bytes;
}

CameraParam decodeCameraParam(const CameraParamBytes& bytes) {
  CameraParam param;
  param.xsize = static_cast<int32_t>(getU32(&bytes[0]));
  param.ysize = static_cast<int32_t>(getU32(&bytes[4]));
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t c = 0; c < 4; ++c) param.mat[r][c] = getDouble(&bytes[kMatOffset + 8 * (4 * r + c)]);
  for (std::size_t k = 0; k < 4; ++k) param.dist_factor[k] = getDouble(&bytes[kDistOffset + 8 * k]);
  return param;
}

std::optional<CameraParam> readCameraParamFile(std::FILE* file, CameraFileDetail* detail) {
  if (file == nullptr) return std::nullopt;
  CameraFileDetail found;
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) found.fileSize = info.st_size;
  CameraParamBytes bytes{};
  // One request for the whole item; counting bytes tells how much of it there was.
  errno = 0;
  const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
  if (count < bytes.size()) {
    found.reason = std::ferror(file) != 0 && errno != 0
                       ? std::strerror(errno)
                       : std::to_string(count) + " of " + std::to_string(bytes.size()) + " bytes";
  }
  std::fclose(file);
  if (detail != nullptr) *detail = found;
  if (count < bytes.size()) return std::nullopt;
  return decodeCameraParam(bytes);
}

bool writeCameraParamFile(std::FILE* file, const CameraParam& param) {
  if (file == nullptr) return false;
  const CameraParamBytes bytes = encodeCameraParam(param);
  return std::fwrite(bytes.data(), bytes.size(), 1, file) == 1;
}

const char* cameraFileMessage(CameraFileStatus status) {
  switch (status) {
    case CameraFileStatus::Ok: return "";
    case CameraFileStatus::NotFound: return kMsgCameraFileNotFound;
    case CameraFileStatus::ReadError: return kMsgFileReadError;
    case CameraFileStatus::NotCreated: return kMsgCameraFileNotCreated;
    case CameraFileStatus::WriteError: return kMsgFileWriteError;
  }
  return "";
}

CameraFileStatus readCameraParamPath(const std::string& path, CameraParam& out, CameraFileDetail* detail) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (detail != nullptr) *detail = CameraFileDetail{std::strerror(errno), -1};
    return CameraFileStatus::NotFound;
  }
  const std::optional<CameraParam> param = readCameraParamFile(file, detail);
  if (!param) return CameraFileStatus::ReadError;
  out = *param;
  return CameraFileStatus::Ok;
}

CameraFileStatus writeCameraParamPath(const std::string& path, const CameraParam& param) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return CameraFileStatus::NotCreated;
  const bool written = writeCameraParamFile(file, param);
  const bool closed = std::fclose(file) == 0;
  return written && closed ? CameraFileStatus::Ok : CameraFileStatus::WriteError;
}

CameraParam makePinholeCameraParam(int32_t width, int32_t height, double focal) {
  const double cx = width / 2;
  const double cy = height / 2;
  CameraParam param;
  param.xsize = width;
  param.ysize = height;
  param.mat = {{{focal, 0.0, cx, 0.0}, {0.0, focal, cy, 0.0}, {0.0, 0.0, 1.0, 0.0}}};
  param.dist_factor = {cx, cy, 0.0, 1.0};
  return param;
}

}  // namespace quorl
