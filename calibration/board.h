#pragma once
// Calibration boards: their text form, their points on the board plane, their printable picture and their
// detection in a gray frame.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

namespace quorl {

// A printed planar board. Board coordinates are metres on the board plane (z = 0), x to the right and y down
// the printed face, the origin at the first inner corner (the top-left one as printed).
//   chessboard:COLSxROWS:SQUARE_M                 COLS x ROWS inner corners (each 2..64), square side in metres
//   charuco:COLSxROWS:SQUARE_M:MARKER_M[:DICT]    COLS x ROWS squares (each 3..64), ArUco markers of side
//                                                 MARKER_M < SQUARE_M in the white squares; DICT is one of
//                                                 4X4_50 ... 7X7_1000 or ARUCO_ORIGINAL (a DICT_ prefix and
//                                                 any case are accepted), default: the smallest 4x4 one that
//                                                 holds the board's markers
// Lengths are plain decimals from 0.001 to 10 m (0.025, 2.5e-2); the square side at most 1 m.
struct BoardLayout {
  enum class Kind { kChessboard, kCharuco };
  Kind kind = Kind::kChessboard;
  int cols = 9;  // chessboard: inner corners across; ChArUco: squares across
  int rows = 6;  // chessboard: inner corners down; ChArUco: squares down
  double square = 0.025;  // metres
  double marker = 0.0;    // metres; ChArUco only
  int dictionary = 0;     // cv::aruco::PREDEFINED_DICTIONARY_NAME; ChArUco only
};

// Parses `text` (any bytes). Nothing, with a message naming the text and what is wrong, otherwise.
std::optional<BoardLayout> ParseBoardLayout(std::string_view text, std::string& error);
// The board in the text form above, dictionary always given, e.g. "charuco:7x5:0.03:0.022:4X4_50".
std::string BoardLayoutText(const BoardLayout& board);
// For people: "chessboard of 9 x 6 inner corners, squares of 25 mm".
std::string DescribeBoard(const BoardLayout& board);

// Inner corners across and down (ChArUco: squares less one on each axis).
cv::Size InnerCorners(const BoardLayout& board);
// Every inner corner in board coordinates, row by row from the top-left; a detection's ids index this list.
std::vector<cv::Point3f> BoardPoints(const BoardLayout& board);
// Extent of the printed squares in metres: (cols + 1) x (rows + 1) squares for a chessboard, cols x rows
// for ChArUco. In board coordinates the squares span [-square, width - square] x [-square, height - square].
cv::Size2d BoardExtent(const BoardLayout& board);

// The squares (and markers) as an 8-bit gray picture, `pixelsPerSquare` pixels a square (8..1024), inside a
// white margin of `marginPixels` (0..4096) on each side. Board point (x, y) lies at picture pixel
// ((x / square + 1) * pixelsPerSquare + marginPixels - 0.5, likewise for y): pixel centres at integers.
cv::Mat DrawBoard(const BoardLayout& board, int pixelsPerSquare, int marginPixels);

// The board to print at `dotsPerInch` (72..1200) with no scaling: the squares at their true size, a white
// margin of one square (at least 10 mm) and, in the margin below, the caption (PrintCaption) in black.
cv::Mat PrintableBoard(const BoardLayout& board, int dotsPerInch);
// The pixels a square takes in PrintableBoard at `dotsPerInch`: the nearest whole number to its true size.
int PrintPixelsPerSquare(const BoardLayout& board, int dotsPerInch);
// "chessboard:9x6:0.025 - 9 x 6 inner corners, squares 25 mm; printed at 100 % the squares span
// 250 x 175 mm (300 dpi)": what the printed board must measure.
std::string PrintCaption(const BoardLayout& board, int dotsPerInch);

// One board seen in one frame: the image points found and, index for index, the board points and ids
// (indices into BoardPoints) they belong to.
struct BoardDetection {
  std::vector<cv::Point2f> imagePoints;
  std::vector<cv::Point3f> boardPoints;
  std::vector<int> ids;
};

// Finds a board in 8-bit gray frames. Chessboard: cv::findChessboardCorners (adaptive threshold,
// normalised, quick check) refined by cv::cornerSubPix; the whole board must be in view. ChArUco:
// cv::aruco::detectMarkers and interpolateCornersCharuco, each corner then placed by the homography of the
// markers nearest to it and refined by cornerSubPix short of the markers; part of the board is enough. A detection needs
// at least kMinDetectedCorners corners, not all on one line. Holds the ArUco dictionary; not thread-safe.
class BoardDetector {
 public:
  static constexpr int kMinDetectedCorners = 8;

  explicit BoardDetector(const BoardLayout& board);
  ~BoardDetector();
  BoardDetector(const BoardDetector&) = delete;
  BoardDetector& operator=(const BoardDetector&) = delete;

  // Nothing when no board is found (or `gray` is not 8-bit single-channel).
  std::optional<BoardDetection> detect(const cv::Mat& gray) const;
  const BoardLayout& board() const { return board_; }

 private:
  struct Charuco;
  void refineCharucoCorners(const cv::Mat& gray, const std::vector<std::vector<cv::Point2f>>& markers,
                            const std::vector<int>& markerIds, const std::vector<int>& ids,
                            BoardDetection& found) const;
  BoardLayout board_;
  std::vector<cv::Point3f> points_;
  std::unique_ptr<Charuco> charuco_;  // ChArUco only
};

}  // namespace quorl
