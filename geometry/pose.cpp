#include "geometry/pose.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace quorl {
namespace {

constexpr int kN = 9;

double& At(Matrix9& m, int row, int col) { return m[static_cast<std::size_t>(row * kN + col)]; }

// Normalises one point set in place and returns its normalising transform.
Matrix3 NormalizeSet(CornerSet& points) {
  double sumX = 0.0, sumY = 0.0, sumSquares = 0.0;
  for (const PlanePoint& p : points) {
    sumX += p.x;
    sumY += p.y;
    sumSquares += p.x * p.x + p.y * p.y;
  }
  const double mx = sumX * 0.25;
  const double my = sumY * 0.25;
  const double s = std::sqrt(0.125 * sumSquares);
  for (PlanePoint& p : points) {
    p.x = (p.x - mx) / s;
    p.y = (p.y - my) / s;
  }
  return {1.0 / s, 0.0, -mx / s, 0.0, 1.0 / s, -my / s, 0.0, 0.0, 1.0};
}

Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3 c{};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += a[r * 3 + k] * b[k * 3 + col];
      c[r * 3 + col] = sum;
    }
  }
  return c;
}

// One Jacobi rotation of the pair (g, h).
void Rotate(double& g, double& h, double s, double tau) {
  const double g0 = g;
  const double h0 = h;
  g = g0 - s * (h0 + g0 * tau);
  h = h0 + s * (g0 - h0 * tau);
}

}  // namespace

void normalizePoints(CornerSet& model, CornerSet& image, Matrix3& modelT, Matrix3& imageT) {
  modelT = NormalizeSet(model);
  imageT = NormalizeSet(image);
}

bool jacobiEigen(Matrix9& a, Vector9& d, Matrix9& v) {
  Vector9 b{};
  Vector9 z{};
  for (int i = 0; i < kN; ++i) {
    for (int j = 0; j < kN; ++j) At(v, i, j) = i == j ? 1.0 : 0.0;
    b[i] = d[i] = At(a, i, i);
  }
  for (int sweep = 1; sweep <= kJacobiMaxSweeps; ++sweep) {
    double sm = 0.0;
    for (int p = 0; p < kN - 1; ++p) {
      for (int q = p + 1; q < kN; ++q) sm += std::fabs(At(a, p, q));
    }
    if (sm == 0.0) return true;
    const double tresh = sweep <= kJacobiThresholdSweeps ? 0.2 * sm / (kN * kN) : 0.0;
    for (int p = 0; p < kN - 1; ++p) {
      for (int q = p + 1; q < kN; ++q) {
        const double g = 100.0 * std::fabs(At(a, p, q));
        if (sweep > kJacobiUnderflowSweep && std::fabs(d[p]) + g == std::fabs(d[p]) &&
            std::fabs(d[q]) + g == std::fabs(d[q])) {
          At(a, p, q) = 0.0;
        } else if (std::fabs(At(a, p, q)) > tresh) {
          double h = d[q] - d[p];
          double t;
          if (std::fabs(h) + g == std::fabs(h)) {
            t = At(a, p, q) / h;
          } else {
            const double theta = 0.5 * h / At(a, p, q);
            t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
            if (theta < 0.0) t = -t;
          }
          const double c = 1.0 / std::sqrt(t * t + 1.0);
          const double s = t * c;
          const double tau = s / (1.0 + c);
          h = t * At(a, p, q);
          z[p] -= h;
          z[q] += h;
          d[p] -= h;
          d[q] += h;
          At(a, p, q) = 0.0;
          for (int j = 0; j < p; ++j) Rotate(At(a, j, p), At(a, j, q), s, tau);
          for (int j = p + 1; j < q; ++j) Rotate(At(a, p, j), At(a, j, q), s, tau);
          for (int j = q + 1; j < kN; ++j) Rotate(At(a, p, j), At(a, q, j), s, tau);
          for (int j = 0; j < kN; ++j) Rotate(At(v, j, p), At(v, j, q), s, tau);
        }
      }
    }
    for (int i = 0; i < kN; ++i) {
      b[i] += z[i];
      d[i] = b[i];
      z[i] = 0.0;
    }
  }
  return false;
}

void sortEigenDescending(Vector9& d, Matrix9& v) {
  for (int i = 0; i < kN - 1; ++i) {
    int k = i;
    double largest = d[i];
    for (int j = i + 1; j < kN; ++j) {
      if (d[j] >= largest) {
        k = j;
        largest = d[j];
      }
    }
    if (k != i) {
      std::swap(d[i], d[k]);
      for (int row = 0; row < kN; ++row) std::swap(At(v, row, i), At(v, row, k));
    }
  }
}

Matrix3 invert3x3LU(const Matrix3& input) {
  constexpr int n = 3;
  const Matrix3 identity = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  double lu[n][n];
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) lu[i][j] = input[i * n + j];
  }
  // Implicit scaling: each row weighted by the reciprocal of its largest absolute entry.
  double scale[n];
  for (int i = 0; i < n; ++i) {
    double big = 0.0;
    for (int j = 0; j < n; ++j) {
      const double magnitude = std::fabs(lu[i][j]);
      if (magnitude > big) big = magnitude;
    }
    if (big == 0.0) return identity;
    scale[i] = 1.0 / big;
  }
  int pivotRow[n];
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < j; ++i) {
      double sum = lu[i][j];
      for (int k = 0; k < i; ++k) sum -= lu[i][k] * lu[k][j];
      lu[i][j] = sum;
    }
    double big = 0.0;
    int imax = j;
    for (int i = j; i < n; ++i) {
      double sum = lu[i][j];
      for (int k = 0; k < j; ++k) sum -= lu[i][k] * lu[k][j];
      lu[i][j] = sum;
      const double weighted = scale[i] * std::fabs(sum);
      if (weighted >= big) {  // the later row wins a tie
        big = weighted;
        imax = i;
      }
    }
    if (imax != j) {
      for (int k = 0; k < n; ++k) std::swap(lu[imax][k], lu[j][k]);
      scale[imax] = scale[j];
    }
    pivotRow[j] = imax;
    if (lu[j][j] == 0.0) lu[j][j] = kLuTinyPivot;
    if (j != n - 1) {
      const double reciprocal = 1.0 / lu[j][j];
      for (int i = j + 1; i < n; ++i) lu[i][j] *= reciprocal;
    }
  }
  Matrix3 inverse{};
  for (int column = 0; column < n; ++column) {
    double b[n] = {0.0, 0.0, 0.0};
    b[column] = 1.0;
    int firstNonZero = -1;
    for (int i = 0; i < n; ++i) {
      const int ip = pivotRow[i];
      double sum = b[ip];
      b[ip] = b[i];
      if (firstNonZero >= 0) {
        for (int j = firstNonZero; j < i; ++j) sum -= lu[i][j] * b[j];
      } else if (sum != 0.0) {
        firstNonZero = i;
      }
      b[i] = sum;
    }
    for (int i = n - 1; i >= 0; --i) {
      double sum = b[i];
      for (int j = i + 1; j < n; ++j) sum -= lu[i][j] * b[j];
      b[i] = sum / lu[i][i];
    }
    for (int i = 0; i < n; ++i) inverse[i * n + column] = b[i];
  }
  return inverse;
}

void estimateSquareHomography(PoseEstimate& out, const CornerSet& model, const CornerSet& image) {
  CornerSet normModel = model;
  CornerSet normImage = image;
  Matrix3 modelT;
  Matrix3 imageT;
  normalizePoints(normModel, normImage, modelT, imageT);

  double system[8][kN];
  for (std::size_t i = 0; i < 4; ++i) {
    const double X = normModel[i].x, Y = normModel[i].y;
    const double u = normImage[i].x, v = normImage[i].y;
    const double even[kN] = {X, Y, 1.0, 0.0, 0.0, 0.0, -u * X, -u * Y, -u};
    const double odd[kN] = {0.0, 0.0, 0.0, X, Y, 1.0, -v * X, -v * Y, -v};
    for (int c = 0; c < kN; ++c) {
      system[2 * i][c] = even[c];
      system[2 * i + 1][c] = odd[c];
    }
  }
  Matrix9 normal{};
  for (const auto& row : system) {
    for (int i = 0; i < kN; ++i) {
      for (int j = 0; j < kN; ++j) At(normal, i, j) += row[i] * row[j];
    }
  }
  Vector9 eigenvalues;
  Matrix9 eigenvectors;
  jacobiEigen(normal, eigenvalues, eigenvectors);
  sortEigenDescending(eigenvalues, eigenvectors);

  Matrix3 normalized;
  for (int k = 0; k < kN; ++k) normalized[k] = At(eigenvectors, k, kN - 1);
  out.homography = Multiply(Multiply(invert3x3LU(imageT), normalized), modelT);
}

void poseFromHomography(double fx, double fy, PoseEstimate& pose) {
  const Matrix3& h = pose.homography;
  const double det = h[8] * h[0] * h[4] - h[0] * h[5] * h[7] - h[8] * h[1] * h[3] + h[7] * h[2] * h[3] +
                     h[5] * h[1] * h[6] - h[4] * h[2] * h[6];
  double c = std::pow(std::fabs(1.0 / det), 0.3333333333333333);
  if (det < 0.0) c = -c;
  Matrix3 g;
  for (std::size_t i = 0; i < 9; ++i) g[i] = c * h[i];

  const double lambda = std::sqrt(1.0 / (g[0] * g[0] / (fx * fx) + g[3] * g[3] / (fy * fy) + g[6] * g[6]));
  const double r1[3] = {lambda * g[0] / fx, lambda * g[3] / fy, lambda * g[6]};
  const double r2[3] = {lambda * g[1] / fx, lambda * g[4] / fy, lambda * g[7]};
  const double t[3] = {lambda * g[2] / fx, lambda * g[5] / fy, lambda * g[8]};
  const double r3[3] = {r1[1] * r2[2] - r1[2] * r2[1], r1[2] * r2[0] - r1[0] * r2[2], r1[0] * r2[1] - r1[1] * r2[0]};

  pose.modelview = {r1[0], r2[0], r3[0], t[0],  //
                    r1[1], r2[1], r3[1], t[1],  //
                    r1[2], r2[2], r3[2], t[2],  //
                    0.0,   0.0,   0.0,   1.0};
}

}  // namespace quorl
