#include "calibration/board.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include <opencv2/aruco/charuco.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace quorl {
namespace {

constexpr int kMaxSide = 64;
constexpr double kMinLength = 0.001;
constexpr double kMaxLength = 10.0;
constexpr double kMaxSquare = 1.0;

struct DictionaryName {
  const char* name;
  int id;
  int size;  // markers it holds
};
constexpr std::array<DictionaryName, 17> kDictionaries{{
    {"4X4_50", cv::aruco::DICT_4X4_50, 50},       {"4X4_100", cv::aruco::DICT_4X4_100, 100},
    {"4X4_250", cv::aruco::DICT_4X4_250, 250},    {"4X4_1000", cv::aruco::DICT_4X4_1000, 1000},
    {"5X5_50", cv::aruco::DICT_5X5_50, 50},       {"5X5_100", cv::aruco::DICT_5X5_100, 100},
    {"5X5_250", cv::aruco::DICT_5X5_250, 250},    {"5X5_1000", cv::aruco::DICT_5X5_1000, 1000},
    {"6X6_50", cv::aruco::DICT_6X6_50, 50},       {"6X6_100", cv::aruco::DICT_6X6_100, 100},
    {"6X6_250", cv::aruco::DICT_6X6_250, 250},    {"6X6_1000", cv::aruco::DICT_6X6_1000, 1000},
    {"7X7_50", cv::aruco::DICT_7X7_50, 50},       {"7X7_100", cv::aruco::DICT_7X7_100, 100},
    {"7X7_250", cv::aruco::DICT_7X7_250, 250},    {"7X7_1000", cv::aruco::DICT_7X7_1000, 1000},
    {"ARUCO_ORIGINAL", cv::aruco::DICT_ARUCO_ORIGINAL, 1024},
}};

const DictionaryName* findDictionary(int id) {
  for (const DictionaryName& d : kDictionaries)
    if (d.id == id) return &d;
  return nullptr;
}

// `text` in single quotes with control and non-ASCII bytes shown as \xHH, at most 80 bytes, for messages.
std::string quoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text.substr(0, 80)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  if (text.size() > 80) out += "...";
  out += '\'';
  return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

std::optional<int> parseSide(std::string_view text, int lo) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lo || value > kMaxSide)
    return std::nullopt;
  return value;
}

// A decimal length (from_chars: no locale, no sign, no hex, no "inf" accepted below) within the limits.
std::optional<double> parseLength(std::string_view text, double hi) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.'))
    return std::nullopt;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < kMinLength ||
      value > hi)
    return std::nullopt;
  return value;
}

std::string millimetres(double metres) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g mm", metres * 1000.0);
  return text;
}

// Straight-line test: the points' smaller principal spread is under a tenth of a pixel.
bool collinear(const std::vector<cv::Point2f>& points) {
  cv::Point2d mean;
  for (const cv::Point2f& p : points) mean += cv::Point2d(p);
  mean *= 1.0 / static_cast<double>(points.size());
  double sxx = 0, syy = 0, sxy = 0;
  for (const cv::Point2f& p : points) {
    const cv::Point2d d = cv::Point2d(p) - mean;
    sxx += d.x * d.x, syy += d.y * d.y, sxy += d.x * d.y;
  }
  const double n = static_cast<double>(points.size());
  const double half = (sxx + syy) / (2 * n);
  const double smaller = half - std::sqrt(std::pow((sxx - syy) / (2 * n), 2) + std::pow(sxy / n, 2));
  return smaller < 0.01;
}

}  // namespace

std::optional<BoardLayout> ParseBoardLayout(std::string_view text, std::string& error) {
  const std::string shown = quoted(text);
  const auto fail = [&](const std::string& why) {
    error = "Bad board " + shown + ": " + why + ".";
    return std::nullopt;
  };
  const std::vector<std::string_view> parts = split(text, ':');
  BoardLayout board;
  if (parts[0] == "chessboard") {
    board.kind = BoardLayout::Kind::kChessboard;
    if (parts.size() != 3) return fail("use chessboard:COLSxROWS:SQUARE_M, e.g. chessboard:9x6:0.025");
  } else if (parts[0] == "charuco") {
    board.kind = BoardLayout::Kind::kCharuco;
    if (parts.size() != 4 && parts.size() != 5)
      return fail("use charuco:COLSxROWS:SQUARE_M:MARKER_M[:DICT], e.g. charuco:7x5:0.03:0.022");
  } else {
    return fail("it starts with chessboard: or charuco:");
  }
  const bool charuco = board.kind == BoardLayout::Kind::kCharuco;
  const std::size_t x = parts[1].find_first_of("xX");
  const int minSide = charuco ? 3 : 2;
  const auto cols = x == std::string_view::npos ? std::nullopt : parseSide(parts[1].substr(0, x), minSide);
  const auto rows = x == std::string_view::npos ? std::nullopt : parseSide(parts[1].substr(x + 1), minSide);
  if (!cols || !rows)
    return fail(std::string(charuco ? "squares" : "inner corners") + " COLSxROWS, each " + std::to_string(minSide) +
                " to " + std::to_string(kMaxSide) + ", not " + quoted(parts[1]));
  board.cols = *cols;
  board.rows = *rows;
  const auto square = parseLength(parts[2], kMaxSquare);
  if (!square) return fail("the square side is a length in metres from 0.001 to 1, not " + quoted(parts[2]));
  board.square = *square;
  if (!charuco) return board;

  const auto marker = parseLength(parts[3], kMaxLength);
  if (!marker || *marker >= board.square)
    return fail("the marker side is a length in metres from 0.001 to less than the square side, not " + quoted(parts[3]));
  board.marker = *marker;
  const int markers = board.cols * board.rows / 2;
  if (parts.size() == 5) {
    std::string name(parts[4]);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    if (name.rfind("DICT_", 0) == 0) name.erase(0, 5);
    const auto found = std::find_if(kDictionaries.begin(), kDictionaries.end(),
                                    [&](const DictionaryName& d) { return name == d.name; });
    if (found == kDictionaries.end())
      return fail("unknown dictionary " + quoted(parts[4]) + ": use 4X4_50 ... 7X7_1000 or ARUCO_ORIGINAL");
    if (found->size < markers)
      return fail("the board has " + std::to_string(markers) + " markers, the dictionary " + found->name + " only " +
                  std::to_string(found->size));
    board.dictionary = found->id;
  } else {
    // The 4x4 dictionaries come first in the table, smallest first.
    const auto fits = std::find_if(kDictionaries.begin(), kDictionaries.begin() + 4,
                                   [&](const DictionaryName& d) { return d.size >= markers; });
    if (fits == kDictionaries.begin() + 4)
      return fail("the board has " + std::to_string(markers) + " markers: name a dictionary that holds them");
    board.dictionary = fits->id;
  }
  return board;
}

std::string BoardLayoutText(const BoardLayout& board) {
  char text[160];
  if (board.kind == BoardLayout::Kind::kChessboard) {
    std::snprintf(text, sizeof text, "chessboard:%dx%d:%.12g", board.cols, board.rows, board.square);
  } else {
    const DictionaryName* d = findDictionary(board.dictionary);
    std::snprintf(text, sizeof text, "charuco:%dx%d:%.12g:%.12g:%s", board.cols, board.rows, board.square,
                  board.marker, d ? d->name : "?");
  }
  return text;
}

std::string DescribeBoard(const BoardLayout& board) {
  const std::string size = std::to_string(board.cols) + " x " + std::to_string(board.rows);
  if (board.kind == BoardLayout::Kind::kChessboard)
    return "chessboard of " + size + " inner corners, squares of " + millimetres(board.square);
  const DictionaryName* d = findDictionary(board.dictionary);
  return "ChArUco board of " + size + " squares of " + millimetres(board.square) + ", markers of " +
         millimetres(board.marker) + " (" + (d ? d->name : "?") + ")";
}

cv::Size InnerCorners(const BoardLayout& board) {
  return board.kind == BoardLayout::Kind::kChessboard ? cv::Size(board.cols, board.rows)
                                                    : cv::Size(board.cols - 1, board.rows - 1);
}

std::vector<cv::Point3f> BoardPoints(const BoardLayout& board) {
  const cv::Size inner = InnerCorners(board);
  std::vector<cv::Point3f> points;
  points.reserve(static_cast<std::size_t>(inner.area()));
  for (int r = 0; r < inner.height; ++r)
    for (int c = 0; c < inner.width; ++c)
      points.emplace_back(static_cast<float>(c * board.square), static_cast<float>(r * board.square), 0.0f);
  return points;
}

cv::Size2d BoardExtent(const BoardLayout& board) {
  const cv::Size inner = InnerCorners(board);
  return {(inner.width + 1) * board.square, (inner.height + 1) * board.square};
}

cv::Mat DrawBoard(const BoardLayout& board, int pixelsPerSquare, int marginPixels) {
  const int pps = std::clamp(pixelsPerSquare, 8, 1024);
  const int margin = std::clamp(marginPixels, 0, 4096);
  const cv::Size inner = InnerCorners(board);
  const cv::Size squares(inner.width + 1, inner.height + 1);
  cv::Mat picture(squares.height * pps + 2 * margin, squares.width * pps + 2 * margin, CV_8UC1, cv::Scalar(255));
  cv::Mat face = picture(cv::Rect(margin, margin, squares.width * pps, squares.height * pps));
  if (board.kind == BoardLayout::Kind::kChessboard) {
    for (int r = 0; r < squares.height; ++r)
      for (int c = 0; c < squares.width; ++c)
        if ((r + c) % 2 == 0) face(cv::Rect(c * pps, r * pps, pps, pps)).setTo(0);
  } else {
    const auto charuco = cv::aruco::CharucoBoard::create(board.cols, board.rows, static_cast<float>(board.square),
                                                         static_cast<float>(board.marker),
                                                         cv::aruco::getPredefinedDictionary(board.dictionary));
    cv::Mat drawn;
    charuco->draw(face.size(), drawn, 0, 1);
    drawn.copyTo(face);
  }
  return picture;
}

std::string PrintCaption(const BoardLayout& board, int dotsPerInch) {
  const cv::Size2d extent = BoardExtent(board);
  char size[96];
  std::snprintf(size, sizeof size, "printed at 100 %% the squares span %.4g x %.4g mm (%d dpi)", extent.width * 1000.0,
                extent.height * 1000.0, dotsPerInch);
  return BoardLayoutText(board) + " - " + DescribeBoard(board) + "; " + size;
}

int PrintPixelsPerSquare(const BoardLayout& board, int dotsPerInch) {
  const double pixelsPerMetre = std::clamp(dotsPerInch, 72, 1200) / 0.0254;
  return std::clamp(static_cast<int>(std::lround(board.square * pixelsPerMetre)), 8, 1024);
}

cv::Mat PrintableBoard(const BoardLayout& board, int dotsPerInch) {
  const int dpi = std::clamp(dotsPerInch, 72, 1200);
  const double pixelsPerMetre = dpi / 0.0254;
  const int pps = PrintPixelsPerSquare(board, dpi);
  const int margin = std::max(pps, static_cast<int>(std::lround(0.010 * pixelsPerMetre)));
  cv::Mat picture = DrawBoard(board, pps, margin);
  // The caption fills the lower margin's width at most, its letters about 3 mm high.
  const std::string caption = PrintCaption(board, dpi);
  const int font = cv::FONT_HERSHEY_SIMPLEX;
  double scale = 0.003 * pixelsPerMetre / 22.0;
  int baseline = 0;
  cv::Size text = cv::getTextSize(caption, font, scale, 1, &baseline);
  if (text.width > picture.cols - margin) {
    scale *= static_cast<double>(picture.cols - margin) / text.width;
    text = cv::getTextSize(caption, font, scale, 1, &baseline);
  }
  const int thickness = std::max(1, static_cast<int>(scale * 2));
  cv::putText(picture, caption, cv::Point(margin / 2, picture.rows - (margin - text.height) / 2), font, scale,
              cv::Scalar(0), thickness, cv::LINE_AA);
  return picture;
}

struct BoardDetector::Charuco {
  cv::Ptr<cv::aruco::CharucoBoard> board;
  cv::Ptr<cv::aruco::DetectorParameters> parameters;
};

BoardDetector::BoardDetector(const BoardLayout& board) : board_(board), points_(BoardPoints(board)) {
  if (board.kind == BoardLayout::Kind::kCharuco) {
    charuco_ = std::make_unique<Charuco>();
    charuco_->board = cv::aruco::CharucoBoard::create(board.cols, board.rows, static_cast<float>(board.square),
                                                      static_cast<float>(board.marker),
                                                      cv::aruco::getPredefinedDictionary(board.dictionary));
    charuco_->parameters = cv::aruco::DetectorParameters::create();
    charuco_->parameters->cornerRefinementMethod = cv::aruco::CORNER_REFINE_SUBPIX;
  }
}

BoardDetector::~BoardDetector() = default;

// OpenCV's interpolation picks the corners between found markers, but its own refinement window can reach
// a marker's corner under a steep tilt. Each corner is placed instead by the homography of the (up to four)
// found markers nearest to it on the board, then refined by cv::cornerSubPix in a window that stays short
// of the markers' corners; a corner that then moves further than that window is dropped.
void BoardDetector::refineCharucoCorners(const cv::Mat& gray, const std::vector<std::vector<cv::Point2f>>& markers,
                                         const std::vector<int>& markerIds, const std::vector<int>& ids,
                                         BoardDetection& found) const {
  const auto& board = *charuco_->board;
  // Board coordinates (OpenCV's: origin at the squares' outer corner) of each found marker's corners.
  std::vector<std::vector<cv::Point2f>> markerBoard;
  for (const int id : markerIds) {
    const auto at = std::find(board.ids.begin(), board.ids.end(), id);
    std::vector<cv::Point2f> corners;
    if (at != board.ids.end())
      for (const cv::Point3f& p : board.objPoints[static_cast<std::size_t>(at - board.ids.begin())])
        corners.emplace_back(p.x, p.y);
    markerBoard.push_back(corners);
  }
  const double gap = (board_.square - board_.marker) / 2.0;
  for (const int id : ids) {
    if (id < 0 || static_cast<std::size_t>(id) >= points_.size()) continue;
    const cv::Point3f& own = points_[static_cast<std::size_t>(id)];
    const cv::Point2f corner(static_cast<float>(own.x + board_.square), static_cast<float>(own.y + board_.square));
    std::vector<std::pair<double, std::size_t>> nearest;
    for (std::size_t m = 0; m < markerBoard.size(); ++m)
      if (!markerBoard[m].empty()) {
        const cv::Point2f centre = (markerBoard[m][0] + markerBoard[m][2]) * 0.5f;
        nearest.emplace_back(cv::norm(centre - corner), m);
      }
    if (nearest.empty()) continue;
    std::sort(nearest.begin(), nearest.end());
    nearest.resize(std::min<std::size_t>(nearest.size(), 4));
    std::vector<cv::Point2f> from, to;
    for (const auto& [distance, m] : nearest) {
      from.insert(from.end(), markerBoard[m].begin(), markerBoard[m].end());
      to.insert(to.end(), markers[m].begin(), markers[m].end());
    }
    const cv::Mat h = cv::findHomography(from, to, 0);
    if (h.empty()) continue;
    std::vector<cv::Point2f> ends{corner, corner + cv::Point2f(static_cast<float>(gap), static_cast<float>(gap))},
        seen;
    cv::perspectiveTransform(ends, seen, h);
    // The marker corner diagonally nearest lies (gap, gap) away on the board; the window stays inside it.
    const cv::Point2f offset = seen[1] - seen[0];
    const int half = static_cast<int>(0.8 * std::min(std::abs(offset.x), std::abs(offset.y)));
    if (half < 2 || seen[0].x < 0 || seen[0].y < 0 || seen[0].x > gray.cols - 1 || seen[0].y > gray.rows - 1) continue;
    std::vector<cv::Point2f> refined{seen[0]};
    cv::cornerSubPix(gray, refined, cv::Size(std::min(half, 11), std::min(half, 11)), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40, 0.001));
    if (cv::norm(refined[0] - seen[0]) > std::min(half, 11)) continue;
    found.imagePoints.push_back(refined[0]);
    found.boardPoints.push_back(own);
    found.ids.push_back(id);
  }
}

std::optional<BoardDetection> BoardDetector::detect(const cv::Mat& gray) const {
  if (gray.empty() || gray.type() != CV_8UC1) return std::nullopt;
  BoardDetection found;
  try {
    if (!charuco_) {
      const cv::Size inner = InnerCorners(board_);
      if (!cv::findChessboardCorners(gray, inner, found.imagePoints,
                                     cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE |
                                         cv::CALIB_CB_FAST_CHECK))
        return std::nullopt;
      // The refinement window: half the smallest distance between neighbouring corners, 2..11 pixels.
      double spacing = 1e9;
      for (int r = 0; r < inner.height; ++r)
        for (int c = 0; c + 1 < inner.width; ++c) {
          const std::size_t i = static_cast<std::size_t>(r * inner.width + c);
          spacing = std::min(spacing, cv::norm(found.imagePoints[i + 1] - found.imagePoints[i]));
        }
      const int half = std::clamp(static_cast<int>(spacing / 2), 2, 11);
      cv::cornerSubPix(gray, found.imagePoints, cv::Size(half, half), cv::Size(-1, -1),
                       cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40, 0.001));
      found.boardPoints = points_;
      found.ids.resize(points_.size());
      for (std::size_t i = 0; i < points_.size(); ++i) found.ids[i] = static_cast<int>(i);
    } else {
      std::vector<std::vector<cv::Point2f>> markers;
      std::vector<int> markerIds;
      cv::aruco::detectMarkers(gray, charuco_->board->dictionary, markers, markerIds, charuco_->parameters);
      if (markerIds.empty()) return std::nullopt;
      std::vector<cv::Point2f> interpolated;
      std::vector<int> ids;
      cv::aruco::interpolateCornersCharuco(markers, markerIds, gray, charuco_->board, interpolated, ids);
      refineCharucoCorners(gray, markers, markerIds, ids, found);
    }
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (found.imagePoints.size() < static_cast<std::size_t>(kMinDetectedCorners) || collinear(found.imagePoints))
    return std::nullopt;
  return found;
}

}  // namespace quorl
