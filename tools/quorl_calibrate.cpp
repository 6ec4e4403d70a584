// quorl-calibrate: calibrates a camera from views of a printed board (photos, a video, a camera or the board
// scene) and writes OpenCV's calibration YAML with the 136-byte camera file beside it.
#include <cairo-pdf.h>
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/board.h"
#include "calibration/calibration_files.h"
#include "calibration/session.h"
#include "capture/board_scene.h"
#include "capture/open_source.h"
#include "tools/track_options.h"

namespace quorl {
namespace {

constexpr const char* kVersion = "quorl-calibrate 2.0.0";
// A camera or the board scene stops once the coverage is complete with this many views.
constexpr int kEnoughViews = 15;
constexpr long long kLiveFrameLimit = 3600;
constexpr int kPrintDpi = 300;

// The options, their values and their help: getopt_long's table and the usage text are made from this.
struct OptionInfo {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* help;
};
constexpr OptionInfo kOptions[] = {
    {"source", "S",
     "where the views come from: a FOLDER of photos (read in name order), a photo pattern such as "
     "left%02d.jpg, a video file, camera:N, or the board scene: board, board:chessboard, board:charuco"},
    {"board", "BOARD",
     "the board: chessboard:COLSxROWS:SQUARE_M (inner corners, square side in metres) or "
     "charuco:COLSxROWS:SQUARE_M:MARKER_M[:DICT] (squares); default chessboard:9x6:0.025, for "
     "board:charuco the scene's charuco:7x5:0.03:0.022:4X4_50"},
    {"out", "FILE.yml", "write the calibration to FILE.yml (OpenCV's layout) and FILE.dat (the 136-byte camera file)"},
    {"frames", "N",
     "frames to read at most (default: a video or pattern to its end; a camera or the board scene until the "
     "coverage is complete with 15 views, at most 3600)"},
    {"size", "WxH", "frame size asked of a camera or the board scene (default 640x480)"},
    {"print-board", "FILE",
     "write the board to print with no scaling, its size in the margin: a PDF page of its own size when FILE ends "
     "in .pdf, else a PNG at 300 dpi"},
    {"help", nullptr, "this text"},
    {"version", nullptr, "the program's version"},
};
constexpr int kOptionCount = static_cast<int>(sizeof kOptions / sizeof kOptions[0]);

std::string usage() {
  std::string text =
      "Usage: quorl-calibrate --source S [--board BOARD] [--out FILE.yml] [options]\n"
      "Calibrates a camera from views of a printed board: every photo of a folder, or from video the views\n"
      "where the board holds still and shows something new. Prints the reprojection errors and the coverage;\n"
      "refuses too few views or poor coverage.\n\n";
  for (const OptionInfo& o : kOptions) {
    std::string head = std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
    head.resize(std::max<std::size_t>(head.size() + 2, 22), ' ');
    // Wraps the help at 100 columns, continuation lines under the first.
    std::string line = head;
    std::size_t start = 0;
    const std::string help = o.help;
    while (start < help.size()) {
      std::size_t end = help.size();
      if (line.size() + (end - start) > 100) {
        end = help.rfind(' ', start + (100 - line.size()));
        if (end == std::string::npos || end <= start) end = help.find(' ', start);
        if (end == std::string::npos) end = help.size();
      }
      text += line + help.substr(start, end - start) + "\n";
      line = std::string(22, ' ');
      start = end + 1;
    }
  }
  return text;
}

struct Args {
  std::string source;
  std::optional<BoardLayout> board;
  std::string out;
  std::optional<long long> frames;
  std::optional<FrameSize> size;
  std::string printBoard;
};

// Nothing with `exitCode` set when the program ends here (help, version, a bad option).
std::optional<Args> parseArgs(int argc, char** argv, int& exitCode) {
  std::vector<option> table;
  for (int i = 0; i < kOptionCount; ++i)
    table.push_back({kOptions[i].name, kOptions[i].value ? required_argument : no_argument, nullptr, i});
  table.push_back({nullptr, 0, nullptr, 0});
  Args args;
  opterr = 0;
  const auto bad = [&](const std::string& message) {
    std::fprintf(stderr, "quorl-calibrate: %s\n", message.c_str());
    exitCode = 2;
    return std::nullopt;
  };
  int index = 0;
  for (int code; (code = getopt_long(argc, argv, "", table.data(), &index)) != -1;) {
    if (code == '?' || code == ':') {
      const std::string what = optind >= 1 && optind <= argc ? argv[optind - 1] : "?";
      return bad("unknown option or missing value: " + what + " (see --help)");
    }
    const std::string name = kOptions[code].name;
    const std::string value = optarg ? optarg : "";
    std::string error;
    if (name == "help") {
      std::fputs(usage().c_str(), stdout);
      exitCode = std::fflush(stdout) == 0 ? 0 : 1;
      return std::nullopt;
    } else if (name == "version") {
      std::puts(kVersion);
      exitCode = std::fflush(stdout) == 0 ? 0 : 1;
      return std::nullopt;
    } else if (name == "source") {
      args.source = value;
    } else if (name == "board") {
      args.board = ParseBoardLayout(value, error);
      if (!args.board) return bad(error);
    } else if (name == "out") {
      if (CameraFilePathFor(value).empty()) return bad("--out wants a file name ending in .yml or .yaml, not '" + value + "'");
      args.out = value;
    } else if (name == "frames") {
      args.frames = ParseCount(value, 1LL << 40);
      if (!args.frames || *args.frames == 0) return bad("--frames wants a positive count, not '" + value + "'");
    } else if (name == "size") {
      args.size = ParseFrameSize(value);
      if (!args.size)
        return bad("--size wants WxH with sides of " + std::to_string(kMinFrameSide) + " to " +
                   std::to_string(kMaxFrameSide) + ", not '" + value + "'");
    } else if (name == "print-board") {
      if (value.empty()) return bad("--print-board wants a file name");
      args.printBoard = value;
    }
  }
  if (optind < argc) return bad(std::string("unexpected argument '") + argv[optind] + "' (see --help)");
  if (args.source.empty() && args.printBoard.empty()) return bad("no --source given (see --help)");
  return args;
}

bool isFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

// The readable pictures of a folder, in name order.
std::vector<std::string> photosIn(const std::string& folder) {
  std::vector<std::string> photos;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::error_code typeError;
    if (!entry.is_regular_file(typeError)) continue;
    const std::string path = entry.path().string();
    bool readable = false;
    try {
      readable = cv::haveImageReader(path);
    } catch (const cv::Exception&) {
    }
    if (readable) photos.push_back(path);
  }
  std::sort(photos.begin(), photos.end());
  return photos;
}

// Every photo of the folder with a board in it is a view. Nothing, with the message printed, when the
// folder holds no photo or the photos differ in size.
std::optional<CalibrationSession> viewsFromPhotos(const std::string& folder, const BoardLayout& board,
                                                  std::vector<std::string>& names) {
  const std::vector<std::string> photos = photosIn(folder);
  if (photos.empty()) {
    std::fprintf(stderr, "quorl-calibrate: the folder '%s' holds no photos.\n", folder.c_str());
    return std::nullopt;
  }
  const BoardDetector detector(board);
  std::optional<CalibrationSession> session;
  for (const std::string& path : photos) {
    const cv::Mat gray = cv::imread(path, cv::IMREAD_GRAYSCALE);
    const std::string name = std::filesystem::path(path).filename().string();
    if (gray.empty()) {
      std::fprintf(stderr, "%s: cannot be read, skipped\n", name.c_str());
      continue;
    }
    if (!session) session.emplace(board, gray.size());
    if (gray.size() != session->frameSize()) {
      std::fprintf(stderr, "quorl-calibrate: '%s' is %dx%d, the photos before it %dx%d: one camera, one size.\n",
                   path.c_str(), gray.cols, gray.rows, session->frameSize().width, session->frameSize().height);
      return std::nullopt;
    }
    const std::optional<BoardDetection> found = detector.detect(gray);
    if (!found) {
      std::fprintf(stderr, "%s: no board found\n", name.c_str());
      continue;
    }
    session->add(*found);
    names.push_back(name);
    std::fprintf(stderr, "%s: view %d, %zu corners\n", name.c_str(), session->viewCount(), found->imagePoints.size());
  }
  return session;
}

// Views from frames: taken where the board holds still and shows something new.
std::optional<CalibrationSession> viewsFromVideo(const Args& args, const BoardLayout& board,
                                                 std::vector<std::string>& names) {
  std::string error;
  std::unique_ptr<FrameSource> source;
  const std::optional<SourceRequest> request = ParseSourceName(args.source, error);
  const bool scene = request && request->kind == SourceRequest::Kind::kBoard;
  const bool live = scene || (request && request->kind == SourceRequest::Kind::kCamera);
  if (args.size && !live) {
    std::fprintf(stderr, "quorl-calibrate: --size is for a camera or the board scene; '%s' keeps its own size.\n",
                 args.source.c_str());
    return std::nullopt;
  }
  const FrameSize size = args.size.value_or(FrameSize{640, 480});
  if (scene) {
    BoardSceneSettings settings;
    settings.width = size.width;
    settings.height = size.height;
    settings.board = board;
    source = BoardScene::Create(settings, error);
  } else {
    FrameSourceOptions options;
    options.width = size.width;
    options.height = size.height;
    source = OpenFrameSource(args.source, options, error);
  }
  if (!source) {
    std::fprintf(stderr, "quorl-calibrate: %s\n", error.c_str());
    return std::nullopt;
  }
  std::fprintf(stderr, "source: %s\n", source->description().c_str());
  const long long limit = args.frames.value_or(live ? kLiveFrameLimit : (1LL << 40));
  const BoardDetector detector(board);
  std::optional<CalibrationSession> session;
  std::vector<uint8_t> packed;
  cv::Mat gray;
  for (long long frame = 0; frame < limit && source->read(packed); ++frame) {
    const cv::Mat bgr = UnpackFrame(packed);
    if (bgr.empty()) break;
    if (!session) session.emplace(board, bgr.size());
    if (bgr.size() != session->frameSize()) {
      std::fprintf(stderr, "quorl-calibrate: the frame size changed at frame %lld; one camera, one size.\n", frame);
      return std::nullopt;
    }
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    if (session->offer(detector.detect(gray)) == CalibrationSession::Offer::kTaken) {
      names.push_back("frame " + std::to_string(frame));
      std::fprintf(stderr, "frame %lld: view %d\n", frame, session->viewCount());
      if (live && !args.frames && session->viewCount() >= kEnoughViews && session->coverage().complete()) break;
    }
  }
  if (!session) {
    std::fprintf(stderr, "quorl-calibrate: '%s' gave no frames.\n", args.source.c_str());
    return std::nullopt;
  }
  return session;
}

void printCoverage(const Coverage& c) {
  std::printf("views: %d\n", c.views);
  std::printf("coverage: left-right %.2f, top-bottom %.2f, size %.2f (largest %.0f %% of the frame), "
              "tilt %.2f (largest %.0f degrees)\n",
              c.leftRight, c.topBottom, c.size, c.largestShare * 100.0, c.tilt, c.largestTiltDegrees);
  std::string cells;
  for (int k = 0; k < 9; ++k)
    if (c.cells[static_cast<std::size_t>(k)]) cells += std::string(cells.empty() ? "" : ", ") + CellName(k);
  std::printf("frame parts seen: %s\n", cells.empty() ? "none" : cells.c_str());
}

// `picture` (8-bit gray) as a one-page PDF of its own size, `points` (1/72 inch) a pixel; the bytes in `pdf`. False,
// with `error`, when cairo fails.
bool EncodePdf(const cv::Mat& picture, double points, std::vector<uint8_t>& pdf, std::string& error) {
  cv::Mat bgrx;
  cv::cvtColor(picture, bgrx, cv::COLOR_GRAY2BGRA);  // cairo's RGB24 is 32-bit xRGB, BGRx in memory
  cairo_surface_t* image = cairo_image_surface_create_for_data(bgrx.data, CAIRO_FORMAT_RGB24, bgrx.cols, bgrx.rows,
                                                               static_cast<int>(bgrx.step));
  const auto append = [](void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
  };
  cairo_surface_t* page = cairo_pdf_surface_create_for_stream(append, &pdf, picture.cols * points, picture.rows * points);
  cairo_t* cr = cairo_create(page);
  cairo_scale(cr, points, points);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);  // squares with sharp edges
  cairo_paint(cr);
  cairo_show_page(cr);
  cairo_status_t status = cairo_status(cr);
  cairo_destroy(cr);
  cairo_surface_finish(page);
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(page);
  cairo_surface_destroy(page);
  cairo_surface_destroy(image);
  if (status != CAIRO_STATUS_SUCCESS) error = std::string("cannot make the PDF: ") + cairo_status_to_string(status);
  return status == CAIRO_STATUS_SUCCESS;
}

// The board to print, as a PDF when `path` ends in .pdf, else as a PNG.
int writeBoardPicture(const std::string& path, const BoardLayout& board) {
  std::vector<uint8_t> bytes;
  std::string error;
  const cv::Mat picture = PrintableBoard(board, kPrintDpi);
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  // On the PDF page a square is exactly its size (in the PNG, the nearest whole number of pixels).
  const double points = board.square / 0.0254 * 72.0 / PrintPixelsPerSquare(board, kPrintDpi);
  if (extension == ".pdf" ? !EncodePdf(picture, points, bytes, error) : !cv::imencode(".png", picture, bytes)) {
    std::fprintf(stderr, "quorl-calibrate: cannot make the board picture%s%s.\n", error.empty() ? "" : ": ",
                 error.c_str());
    return 1;
  }
  if (!WriteWholeFile(path, bytes.data(), bytes.size(), error)) {
    std::fprintf(stderr, "quorl-calibrate: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "wrote %s: %s; print it with no scaling\n", path.c_str(), PrintCaption(board, kPrintDpi).c_str());
  return 0;
}

int run(int argc, char** argv) {
  int exitCode = 0;
  const std::optional<Args> args = parseArgs(argc, argv, exitCode);
  if (!args) return exitCode;
  std::string error;
  BoardLayout board = *ParseBoardLayout("chessboard:9x6:0.025", error);
  if (args->board) {
    board = *args->board;
  } else if (args->source == "board:charuco") {
    board = DefaultSceneBoard(BoardLayout::Kind::kCharuco);
  }
  if (!args->printBoard.empty()) {
    if (const int code = writeBoardPicture(args->printBoard, board); code != 0) return code;
    if (args->source.empty()) return 0;
  }

  std::vector<std::string> names;
  std::optional<CalibrationSession> session =
      isFolder(args->source) ? viewsFromPhotos(args->source, board, names) : viewsFromVideo(*args, board, names);
  if (!session) return 2;
  std::printf("board: %s\n", DescribeBoard(board).c_str());
  std::printf("frame: %dx%d\n", session->frameSize().width, session->frameSize().height);
  printCoverage(session->coverage());
  const std::optional<CalibrationResult> result = session->calibrate(error);
  if (!result) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorl-calibrate: %s Nothing written.\n", error.c_str());
    return 1;
  }
  const cv::Matx33d& k = result->cameraMatrix;
  const cv::Vec<double, 5>& d = result->distortion;
  std::printf("camera matrix: fx %.3f, fy %.3f, cx %.3f, cy %.3f\n", k(0, 0), k(1, 1), k(0, 2), k(1, 2));
  std::printf("distortion: k1 %.6g, k2 %.6g, p1 %.6g, p2 %.6g, k3 %.6g\n", d[0], d[1], d[2], d[3], d[4]);
  std::printf("RMS reprojection error: %.4f px\n", result->rms);
  for (std::size_t i = 0; i < result->viewErrors.size(); ++i)
    std::printf("view %zu (%s): %.4f px\n", i + 1, i < names.size() ? names[i].c_str() : "?", result->viewErrors[i]);
  const std::optional<CameraParamFit> fit = FitCameraParam(k, d, result->imageSize, error);
  if (!fit) {
    std::fprintf(stderr, "quorl-calibrate: the camera file cannot hold this calibration: %s.\n", error.c_str());
    return 1;
  }
  const auto& f = fit->param.dist_factor;
  std::printf("camera file distortion: centre (%.3f, %.3f), k %.6g per squared pixel, scale %.6f; "
              "residual against the OpenCV model: max %.3f px, RMS %.3f px\n",
              f[0], f[1], f[2], f[3], fit->maxResidual, fit->rmsResidual);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "quorl-calibrate: cannot write to standard output.\n");
    return 1;
  }
  if (args->out.empty()) return 0;
  if (!WriteCalibrationFiles(args->out, *result, board, *fit, error)) {
    std::fprintf(stderr, "quorl-calibrate: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "wrote %s and %s\n", args->out.c_str(), CameraFilePathFor(args->out).c_str());
  return 0;
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) { return quorl::run(argc, argv); }
