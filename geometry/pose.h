#pragma once
// Camera pose of the registered rectangle from its four image corners: a normalised direct linear
// homography from the model square, then its split into rotation and translation with the focal lengths.

#include <array>

namespace quorl {

struct PlanePoint {
  double x;
  double y;
};
using CornerSet = std::array<PlanePoint, 4>;
using Matrix3 = std::array<double, 9>;   // row-major 3 x 3
using Matrix9 = std::array<double, 81>;  // row-major 9 x 9
using Vector9 = std::array<double, 9>;

// The registered rectangle is modelled as this square (side 200, centred on the origin), corners in
// click order.
inline constexpr CornerSet kModelSquare = {{{-100.0, -100.0}, {100.0, -100.0}, {100.0, 100.0}, {-100.0, 100.0}}};

// A picture of width x height pixels in model units: 200 wide, centred on the origin, its shape kept (kModelSquare
// for a picture without a width).
inline CornerSet PictureRectangle(int width, int height) {
  const double half = kModelSquare[1].x, halfHeight = width > 0 ? half * height / width : half;
  return {{{-half, -halfHeight}, {half, -halfHeight}, {half, halfHeight}, {-half, halfHeight}}};
}

// Cyclic Jacobi: at most this many sweeps; the estimates after the last one are used as they stand.
inline constexpr int kJacobiMaxSweeps = 50;
// Sweeps 1..kJacobiThresholdSweeps skip elements not above 0.2 * (off-diagonal sum) / n^2.
inline constexpr int kJacobiThresholdSweeps = 3;
// After this sweep, elements negligible against both diagonal entries are set to zero without rotation.
inline constexpr int kJacobiUnderflowSweep = 4;
// An exactly zero LU pivot is replaced by this value.
inline constexpr double kLuTinyPivot = 1e-5;

// `homography` maps model-square points (X, Y, 1) to re-centred image points up to scale (identity at
// start); `modelview` is the model-to-camera rigid transform, rows (r1x r2x r3x tx), (r1y r2y r3y ty),
// (r1z r2z r3z tz), (0 0 0 1), camera x right, y down, z forwards. Both row-major.
struct PoseEstimate {
  Matrix3 homography = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  std::array<double, 16> modelview{};
};

// Normalises each set in place to ((x - mx) / s, (y - my) / s), with (mx, my) its mean and
// s = sqrt(0.125 * sum(x^2 + y^2)) over the raw coordinates; T = [[1/s, 0, -mx/s], [0, 1/s, -my/s], [0, 0, 1]].
void normalizePoints(CornerSet& model, CornerSet& image, Matrix3& modelT, Matrix3& imageT);

// Eigenvalues `d` and eigenvectors (columns of `v`) of the symmetric matrix `a` by cyclic Jacobi
// rotations; `a` is overwritten. Returns false when kJacobiMaxSweeps sweeps pass without convergence.
bool jacobiEigen(Matrix9& a, Vector9& d, Matrix9& v);

// Selection sort of `d` into descending order, swapping the columns of `v` alike; of equal values the
// later index is taken first.
void sortEigenDescending(Vector9& d, Matrix9& v);

// Inverse by LU decomposition with partial pivoting and implicit row scaling (Crout's order); a zero
// pivot becomes kLuTinyPivot. A matrix with an all-zero row has no inverse: the identity is returned.
Matrix3 invert3x3LU(const Matrix3& a);

// Writes out.homography, mapping `model` to `image` corners (inputs are copied, not modified). The
// result is the smallest-eigenvalue solution de-normalised, with whatever scale and sign that gives.
void estimateSquareHomography(PoseEstimate& out, const CornerSet& model, const CornerSet& image);

// Writes pose.modelview from pose.homography (left bit for bit unchanged) and the focal lengths in
// pixels. The homography is scaled to determinant 1 (c = |1/D|^(1/3), negative when D < 0), the first
// column is normalised against fx, fy; r2 is not orthonormalised. A zero determinant gives a non-finite pose.
void poseFromHomography(double fx, double fy, PoseEstimate& pose);

}  // namespace quorl
