#include "session/session_reader.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

namespace quorl {
namespace {

namespace fs = std::filesystem;

// Longest session.json read, in bytes: the truth of a million frames fits.
constexpr std::uintmax_t kMaxSessionJsonBytes = std::uintmax_t{1} << 30;

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

}  // namespace

std::string SessionPath(const std::string& dir, const std::string& name) { return (fs::path(dir) / name).string(); }

std::optional<SessionInfo> ReadSession(const std::string& dir, std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    error = dir + ": " + (fs::exists(dir, ec) ? "not a folder" : "no such folder");
    return std::nullopt;
  }
  const std::string path = SessionPath(dir, kSessionFile);
  if (!IsFile(path)) {
    error = path + ": missing; " + dir + " holds no recorded session";
    return std::nullopt;
  }
  const std::uintmax_t size = fs::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (ec || size > kMaxSessionJsonBytes || !in) {
    error = path + ": " + (ec ? ec.message() : !in ? "cannot be read" : "larger than 1 GiB");
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  std::string problem;
  std::optional<SessionInfo> info = ParseSessionJson(text.str(), problem);
  if (!info) {
    error = path + ": " + problem;
    return std::nullopt;
  }
  for (const std::string& file : {info->cameraParams, info->calibration}) {
    if (!file.empty() && !IsFile(SessionPath(dir, file))) {
      error = SessionPath(dir, file) + ": missing (" + kSessionFile + " names it)";
      return std::nullopt;
    }
  }
  for (const SessionPicture& picture : info->pictures) {
    if (!IsFile(SessionPath(dir, picture.file))) {
      error = SessionPath(dir, picture.file) + ": missing (" + kSessionFile + " names it as picture " + picture.name + ")";
      return std::nullopt;
    }
  }
  for (long long i = 0; i < info->frameCount; ++i) {
    if (!IsFile(SessionFramePath(dir, i))) {
      error = SessionFramePath(dir, i) + ": missing; " + kSessionFile + " lists " + std::to_string(info->frameCount) +
              " frames";
      return std::nullopt;
    }
  }
  return info;
}

SessionSource::SessionSource(std::string dir, SessionInfo info) : dir_(std::move(dir)), info_(std::move(info)) {}

bool SessionSource::read(std::vector<uint8_t>& packed) {
  if (next_ >= info_.frameCount || !error_.empty()) return false;
  const std::string path = SessionFramePath(dir_, next_);
  cv::Mat bgr;
  try {
    bgr = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception& e) {
    error_ = path + ": " + e.what();
    return false;
  }
  if (bgr.empty()) {
    error_ = path + ": " + (IsFile(path) ? "not a readable picture" : "missing");
    return false;
  }
  if (bgr.cols != info_.width || bgr.rows != info_.height) {
    error_ = path + ": " + std::to_string(bgr.cols) + "x" + std::to_string(bgr.rows) + ", not the session's " +
             std::to_string(info_.width) + "x" + std::to_string(info_.height);
    return false;
  }
  if (!PackBgrFrame(bgr, packed)) {
    error_ = path + ": cannot be packed as a frame";
    return false;
  }
  ++next_;
  return true;
}

std::string SessionSource::description() const { return "session " + dir_ + ": " + info_.source; }

int SessionSource::frameCount() const {
  return info_.frameCount > std::numeric_limits<int>::max() ? -1 : static_cast<int>(info_.frameCount);
}

std::optional<FrameCorners> SessionSource::trueCorners() const {
  if (next_ == 0 || info_.truth.empty()) return std::nullopt;
  return info_.truth[static_cast<std::size_t>(next_ - 1)];
}

std::vector<TargetTruth> SessionSource::trueTargets() const {
  if (next_ == 0 || info_.targetTruth.empty()) return {};
  return info_.targetTruth[static_cast<std::size_t>(next_ - 1)];
}

bool SessionSource::setFrameSize(int width, int height) {
  return (width == 0 && height == 0) || (width == info_.width && height == info_.height);
}

}  // namespace quorl
