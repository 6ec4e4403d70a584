#include "camera/camera_setup.h"

#include <cmath>

namespace quorl {

namespace {

using Vec3 = std::array<double, 3>;

Vec3 head(const std::array<double, 4>& row) { return {row[0], row[1], row[2]}; }
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec3& v) { return std::sqrt(dot(v, v)); }

bool allFinite(const Matrix34& m) {
  for (const auto& row : m)
    for (double v : row)
      if (!std::isfinite(v)) return false;
  return true;
}

// A usable divisor: finite and non-zero.
bool usable(double v) { return std::isfinite(v) && v != 0.0; }

}  // namespace

std::optional<CameraParam> changeParamSize(const CameraParam& source, int w, int h) {
  if (source.xsize <= 0 || w <= 0 || h <= 0) return std::nullopt;
  const double scale = static_cast<double>(w) / static_cast<double>(source.xsize);
  CameraParam out;
  out.xsize = w;
  out.ysize = h;
  for (std::size_t j = 0; j < 4; ++j) {
    out.mat[0][j] = source.mat[0][j] * scale;
    out.mat[1][j] = source.mat[1][j] * scale;
    out.mat[2][j] = source.mat[2][j];
  }
  out.dist_factor[0] = source.dist_factor[0] * scale;
  out.dist_factor[1] = source.dist_factor[1] * scale;
  out.dist_factor[2] = source.dist_factor[2] / (scale * scale);
  out.dist_factor[3] = source.dist_factor[3];
  return out;
}

std::optional<CameraMatrixSplit> decomposeCameraMatrix(const Matrix34& source) {
  if (!allFinite(source)) return std::nullopt;
  Matrix34 p = source;
  if (!(source[2][3] >= 0.0))
    for (auto& row : p)
      for (double& v : row) v = -v;

  CameraMatrixSplit split{};
  Matrix34& c = split.intrinsic;
  Matrix34& t = split.extrinsic;
  const Vec3 p0 = head(p[0]);
  const Vec3 p1 = head(p[1]);
  const Vec3 p2 = head(p[2]);

  c[2][2] = norm(p2);
  if (!usable(c[2][2])) return std::nullopt;
  for (std::size_t j = 0; j < 4; ++j) t[2][j] = p[2][j] / c[2][2];
  const Vec3 t2 = head(t[2]);

  c[1][2] = dot(t2, p1);
  Vec3 r;
  for (std::size_t j = 0; j < 3; ++j) r[j] = p1[j] - c[1][2] * t2[j];
  c[1][1] = norm(r);
  if (!usable(c[1][1])) return std::nullopt;
  for (std::size_t j = 0; j < 3; ++j) t[1][j] = r[j] / c[1][1];
  const Vec3 t1 = head(t[1]);

  c[0][2] = dot(t2, p0);
  c[0][1] = dot(t1, p0);
  for (std::size_t j = 0; j < 3; ++j) r[j] = p0[j] - c[0][1] * t1[j] - c[0][2] * t2[j];
  c[0][0] = norm(r);
  if (!usable(c[0][0])) return std::nullopt;
  for (std::size_t j = 0; j < 3; ++j) t[0][j] = r[j] / c[0][0];

  t[1][3] = (p[1][3] - c[1][2] * t[2][3]) / c[1][1];
  t[0][3] = (p[0][3] - c[0][1] * t[1][3] - c[0][2] * t[2][3]) / c[0][0];

  // Normalise so that intrinsic[2][2] becomes 1; it is divided last, by itself.
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) c[i][j] /= c[2][2];

  if (!allFinite(c) || !allFinite(t)) return std::nullopt;
  return split;
}

CameraParam mirrorImageRows(const CameraParam& param) {
  CameraParam out = param;
  const double bottom = static_cast<double>(param.ysize) - 1.0;
  for (std::size_t j = 0; j < 4; ++j) out.mat[1][j] = bottom * param.mat[2][j] - param.mat[1][j];
  return out;
}

std::optional<std::array<double, 16>> buildGLProjection(const CameraParam& mirrored, double nearClip,
                                                        double farClip) {
  const std::optional<CameraMatrixSplit> split = decomposeCameraMatrix(mirrored.mat);
  if (!split) return std::nullopt;
  const Matrix34& c = split->intrinsic;
  const Matrix34& t = split->extrinsic;
  const double w = mirrored.xsize;
  const double h = mirrored.ysize;

  double p[3][3];
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) p[i][j] = c[i][j] / c[2][2];

  const double q[4][4] = {
      {2.0 * p[0][0] / w, 2.0 * p[0][1] / w, 2.0 * p[0][2] / w - 1.0, 0.0},
      {0.0, 2.0 * p[1][1] / h, 2.0 * p[1][2] / h - 1.0, 0.0},
      {0.0, 0.0, (farClip + nearClip) / (farClip - nearClip), -2.0 * farClip * nearClip / (farClip - nearClip)},
      {0.0, 0.0, 1.0, 0.0},
  };

  std::array<double, 16> out{};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 3; ++j) out[i + 4 * j] = q[i][0] * t[0][j] + q[i][1] * t[1][j] + q[i][2] * t[2][j];
    out[i + 12] = q[i][0] * t[0][3] + q[i][1] * t[1][3] + q[i][2] * t[2][3] + q[i][3];
  }
  for (double v : out)
    if (!std::isfinite(v)) return std::nullopt;
  return out;
}

bool setCameraParams(const CameraParam& param, int w, int h, CameraSetup& setup) {
  const std::optional<CameraParam> resized = changeParamSize(param, w, h);
  if (!resized) return false;
  const auto projection = buildGLProjection(mirrorImageRows(*resized), setup.nearClip, setup.farClip);
  if (!projection) return false;
  setup.cameraParams = *resized;
  setup.projection = *projection;
  return true;
}

int loadCameraParams(std::FILE* file, int w, int h, CameraSetup& setup, const CameraReport& report) {
  CameraFileDetail detail;
  const std::optional<CameraParam> read = readCameraParamFile(file, &detail);
  if (!read || !setCameraParams(*read, w, h, setup)) {
    if (report) report(kMsgFileReadError, read ? std::string(kUnusableCameraReason) : detail.reason);
    return -1;
  }
  return 0;
}

std::optional<CameraIntrinsics> cameraIntrinsicsForFrame(const CameraParam& param, int w, int h) {
  const std::optional<CameraParam> resized = changeParamSize(param, w, h);
  if (!resized) return std::nullopt;
  const std::optional<CameraMatrixSplit> split = decomposeCameraMatrix(resized->mat);
  if (!split) return std::nullopt;
  const Matrix34& k = split->intrinsic;
  return CameraIntrinsics{k[0][0], k[1][1], k[0][1], k[0][2], k[1][2]};
}

}  // namespace quorl
