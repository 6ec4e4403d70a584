#include "capture/video_sources.h"

#include <algorithm>

#include <cmath>
#include <filesystem>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio/registry.hpp>

#include "capture/v4l2_devices.h"

namespace quorl {
namespace {

// Keeps OpenCV's own log lines (warnings at the end of a sequence, backend errors) off standard error
// while a source talks to videoio; the sources report failures themselves.
class QuietOpenCv {
 public:
  QuietOpenCv() : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
  QuietOpenCv(const QuietOpenCv&) = delete;
  QuietOpenCv& operator=(const QuietOpenCv&) = delete;
  ~QuietOpenCv() { cv::utils::logging::setLogLevel(previous_); }

 private:
  cv::utils::logging::LogLevel previous_;
};

// `frame` as 8-bit BGR: grey and BGRA frames are converted, other types refused (empty result).
const cv::Mat& asBgr(const cv::Mat& frame, cv::Mat& work) {
  static const cv::Mat kNone;
  if (frame.empty() || frame.depth() != CV_8U) return kNone;
  switch (frame.channels()) {
    case 3: return frame;
    case 1: cv::cvtColor(frame, work, cv::COLOR_GRAY2BGR); return work;
    case 4: cv::cvtColor(frame, work, cv::COLOR_BGRA2BGR); return work;
    default: return kNone;
  }
}

// Converts, scales to `request` (unless 0 x 0 or already that size) and packs.
bool deliver(const cv::Mat& frame, const ScaleRequest& request, cv::Mat& work, std::vector<uint8_t>& packed) {
  const cv::Mat& bgr = asBgr(frame, work);
  if (bgr.empty()) return false;
  if (request.width > 0 && (bgr.cols != request.width || bgr.rows != request.height)) {
    cv::Mat scaled;
    const bool shrink = request.width < bgr.cols && request.height < bgr.rows;
    cv::resize(bgr, scaled, cv::Size(request.width, request.height), 0, 0, shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    return PackBgrFrame(scaled, packed);
  }
  return PackBgrFrame(bgr, packed);
}

std::string sizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.string();
}

}  // namespace

// ---- VideoFileSource ----

std::unique_ptr<VideoFileSource> VideoFileSource::Open(const std::string& path, bool isPattern, bool loop,
                                                       std::string& error) {
  std::unique_ptr<VideoFileSource> source(new VideoFileSource());
  source->path_ = absolutePath(path);
  source->isPattern_ = isPattern;
  source->loop_ = loop;
  const QuietOpenCv quiet;
  const bool opened = source->reopen() && source->capture_.read(source->pending_);
  const cv::Mat& first = asBgr(source->pending_, source->work_);
  if (!opened || first.empty()) {
    error = isPattern ? "No readable image matches the pattern '" + path + "'."
                      : "Cannot read the video '" + path + "': no decodable frames.";
    return nullptr;
  }
  if (!IsValidFrameSize(first.cols, first.rows)) {
    error = "Unsupported frame size " + sizeText(first.cols, first.rows) + " in '" + path + "': " +
            FrameSizeRule() + ".";
    return nullptr;
  }
  source->nativeSize_ = first.size();
  const double fps = source->capture_.get(cv::CAP_PROP_FPS);
  source->frameRate_ = (!isPattern && std::isfinite(fps) && fps > 0.0 && fps <= 1000.0) ? fps : 0.0;
  const double count = source->capture_.get(cv::CAP_PROP_FRAME_COUNT);
  source->frameCount_ = (std::isfinite(count) && count >= 1.0 && count < 2e9) ? static_cast<int>(count) : -1;
  return source;
}

bool VideoFileSource::reopen() {
  try {
    if (isPattern_) return capture_.open(path_, cv::CAP_IMAGES);
    // FFmpeg alone where OpenCV has it: the other backends add little and some (GStreamer) print
    // diagnostics of their own for files they cannot read.
    return capture_.open(path_, cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_ANY);
  } catch (const cv::Exception&) {
    return false;
  }
}

bool VideoFileSource::read(std::vector<uint8_t>& packed) {
  const QuietOpenCv quiet;
  if (!pending_.empty()) {
    frame_ = pending_;
    pending_.release();
  } else if (!capture_.read(frame_)) {
    // End of the pass: start again when looping, unless the pass gave nothing at all.
    if (!loop_ || framesThisPass_ == 0 || !reopen() || !capture_.read(frame_)) return false;
    framesThisPass_ = 0;
  }
  if (!deliver(frame_, request_, work_, packed)) return false;
  nativeSize_ = frame_.size();
  ++framesThisPass_;
  return true;
}

int VideoFileSource::width() const { return request_.width > 0 ? request_.width : nativeSize_.width; }
int VideoFileSource::height() const { return request_.width > 0 ? request_.height : nativeSize_.height; }

bool VideoFileSource::setFrameSize(int width, int height) {
  if (width == 0 && height == 0) {
    request_ = {};
    return true;
  }
  if (!IsValidFrameSize(width, height)) return false;
  request_ = {width, height};
  return true;
}

std::string VideoFileSource::name() const { return (isPattern_ ? "image sequence '" : "video file '") + path_ + "'"; }

std::string VideoFileSource::description() const {
  std::string text = name() + ", " + sizeText(width(), height());
  if (frameCount_ > 0) text += ", " + std::to_string(frameCount_) + (isPattern_ ? " images" : " frames");
  if (frameRate_ > 0.0) text += ", " + cv::format("%.3g", frameRate_) + " fps";
  if (loop_) text += ", looping";
  return text;
}

// ---- StillImageSource ----

std::unique_ptr<StillImageSource> StillImageSource::Open(const std::string& path, bool loop, std::string& error) {
  std::unique_ptr<StillImageSource> source(new StillImageSource());
  const QuietOpenCv quiet;
  try {
    source->image_ = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    source->image_.release();
  }
  if (source->image_.empty()) {
    error = "Cannot read the image '" + path + "'.";
    return nullptr;
  }
  if (!IsValidFrameSize(source->image_.cols, source->image_.rows)) {
    error = "Unsupported frame size " + sizeText(source->image_.cols, source->image_.rows) + " in '" + path + "': " +
            FrameSizeRule() + ".";
    return nullptr;
  }
  source->path_ = path;
  source->loop_ = loop;
  source->scaled_ = source->image_;
  return source;
}

bool StillImageSource::read(std::vector<uint8_t>& packed) {
  if (delivered_ && !loop_) return false;
  if (!PackBgrFrame(scaled_, packed)) return false;
  delivered_ = true;
  return true;
}

bool StillImageSource::setFrameSize(int width, int height) {
  if (width == 0 && height == 0) {
    scaled_ = image_;
    return true;
  }
  if (!IsValidFrameSize(width, height)) return false;
  const bool shrink = width < image_.cols && height < image_.rows;
  cv::resize(image_, scaled_, cv::Size(width, height), 0, 0, shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
  return true;
}

std::string StillImageSource::description() const {
  return "still image '" + path_ + "', " + sizeText(width(), height()) + (loop_ ? ", repeated" : "");
}

// ---- CameraSource ----

std::unique_ptr<CameraSource> CameraSource::Open(int index, int width, int height, std::string& error) {
  const std::string device = "/dev/video" + std::to_string(index);
  std::unique_ptr<CameraSource> source(new CameraSource());
  source->index_ = index;
  std::string reason;
  if (const auto info = QueryVideoDevice(device, reason)) source->name_ = info->name;

  const QuietOpenCv quiet;
  if (!source->openDevice(width, height)) {
    error = "Cannot open camera " + std::to_string(index) + " (" + device + ")" +
            (reason.empty() ? std::string(".") : ": " + reason);
    return nullptr;
  }
  if (!source->readFrame()) {
    error = "Camera " + std::to_string(index) + " (" + device + ") delivers no frames.";
    return nullptr;
  }
  return source;
}

bool CameraSource::openDevice(int width, int height) {
  try {
    if (!capture_.open(index_, cv::CAP_V4L2)) return false;
    // One driver buffer: each read gets the newest frame, not the oldest of a queue.
    capture_.set(cv::CAP_PROP_BUFFERSIZE, 1);
    if (!fourcc_.empty())
      capture_.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(fourcc_[0], fourcc_[1], fourcc_[2], fourcc_[3]));
    if (IsValidFrameSize(width, height)) {
      capture_.set(cv::CAP_PROP_FRAME_WIDTH, width);
      capture_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
    }
    if (rate_ > 0.0) capture_.set(cv::CAP_PROP_FPS, rate_);
    return true;
  } catch (const cv::Exception&) {
    return false;
  }
}

bool CameraSource::restart() {
  const QuietOpenCv quiet;
  pending_.release();
  try {
    capture_.release();
  } catch (const cv::Exception&) {
  }
  return openDevice(size_.width, size_.height) && readFrame();
}

bool CameraSource::readFrame() {
  try {
    if (!capture_.read(pending_)) return false;
  } catch (const cv::Exception&) {
    return false;
  }
  const cv::Mat& bgr = asBgr(pending_, work_);
  if (bgr.empty() || !IsValidFrameSize(bgr.cols, bgr.rows)) {
    pending_.release();
    return false;
  }
  size_ = bgr.size();
  return true;
}

bool CameraSource::read(std::vector<uint8_t>& packed) {
  const QuietOpenCv quiet;
  if (pending_.empty() && !readFrame()) return false;
  frame_ = pending_;
  pending_.release();
  return deliver(frame_, {}, work_, packed);
}

bool CameraSource::setFrameSize(int width, int height) { return setMode(width, height, {}, 0.0); }

bool CameraSource::setMode(int width, int height, const std::string& fourcc, double framesPerSecond) {
  const bool codeOk = fourcc.empty() || (fourcc.size() == 4 && std::all_of(fourcc.begin(), fourcc.end(), [](char c) {
                                           return c > ' ' && c < 127;
                                         }));
  const bool rateOk = framesPerSecond == 0.0 || (std::isfinite(framesPerSecond) && framesPerSecond > 0.0);
  if (!IsValidFrameSize(width, height) || !codeOk || !rateOk) return false;
  const QuietOpenCv quiet;
  try {
    if (!fourcc.empty())
      capture_.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]));
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, width);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
    if (framesPerSecond > 0.0) capture_.set(cv::CAP_PROP_FPS, framesPerSecond);
  } catch (const cv::Exception&) {
    return false;
  }
  if (!fourcc.empty()) fourcc_ = fourcc;
  if (framesPerSecond > 0.0) rate_ = framesPerSecond;
  return readFrame();
}

double CameraSource::frameRate() const {
  const double fps = capture_.get(cv::CAP_PROP_FPS);
  return (std::isfinite(fps) && fps > 0.0 && fps <= 1000.0) ? fps : 0.0;
}

std::string CameraSource::name() const {
  return "camera " + std::to_string(index_) + (name_.empty() ? std::string() : " '" + name_ + "'") + " (/dev/video" +
         std::to_string(index_) + ")";
}

std::string CameraSource::description() const { return name() + ", " + sizeText(size_.width, size_.height); }

}  // namespace quorl
