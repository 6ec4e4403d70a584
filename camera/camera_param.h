#pragma once
// The camera parameter record and its 136-byte file: no header, little-endian, IEEE 754 binary64 doubles.
// Layout: xsize @0, ysize @4, mat[r][c] @ 8 + 8 * (4r + c), dist_factor[k] @ 104 + 8k.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace quorl {

// 3 x 4 row-major matrix: m[row][column].
using Matrix34 = std::array<std::array<double, 4>, 3>;

// Calibration of the camera whose video is augmented. Plain value; default-constructed all zero.
struct CameraParam {
  int32_t xsize = 0;  // width in pixels of the images the calibration was made for
  int32_t ysize = 0;  // height in pixels of those images
  // Projection matrix: intrinsic (upper-triangular) times rigid 3 x 4; mat[0][0], mat[1][1] are the focal
  // lengths in pixels. Pixel rows count downwards; the sign of mat[2][3] selects the matrix orientation.
  Matrix34 mat{};
  // Distortion: [0], [1] centre in pixels; [2] coefficient per squared pixel, r_d = r_u (1 + [2] r_u^2) with
  // radii in pixels from the centre; [3] dimensionless scale (1 = none). Carried and edited, never applied.
  std::array<double, 4> dist_factor{};
};

inline constexpr std::size_t kCameraParamFileSize = 136;
using CameraParamBytes = std::array<uint8_t, kCameraParamFileSize>;

// Byte image of the record in file order. Exact for every value (NaN payloads, infinities, -0.0 included)
// and independent of the host's byte order.
CameraParamBytes encodeCameraParam(const CameraParam& param);
CameraParam decodeCameraParam(const CameraParamBytes& bytes);

// What a read found besides its result: the reason of a failure in words for the user, to follow the
// message ("No such file or directory", "60 of 136 bytes"; empty on success), and the size in bytes of the
// file read (-1 when unknown, as for a pipe).
struct CameraFileDetail {
  std::string reason;
  long long fileSize = -1;
};

// Reads one 136-byte item from the start of the current position of `file`; bytes after it are never read.
// Ownership: takes `file` and closes it whether or not the read succeeded. Returns nothing on a short read
// or a null `file`. Values are not validated. `detail`, when given, receives the reason and the size.
std::optional<CameraParam> readCameraParamFile(std::FILE* file, CameraFileDetail* detail = nullptr);

// Writes the record as one 136-byte item. The caller keeps `file` and closes it; a buffered write may still
// fail at that close. Returns false when the item was not written whole or `file` is null.
bool writeCameraParamFile(std::FILE* file, const CameraParam& param);

// Message texts of the camera parameter file operations, shown verbatim to the user.
inline constexpr const char* kMsgCameraFileNotFound = "Can't find the camera parameter file!!!";
inline constexpr const char* kMsgFileReadError = "File read error!!!";
inline constexpr const char* kMsgCameraFileNotCreated = "Can't open the camera parameter file!!!";
inline constexpr const char* kMsgFileWriteError = "File write error!!!";
inline constexpr const char* kMsgFileSaved = "File was saved successfully!!!";

// Outcome of the path-based operations below; cameraFileMessage gives the text to show for each failure.
enum class CameraFileStatus { Ok, NotFound, ReadError, NotCreated, WriteError };
const char* cameraFileMessage(CameraFileStatus status);  // "" for Ok

// Opens `path` in binary read mode and reads the record into `out`. `out` changes only on Ok.
// `path` is in the file system's byte encoding (UTF-8 on the systems this runs on). `detail`, when
// given, receives the reason of a failure and the file's size (also on Ok: a longer file loads too).
CameraFileStatus readCameraParamPath(const std::string& path, CameraParam& out, CameraFileDetail* detail = nullptr);

// Opens (creates or truncates) `path` in binary write mode, writes the record and closes the file.
// WriteError also covers a failure reported by the close, where buffered data reaches the disk.
CameraFileStatus writeCameraParamPath(const std::string& path, const CameraParam& param);

// Distortion-free pinhole calibration for width x height images: focal length `focal` pixels on both axes,
// principal point (width / 2, height / 2) in integer division, the frame centre the tracker measures image
// corners from; mat = (K | 0); dist_factor = (cx, cy, 0, 1).
CameraParam makePinholeCameraParam(int32_t width, int32_t height, double focal);

}  // namespace quorl
