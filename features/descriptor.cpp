#include "features/descriptor.h"

#include <cmath>
#include <cstring>

namespace quorl {
namespace {

constexpr int kSide = 2 * kPatchRadius + 1;       // 21
constexpr int kPatchPixels = kSide * kSide;       // 441
constexpr int kZeroPixel = kPatchPixels;          // index of a padding pixel that is always 0
constexpr int kCellCount = 90;                    // 69 off-axis cells, 20 axis cells, the centre
constexpr int kHalf = kMomentCount / 2;           // moments with even m, and with odd m: 10 each

// Per quadrant cell: the patch indices of its mirror pixels (dx, dy), (-dx, dy), (-dx, -dy), (dx, -dy),
// with absent mirrors (on the axes and at the centre) pointing at the zero pixel, and the basis values
// of all moments laid out as [Re, even m][Re, odd m][Im, even m][Im, odd m].
struct CellTables {
  int pixel[kCellCount][4];
  double coef[kCellCount][4 * kHalf];
  int evenMoment[kHalf];  // moment index k of slot j in the even-m groups
  int oddMoment[kHalf];
};

void BuildMomentTables(DescriptorTables& t);
void BuildCellTables(const DescriptorTables& t, CellTables& cells);

struct AllTables {
  DescriptorTables moments;
  CellTables cells;
  AllTables() {
    BuildMomentTables(moments);
    BuildCellTables(moments, cells);
  }
};

int PatchIndex(int dx, int dy) { return (kPatchRadius - dy) * kSide + (kPatchRadius + dx); }

void BuildMomentTables(DescriptorTables& t) {
  int k = 0;
  for (auto& row : t.momentIndex) row.fill(-1);
  for (int n = 0; n <= kMaxOrder; ++n) {
    for (int m = n % 2; m <= n; m += 2) {
      t.orderN[k] = n;
      t.repetitionM[k] = m;
      t.momentIndex[n][m] = k++;
    }
  }

  constexpr double kNorm = 157.07963267948966;  // 50 pi
  for (int r = 0; r <= kPatchRadius; ++r) {
    for (int c = 0; c <= kPatchRadius; ++c) {
      const int dy = kPatchRadius - r;
      const int d2 = c * c + dy * dy;
      t.mask[r][c] = d2 <= kPatchRadius * kPatchRadius ? 1 : 0;
      t.weight[r][c] = t.mask[r][c] ? std::exp(-d2 / 50.0) / kNorm : 0.0;
    }
  }

  double factorial[12];
  factorial[0] = 1.0;
  for (int i = 1; i < 12; ++i) factorial[i] = factorial[i - 1] * i;
  for (k = 0; k < kMomentCount; ++k) {
    const int n = t.orderN[k];
    const int m = t.repetitionM[k];
    for (int s = 0; s <= kPatchRadius; ++s) {
      const double rho = s / 10.0;
      double sum = 0.0;
      for (int j = 0; j <= (n - m) / 2; ++j) {
        const double term = factorial[n - j] /
                            (factorial[j] * factorial[(n + m) / 2 - j] * factorial[(n - m) / 2 - j]) *
                            std::pow(rho, n - 2 * j);
        sum += j % 2 ? -term : term;
      }
      t.radial[k][s] = sum;
    }
  }

  for (k = 0; k < kMomentCount; ++k) {
    const int m = t.repetitionM[k];
    for (int r = 0; r <= kPatchRadius; ++r) {
      for (int c = 0; c <= kPatchRadius; ++c) {
        if (!t.mask[r][c]) {
          t.basisRe[k][r][c] = t.basisIm[k][r][c] = 0.0;
          continue;
        }
        const int dy = kPatchRadius - r;
        const int s = static_cast<int>(std::floor(std::sqrt(static_cast<double>(c * c + dy * dy)) + 0.5));
        const double theta = std::atan2(static_cast<double>(dy), static_cast<double>(c));
        const double wr = t.weight[r][c] * t.radial[k][s];
        t.basisRe[k][r][c] = wr * std::cos(m * theta);
        t.basisIm[k][r][c] = wr * std::sin(m * theta);
      }
    }
  }
}

void BuildCellTables(const DescriptorTables& t, CellTables& cells) {
  int even = 0, odd = 0;
  for (int k = 0; k < kMomentCount; ++k) {
    if (t.repetitionM[k] % 2 == 0) cells.evenMoment[even++] = k;
    else cells.oddMoment[odd++] = k;
  }

  int cell = 0;
  auto addCell = [&](int dx, int dy, int a, int b, int c, int d) {
    const int r = kPatchRadius - dy;
    int* pixel = cells.pixel[cell];
    pixel[0] = a;
    pixel[1] = b;
    pixel[2] = c;
    pixel[3] = d;
    double* coef = cells.coef[cell];
    for (int j = 0; j < kHalf; ++j) {
      coef[j] = t.basisRe[cells.evenMoment[j]][r][dx];
      coef[kHalf + j] = t.basisRe[cells.oddMoment[j]][r][dx];
      coef[2 * kHalf + j] = t.basisIm[cells.evenMoment[j]][r][dx];
      coef[3 * kHalf + j] = t.basisIm[cells.oddMoment[j]][r][dx];
    }
    ++cell;
  };
  for (int dy = 1; dy <= kPatchRadius; ++dy) {
    for (int dx = 1; dx <= kPatchRadius; ++dx) {
      if (!t.mask[kPatchRadius - dy][dx]) continue;
      addCell(dx, dy, PatchIndex(dx, dy), PatchIndex(-dx, dy), PatchIndex(-dx, -dy), PatchIndex(dx, -dy));
    }
  }
  for (int dx = 1; dx <= kPatchRadius; ++dx)
    addCell(dx, 0, PatchIndex(dx, 0), PatchIndex(-dx, 0), kZeroPixel, kZeroPixel);
  for (int dy = 1; dy <= kPatchRadius; ++dy)
    addCell(0, dy, PatchIndex(0, dy), kZeroPixel, kZeroPixel, PatchIndex(0, -dy));
  addCell(0, 0, PatchIndex(0, 0), kZeroPixel, kZeroPixel, kZeroPixel);
}

const AllTables& Tables() {
  static const AllTables tables;  // built once on first use; the initialisation is thread-safe
  return tables;
}

}  // namespace

const DescriptorTables& GetDescriptorTables() { return Tables().moments; }

void InitDescriptorTables() { Tables(); }

namespace {

// The descriptor of DescribeKeypoint; `orientation`, when given, receives the phase of Z_11.
void Describe(const GrayImage& gray, int x, int y, KeypointDescriptor& out, double* orientation) {
  const CellTables& cells = Tables().cells;

  unsigned char patch[kPatchPixels + 1];
  const int left = x - kPatchRadius;
  const int top = y - kPatchRadius;
  if (left >= 0 && top >= 0 && left + kSide <= gray.width && top + kSide <= gray.height) {
    for (int i = 0; i < kSide; ++i) std::memcpy(patch + i * kSide, gray.rows[top + i] + left, kSide);
    patch[kZeroPixel] = 0;
  } else {
    std::memset(patch, 0, sizeof patch);
    for (int i = 0; i < kSide; ++i) {
      const int row = top + i;
      if (row < 0 || row >= gray.height) continue;
      for (int j = 0; j < kSide; ++j) {
        const int col = left + j;
        if (col >= 0 && col < gray.width) patch[i * kSide + j] = gray.rows[row][col];
      }
    }
  }

  // Gray levels enter unscaled: the 1/255 and the 1/317 of the moments cancel in the ratio below.
  double acc[4 * kHalf] = {};
  for (int cell = 0; cell < kCellCount; ++cell) {
    const int* p = cells.pixel[cell];
    const int a = patch[p[0]], b = patch[p[1]], c = patch[p[2]], d = patch[p[3]];
    const double sumEven = a + b + c + d;  // Re, even m: all four mirrors with sign +1
    const double sumOdd = a - b - c + d;   // Re, odd m: the left half flips sign
    const double difEven = a - b + c - d;  // Im, even m: sign of sin(m theta) per mirror
    const double difOdd = a + b - c - d;   // Im, odd m: the lower half flips sign
    const double* coef = cells.coef[cell];
    for (int j = 0; j < kHalf; ++j) {
      acc[j] += coef[j] * sumEven;
      acc[kHalf + j] += coef[kHalf + j] * sumOdd;
      acc[2 * kHalf + j] += coef[2 * kHalf + j] * difEven;
      acc[3 * kHalf + j] += coef[3 * kHalf + j] * difOdd;
    }
  }

  double magnitude[kMomentCount];
  for (int j = 0; j < kHalf; ++j) {
    magnitude[cells.evenMoment[j]] = std::sqrt(acc[j] * acc[j] + acc[2 * kHalf + j] * acc[2 * kHalf + j]);
    magnitude[cells.oddMoment[j]] =
        std::sqrt(acc[kHalf + j] * acc[kHalf + j] + acc[3 * kHalf + j] * acc[3 * kHalf + j]);
  }
  const double mean = std::fabs(acc[0]);  // Re Z_0; moment 0 is the first even-m moment
  for (int i = 0; i < kDescriptorSize; ++i) out[i] = mean > 0.0 ? magnitude[i + 1] / mean : 0.0;
  // Z_11 is the first odd-m moment: its real part sits in slot kHalf, its imaginary part in 3 kHalf.
  if (orientation != nullptr) *orientation = std::atan2(acc[3 * kHalf], acc[kHalf]);
}

}  // namespace

KeypointDescriptor& DescribeKeypoint(const GrayImage& gray, int x, int y, KeypointDescriptor& out) {
  Describe(gray, x, y, out, nullptr);
  return out;
}

double DescribeOrientedKeypoint(const GrayImage& gray, int x, int y, KeypointDescriptor& out) {
  double orientation = 0.0;
  Describe(gray, x, y, out, &orientation);
  return orientation;
}

}  // namespace quorl
