#include "camera/opencv_calibration.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string_view>

#include <opencv2/core.hpp>
#include <zlib.h>

namespace quorl {

namespace {

constexpr std::array<std::string_view, 3> kMatrixKeys = {"camera_matrix", "cameraMatrix", "M1"};
constexpr std::array<std::string_view, 4> kDistortionKeys = {"distortion_coefficients", "dist_coeffs",
                                                             "distCoeffs", "D1"};
constexpr std::array<std::string_view, 14> kDistortionNames = {"k1", "k2", "p1", "p2", "k3", "k4", "k5",
                                                               "k6", "s1", "s2", "s3", "s4", "tauX", "tauY"};

// The first present node among `keys`, with the key found; an empty node when none is present.
template <std::size_t N>
cv::FileNode findNode(const cv::FileNode& root, const std::array<std::string_view, N>& keys, std::string& found) {
  for (std::string_view key : keys) {
    cv::FileNode node = root[std::string(key)];
    if (!node.empty() && !node.isNone()) {
      found = key;
      return node;
    }
  }
  return {};
}

// Largest side of a matrix the importer reads (the camera matrix is 3 x 3, distortion at most 14 x 1).
constexpr int kMaxMatrixSide = 16;

// True when the node declares rows and cols of 1..kMaxMatrixSide and holds exactly rows x cols values.
// Checked before OpenCV allocates the matrix, so a damaged "rows" or "cols" cannot ask for gigabytes.
bool plausibleShape(const cv::FileNode& node) {
  const cv::FileNode rows = node["rows"];
  const cv::FileNode cols = node["cols"];
  const cv::FileNode data = node["data"];
  if (!rows.isInt() || !cols.isInt() || data.empty()) return false;
  const int r = static_cast<int>(rows);
  const int c = static_cast<int>(cols);
  if (r < 1 || c < 1 || r > kMaxMatrixSide || c > kMaxMatrixSide) return false;
  return data.size() == static_cast<std::size_t>(r) * static_cast<std::size_t>(c);
}

// Reads a matrix node as doubles; empty when the node holds no matrix of a plausible shape.
cv::Mat readMatrix(const cv::FileNode& node) {
  if (!node.isMap() || !plausibleShape(node)) return {};
  cv::Mat m;
  node >> m;
  if (m.empty() || m.channels() != 1) return {};
  cv::Mat d;
  m.convertTo(d, CV_64F);
  return d;
}

bool readPositiveInt(const cv::FileNode& node, int& out) {
  if (!node.isInt()) return false;
  out = static_cast<int>(node);
  return out > 0;
}

// Reads the image size when present. Returns false (with `error`) when a size is present but unusable.
bool readImageSize(const cv::FileNode& root, ImportedCalibration& result, std::string& error) {
  const cv::FileNode width = root["image_width"];
  const cv::FileNode height = root["image_height"];
  if (!width.empty() || !height.empty()) {
    int w = 0;
    int h = 0;
    if (!readPositiveInt(width, w) || !readPositiveInt(height, h)) {
      error = "image_width and image_height must both be positive integers.";
      return false;
    }
    result.param.xsize = w;
    result.param.ysize = h;
    result.hasImageSize = true;
    return true;
  }
  for (const char* key : {"imageSize", "image_size"}) {
    const cv::FileNode size = root[key];
    if (size.empty()) continue;
    int w = 0;
    int h = 0;
    if (!size.isSeq() || size.size() != 2 || !readPositiveInt(size[0], w) || !readPositiveInt(size[1], h)) {
      error = std::string(key) + " must be [width, height] with positive integers.";
      return false;
    }
    result.param.xsize = w;
    result.param.ysize = h;
    result.hasImageSize = true;
    return true;
  }
  return true;
}

std::optional<ImportedCalibration> importFromStorage(const cv::FileStorage& fs, std::string& error) {
  const cv::FileNode root = fs.root();
  std::string key;
  const cv::FileNode matrixNode = findNode(root, kMatrixKeys, key);
  if (matrixNode.empty()) {
    error = "No camera matrix found (looked for camera_matrix, cameraMatrix, M1).";
    return std::nullopt;
  }
  const cv::Mat k = readMatrix(matrixNode);
  if (k.rows != 3 || k.cols != 3) {
    error = key + " is not a 3 x 3 matrix.";
    return std::nullopt;
  }
  double km[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      km[r][c] = k.at<double>(r, c);
      if (!std::isfinite(km[r][c])) {
        error = key + " holds a value that is not a finite number.";
        return std::nullopt;
      }
    }
  if (km[2][0] != 0.0 || km[2][1] != 0.0 || km[2][2] == 0.0 || km[1][0] != 0.0) {
    error = key + " is not an upper-triangular camera matrix.";
    return std::nullopt;
  }
  for (auto& row : km)
    for (double& v : row) v /= km[2][2];
  const double fx = km[0][0];
  const double fy = km[1][1];
  if (!(fx > 0.0) || !(fy > 0.0)) {
    error = key + " has a focal length that is not positive.";
    return std::nullopt;
  }

  ImportedCalibration result;
  result.param.mat = {{{fx, km[0][1], km[0][2], 0.0}, {0.0, fy, km[1][2], 0.0}, {0.0, 0.0, 1.0, 0.0}}};
  result.param.dist_factor = {km[0][2], km[1][2], 0.0, 1.0};

  const cv::FileNode distNode = findNode(root, kDistortionKeys, key);
  if (!distNode.empty()) {
    const cv::Mat d = readMatrix(distNode);
    const int n = static_cast<int>(d.total());
    const bool vector = d.rows == 1 || d.cols == 1;
    if (!vector || (n != 4 && n != 5 && n != 8 && n != 12 && n != 14)) {
      error = key + " must hold 4, 5, 8, 12 or 14 coefficients.";
      return std::nullopt;
    }
    std::string dropped;
    for (int i = 0; i < n; ++i) {
      const double v = d.at<double>(i);
      if (!std::isfinite(v)) {
        error = key + " holds a value that is not a finite number.";
        return std::nullopt;
      }
      result.coefficients.push_back(v);
      if (i > 0 && v != 0.0) dropped += (dropped.empty() ? "" : ", ") + std::string(kDistortionNames[i]);
    }
    result.param.dist_factor[2] = d.at<double>(0) / (fx * fy);
    if (!dropped.empty())
      result.notes.push_back("Distortion terms " + dropped + " cannot be stored and were left out; only k1 is kept.");
  }

  if (!readImageSize(root, result, error)) return std::nullopt;
  return result;
}

// Parses `text` with OpenCV in this process.
std::optional<ImportedCalibration> parseText(const std::string& text, std::string& error) {
  try {
    cv::FileStorage fs;
    if (!fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY) || !fs.isOpened()) {
      error = "The file cannot be opened as an OpenCV YAML or XML file.";
      return std::nullopt;
    }
    return importFromStorage(fs, error);
  } catch (const cv::Exception& e) {
    error = "The file is not a valid OpenCV YAML or XML file: " + e.err;
  } catch (const std::exception& e) {
    error = std::string("The file cannot be read: ") + e.what();
  }
  return std::nullopt;
}

// Longest a parse may take; real calibration files parse in milliseconds.
constexpr int kParseTimeLimitMs = 2000;

// What a parse gives back through the pipe: '1', the 136-byte record, '1' or '0' for the image size, the
// number of coefficients in one byte and their 8-byte images, then the notes, each ended by '\n'; or '0'
// and the reason.
std::string encodeOutcome(const std::optional<ImportedCalibration>& imported, const std::string& error) {
  if (!imported) return "0" + error;
  const CameraParamBytes record = encodeCameraParam(imported->param);
  std::string out(2 + kCameraParamFileSize, '1');
  std::memcpy(out.data() + 1, record.data(), record.size());
  out[1 + kCameraParamFileSize] = imported->hasImageSize ? '1' : '0';
  out += static_cast<char>(imported->coefficients.size());
  for (const double c : imported->coefficients) out.append(reinterpret_cast<const char*>(&c), sizeof c);
  for (const std::string& note : imported->notes) out += note + '\n';
  return out;
}

std::optional<ImportedCalibration> decodeOutcome(const std::string& bytes, std::string& error) {
  if (bytes.empty() || (bytes[0] == '1' && bytes.size() < 2 + kCameraParamFileSize)) {
    error = "The file is not a valid OpenCV YAML or XML file: the OpenCV parser failed on it.";
    return std::nullopt;
  }
  if (bytes[0] != '1') {
    error = bytes.substr(1);
    return std::nullopt;
  }
  ImportedCalibration imported;
  CameraParamBytes record{};
  std::copy(bytes.begin() + 1, bytes.begin() + 1 + kCameraParamFileSize, record.begin());
  imported.param = decodeCameraParam(record);
  imported.hasImageSize = bytes[1 + kCameraParamFileSize] == '1';
  std::size_t start = 2 + kCameraParamFileSize;
  const std::size_t count = start < bytes.size() ? static_cast<unsigned char>(bytes[start]) : 0;
  if (start >= bytes.size() || count > kMaxMatrixSide || bytes.size() < start + 1 + count * sizeof(double)) {
    error = "The file is not a valid OpenCV YAML or XML file: the OpenCV parser failed on it.";
    return std::nullopt;
  }
  imported.coefficients.resize(count);
  if (count > 0) std::memcpy(imported.coefficients.data(), bytes.data() + start + 1, count * sizeof(double));
  start += 1 + count * sizeof(double);
  for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1)
    imported.notes.push_back(bytes.substr(start, end - start));
  return imported;
}

// OpenCV's parsers crash or never return on some malformed texts (a YAML text with a dash where a
// value ends and a shallower line after it loops forever). The parse therefore runs in a child process,
// which hands its outcome back through a pipe and is killed after kParseTimeLimitMs; a crash or a
// timeout is a refusal with a reason. The child writes nothing to the terminal and ends with _exit.
std::optional<ImportedCalibration> parseTextIsolated(const std::string& text, std::string& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = "The file cannot be read: no pipe for the parser.";
    return std::nullopt;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    error = "The file cannot be read: the parser could not be started.";
    return std::nullopt;
  }
  if (child == 0) {
    close(fds[0]);
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) dup2(quiet, STDERR_FILENO);
    std::string childError;
    const std::optional<ImportedCalibration> imported = parseText(text, childError);
    const std::string out = encodeOutcome(imported, childError);
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string bytes;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kParseTimeLimitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{fds[0], POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    error = "The file is not a valid OpenCV YAML or XML file: the OpenCV parser did not finish with it.";
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) bytes.clear();
  return decodeOutcome(bytes, error);
}

// True when a text ends inside an XML tag (after its '<', before its '>', quoted values and comments
// respected). OpenCV's XML parser dereferences a null pointer when the text ends right after an
// attribute's '=', so such texts are refused before it sees them.
bool endsInsideXmlTag(std::string_view text) {
  std::size_t i = 0;
  while ((i = text.find('<', i)) != std::string_view::npos) {
    if (text.substr(i, 4) == "<!--") {
      const std::size_t end = text.find("-->", i + 4);
      if (end == std::string_view::npos) return false;  // an open comment is an error OpenCV reports
      i = end + 3;
      continue;
    }
    char quote = 0;
    for (++i; i < text.size(); ++i) {
      const char c = text[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (i >= text.size()) return true;
    ++i;
  }
  return false;
}

// `text` with "\r\n" and lone '\r' line ends turned into '\n'.
std::string withNewlines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
    } else if (i + 1 == text.size() || text[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
}

// Largest calibration text read, after decompression; real calibration files are a few kilobytes.
constexpr std::size_t kMaxCalibrationBytes = std::size_t{1} << 20;

// The whole file through zlib, which inflates gzip files (*.gz) and passes others through unchanged, so
// every file reaches OpenCV as text in memory, checked first. Nothing, with `error`, when the file cannot
// be read or is larger than kMaxCalibrationBytes.
std::optional<std::string> readCalibrationText(const std::string& path, std::string& error) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "The file cannot be opened.";
    return std::nullopt;
  }
  std::string text;
  std::array<char, 65536> buffer;
  int got = 0;
  while (text.size() <= kMaxCalibrationBytes &&
         (got = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
    text.append(buffer.data(), static_cast<std::size_t>(got));
  gzclose(file);
  if (got < 0) {
    error = "The file cannot be read (damaged compressed data).";
    return std::nullopt;
  }
  if (text.size() > kMaxCalibrationBytes) {
    error = "The file is too large for a calibration (over 1 MiB).";
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<ImportedCalibration> importOpenCVCalibration(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "The file does not exist or is not a regular file.";
    return std::nullopt;
  }
  const std::optional<std::string> text = readCalibrationText(path, error);
  if (!text) return std::nullopt;
  return importOpenCVCalibrationText(*text, error);
}

std::optional<ImportedCalibration> importOpenCVCalibrationText(const std::string& text, std::string& error) {
  if (text.empty()) {
    error = "The file is empty.";
    return std::nullopt;
  }
  // OpenCV's in-memory parser mishandles NUL bytes (some such texts crash it); calibration files are text.
  if (text.find('\0') != std::string::npos) {
    error = "The file is not a text file (it holds NUL bytes).";
    return std::nullopt;
  }
  // The parsers end a line at a lone '\r' and may then run past the end of the text: every line ends in
  // '\n' before they see it.
  const std::string lines = withNewlines(text);
  const std::size_t first = lines.find_first_not_of(" \t\n");
  if (first != std::string::npos && lines[first] == '<' && endsInsideXmlTag(lines)) {
    error = "The XML text ends inside a tag.";
    return std::nullopt;
  }
  return parseTextIsolated(lines, error);
}

}  // namespace quorl
