#pragma once
// Where the programs find the files shipped with them: the calibration Data/camera_param.dat, the README
// and docs/. Looked for in the working directory first (the calibration only), then in the copy installed
// with the program (<executable's folder>/../share/quorl), then in the source tree it was built from.

#include <optional>
#include <string>
#include <vector>

#include "camera/camera_param.h"
#include "camera/lens.h"

namespace quorl {

// The calibration path relative to the working directory and to each shipped-files folder.
inline constexpr const char* kCameraParamRelativePath = "Data/camera_param.dat";

// Folder of the running program (from /proc/self/exe); empty when it cannot be told.
std::string ExecutableDir();

// The shipped-files folders for a program in `executableDir`, in search order.
std::vector<std::string> ShippedFileRoots(const std::string& executableDir);

// Absolute path of `relative` in the first shipped-files folder that holds it; empty when none does.
std::string FindShippedFile(const std::string& relative, const std::string& executableDir);

// The calibration to load: `explicitPath` when given (even if missing, so that its absence is reported),
// else kCameraParamRelativePath in the working directory, else the shipped copy; when none exists, the
// working-directory path, whose absence is then reported.
std::string FindCameraParamFile(const std::string& explicitPath, const std::string& executableDir);

// The calibration of a run without a window (the headless tools, the library).
struct TrackCalibration {
  std::string path;                  // the file read or looked for
  std::optional<CameraParam> param;  // nothing when it cannot be read or describes no camera
  std::string problem;               // then: the message, the path and the reason
  std::optional<CameraLens> lens;    // a full calibration (lensPath), whose record `param` then is
  std::string Describe() const;      // for the summary: the path, or "none" and the problem
};

// Reads `explicitPath` (a tool's --camera-params, the library's option) or, when empty, the file
// FindCameraParamFile finds for this program. A record read whole must also describe a camera (resize
// and project at its own size). A `lensPath` (a tool's --calibration) is read instead, with
// LoadCalibrationFile.
TrackCalibration ReadTrackCalibration(const std::string& explicitPath, const std::string& lensPath = {});

}  // namespace quorl
