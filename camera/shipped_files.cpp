#include "camera/shipped_files.h"

#include <filesystem>
#include <system_error>

#include "camera/camera_setup.h"

namespace quorl {

namespace fs = std::filesystem;

std::string ExecutableDir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

std::vector<std::string> ShippedFileRoots(const std::string& executableDir) {
  std::vector<std::string> roots;
  if (!executableDir.empty()) roots.push_back((fs::path(executableDir) / ".." / "share" / "quorl").string());
  roots.emplace_back(QUORL_SOURCE_DIR);
  return roots;
}

std::string FindShippedFile(const std::string& relative, const std::string& executableDir) {
  for (const std::string& root : ShippedFileRoots(executableDir)) {
    std::error_code ec;
    const fs::path candidate = fs::path(root) / relative;
    if (fs::exists(candidate, ec)) return fs::weakly_canonical(fs::absolute(candidate, ec), ec).string();
  }
  return {};
}

std::string FindCameraParamFile(const std::string& explicitPath, const std::string& executableDir) {
  if (!explicitPath.empty()) return explicitPath;
  std::error_code ec;
  if (fs::exists(kCameraParamRelativePath, ec)) return kCameraParamRelativePath;
  const std::string shipped = FindShippedFile(kCameraParamRelativePath, executableDir);
  return shipped.empty() ? kCameraParamRelativePath : shipped;
}

std::string TrackCalibration::Describe() const {
  if (!param) return "none (" + problem + ")";
  return lens ? path + ", through its lens: " + lens->Describe() : path;
}

TrackCalibration ReadTrackCalibration(const std::string& explicitPath, const std::string& lensPath) {
  TrackCalibration c;
  if (!lensPath.empty()) {
    c.path = lensPath;
    std::string error;
    c.lens = LoadCalibrationFile(lensPath, error);
    CameraSetup check;
    if (!c.lens) {
      c.problem = "Cannot use the calibration " + error;
    } else if (!setCameraParams(c.lens->cameraParam(), c.lens->size().width, c.lens->size().height, check)) {
      c.problem = "Cannot use the calibration " + lensPath + ": " + kUnusableCameraReason;
      c.lens.reset();
    } else {
      c.param = c.lens->cameraParam();
    }
    return c;
  }
  c.path = FindCameraParamFile(explicitPath, ExecutableDir());
  CameraParam param;
  CameraFileDetail detail;
  const CameraFileStatus status = readCameraParamPath(c.path, param, &detail);
  CameraSetup check;
  if (status != CameraFileStatus::Ok) {
    c.problem = std::string(cameraFileMessage(status)) + " " + c.path + ": " + detail.reason;
  } else if (!setCameraParams(param, param.xsize, param.ysize, check)) {
    c.problem = std::string(kMsgFileReadError) + " " + c.path + ": " + kUnusableCameraReason;
  } else {
    c.param = param;
  }
  return c;
}

}  // namespace quorl
