#pragma once
// Camera parameters adapted to the frame size, their decomposition, and the OpenGL projection built from them.

#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "camera/camera_param.h"

namespace quorl {

// What the tracker keeps of the calibration. Ownership: held by value in the tracker state, no other copy.
struct CameraSetup {
  CameraParam cameraParams{};           // the file's record resized to the frame size; rows count downwards
  std::array<double, 16> projection{};  // OpenGL projection, column-major: row i, column j at index i + 4j
  double nearClip = 50.0;               // near plane distance in model units, used by the projection
  double farClip = 5000.0;              // far plane distance in model units, used by the projection
};

// True once a calibration was loaded into `setup` (a resized record always has a positive xsize).
inline bool hasCalibration(const CameraSetup& setup) { return setup.cameraParams.xsize > 0; }

// Receives a user-facing message (exact text) and its reason in words (what went wrong with the file);
// the caller decides how to show them.
using CameraReport = std::function<void(const std::string& text, const std::string& reason)>;

// The reason given for a record that was read whole but cannot describe a camera.
inline constexpr const char* kUnusableCameraReason =
    "the values describe no camera (xsize not positive, or a zero or degenerate matrix)";

// Resizes `param` to w x h frames and builds the projection with the setup's clip planes into `setup`.
// False, `setup` untouched, when the record cannot be resized or give a finite projection. `param` may be
// the setup's own record: resizing an already resized record equals resizing the original.
bool setCameraParams(const CameraParam& param, int w, int h, CameraSetup& setup);

// Reads the record from `file` (taken and closed, see readCameraParamFile), resizes it to w x h and builds
// the projection with the setup's clip planes. Returns 0 on success. Returns -1 and reports
// kMsgFileReadError when the read is short (reason: the bytes read, or the system's reason) or the record
// cannot give a finite projection (xsize not positive, a zero third matrix row, a degenerate or non-finite
// matrix; reason kUnusableCameraReason); `setup` is then left untouched.
int loadCameraParams(std::FILE* file, int w, int h, CameraSetup& setup, const CameraReport& report);

// Rescales `source` to w x h images by the horizontal ratio w / source.xsize, for both axes: matrix rows 0
// and 1 and the distortion centre scale, row 2 stays, the coefficient divides by the squared ratio.
// Nothing when source.xsize, w or h is not positive.
std::optional<CameraParam> changeParamSize(const CameraParam& source, int w, int h);

// Row-by-row Gram-Schmidt split of a 3 x 4 camera matrix into an upper-triangular intrinsic part with
// intrinsic[2][2] = 1 and a zero fourth column, and a rigid part (rotation rows plus translation).
// The matrix is negated first when mat[2][3] < 0, so S and -S give the same split.
struct CameraMatrixSplit {
  Matrix34 intrinsic;
  Matrix34 extrinsic;
};
// Nothing when an entry is not finite or a row is linearly dependent on those below it.
std::optional<CameraMatrixSplit> decomposeCameraMatrix(const Matrix34& source);

// Copy of `param` whose matrix row 1 counts image rows upwards: mat[1][j] := (ysize - 1) mat[2][j] - mat[1][j].
CameraParam mirrorImageRows(const CameraParam& param);

// OpenGL projection for a camera looking along +z: pixel column 0..xsize maps to x = -1..+1, camera depth
// nearClip to -1 and farClip to +1; `mirrored` must come from mirrorImageRows so that the top image row
// maps towards y = +1. Nothing when the matrix cannot be decomposed or an entry would not be finite.
std::optional<std::array<double, 16>> buildGLProjection(const CameraParam& mirrored, double nearClip,
                                                        double farClip);

// Pinhole intrinsics for w x h frames: a camera-space point (X, Y, Z) lands on pixel column
// u = fx X/Z + skew Y/Z + cx and pixel row v = fy Y/Z + cy (rows downwards, as in the frame). Equals the normalised intrinsic part of
// changeParamSize(param, w, h); for the shipped calibration resized to 640 x 480 that is fx = fy = 600,
// cx = 320, cy = 240. Nothing when the record cannot be resized or decomposed.
struct CameraIntrinsics {
  double fx = 0.0;
  double fy = 0.0;
  double skew = 0.0;
  double cx = 0.0;
  double cy = 0.0;
};
std::optional<CameraIntrinsics> cameraIntrinsicsForFrame(const CameraParam& param, int w, int h);

}  // namespace quorl
