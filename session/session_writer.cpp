#include "session/session_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace quorl {
namespace {

namespace fs = std::filesystem;

// Writes `size` bytes as the whole file at `path`; false, with "<path>: <reason>", when any step fails.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  error = path + ": " + std::strerror(written ? errno : writeErrno);
  return false;
}

}  // namespace

SessionWriter::~SessionWriter() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

bool SessionWriter::Open(const std::string& dir, const std::string& program, std::string& error) {
  if (open_) {
    error = dir + ": this recording is already open";
    return false;
  }
  std::error_code ec;
  if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
    error = dir + ": " + (ec ? ec.message() : "the folder is not empty; record into a new or empty folder");
    return false;
  }
  fs::create_directories(fs::path(dir) / "frames", ec);
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  dir_ = dir;
  info_.program = program;
  info_.programVersion = QUORL_VERSION;
  open_ = true;
  worker_ = std::thread([this] { work(); });
  return true;
}

void SessionWriter::SetSource(const std::string& description, double frameRate) {
  info_.source = description;
  info_.frameRate = frameRate;
}

bool SessionWriter::copyIn(const std::string& path, const std::string& name, std::string& error) {
  std::error_code ec;
  const fs::path target = fs::path(dir_) / name;
  fs::create_directories(target.parent_path(), ec);
  if (!ec) fs::copy_file(path, target, ec);
  if (ec) error = path + ": cannot copy it to " + target.string() + ": " + ec.message();
  return !ec;
}

bool SessionWriter::AddCameraParams(const std::string& path, std::string& error) {
  const std::string name = fs::path(path).filename().string();
  if (!copyIn(path, name, error)) return false;
  info_.cameraParams = name;
  return true;
}

bool SessionWriter::AddCalibration(const std::string& path, std::string& error) {
  const std::string name = fs::path(path).filename().string();
  if (!copyIn(path, name, error)) return false;
  info_.calibration = name;
  return true;
}

bool SessionWriter::AddPicture(const std::string& path, const std::string& name, double width, std::string& error) {
  const std::string file = (fs::path(kSessionPictureFolder) / (name + fs::path(path).extension().string())).string();
  if (!copyIn(path, file, error)) return false;
  info_.pictures.push_back(SessionPicture{name, file, width});
  return true;
}

bool SessionWriter::AddFrame(const uint8_t* packed, std::size_t byteCount, const FrameSource& source,
                             std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_.empty()) {
      error = failure_;
      return false;
    }
  }
  const std::string frameName = "frame " + std::to_string(added_);
  cv::Mat bgr = UnpackFrame(packed, byteCount);
  if (bgr.empty()) {
    error = frameName + " is not a packed 24-bit bitmap";
    return false;
  }
  if (added_ == 0) {
    info_.width = bgr.cols;
    info_.height = bgr.rows;
  } else if (bgr.cols != info_.width || bgr.rows != info_.height) {
    error = frameName + " is " + std::to_string(bgr.cols) + "x" + std::to_string(bgr.rows) + "; the session's frames are " +
            std::to_string(info_.width) + "x" + std::to_string(info_.height);
    return false;
  }
  info_.truth.push_back(source.trueCorners());
  info_.targetTruth.push_back(source.knowsTargets() ? source.trueTargets() : std::vector<TargetTruth>{});
  anyTruth_ = anyTruth_ || info_.truth.back().has_value();
  anyTargets_ = anyTargets_ || source.knowsTargets();
  const std::size_t bytes = bgr.total() * bgr.elemSize();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queuedBytes_ + bytes <= kMaxQueuedBytes || queue_.empty() || !failure_.empty(); });
  queue_.push_back(Frame{added_++, std::move(bgr)});
  queuedBytes_ += bytes;
  lock.unlock();
  changed_.notify_all();
  return true;
}

void SessionWriter::AddRegistration(long long frame, const Quad& corners) {
  info_.registrations.push_back(SessionRegistration{frame, corners});
}

void SessionWriter::fail(const std::string& problem) {
  if (failure_.empty()) failure_ = problem;
}

void SessionWriter::work() {
  const std::vector<int> params = {cv::IMWRITE_PNG_COMPRESSION, kPngCompression};
  std::vector<uchar> png;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Frame frame = std::move(queue_.front());
    queue_.pop_front();
    const bool failed = !failure_.empty();
    lock.unlock();
    // After a failure the frames still queued are dropped: the session ends before the first lost one.
    std::string problem;
    const std::string path = SessionFramePath(dir_, frame.index);
    if (!failed) {
      bool encoded = false;
      try {
        encoded = cv::imencode(".png", frame.bgr, png, params);
      } catch (const cv::Exception& e) {
        problem = path + ": " + e.what();
      }
      if (!encoded && problem.empty()) problem = path + ": the frame cannot be encoded as PNG";
      if (encoded) WriteWholeFile(path, png.data(), png.size(), problem);
    }
    const std::size_t bytes = frame.bgr.total() * frame.bgr.elemSize();
    frame.bgr.release();
    lock.lock();
    queuedBytes_ -= bytes;
    if (!problem.empty()) fail(problem);
    if (!failed && problem.empty()) written_ = frame.index + 1;
    changed_.notify_all();
  }
}

bool SessionWriter::Finish(std::string& error) {
  if (!open_) {
    error = (dir_.empty() ? std::string("the recording") : dir_) + ": not open";
    return false;
  }
  open_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
  // The session holds the frames on disk: after a failure, those before it.
  info_.frameCount = written_;
  info_.truth.resize(static_cast<std::size_t>(written_));
  info_.targetTruth.resize(static_cast<std::size_t>(written_));
  if (!anyTruth_) info_.truth.clear();
  if (!anyTargets_) info_.targetTruth.clear();
  std::erase_if(info_.registrations, [&](const SessionRegistration& r) { return r.frame >= written_; });
  const std::string text = SessionJson(info_);
  const std::string path = (fs::path(dir_) / kSessionFile).string();
  const std::string temporary = path + ".part";
  std::string problem;
  if (WriteWholeFile(temporary, text.data(), text.size(), problem)) {
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) problem = path + ": " + ec.message();
  }
  error = failure_;
  if (!problem.empty()) error += (error.empty() ? "" : "; ") + problem;
  return error.empty();
}

}  // namespace quorl
