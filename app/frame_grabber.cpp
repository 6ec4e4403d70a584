#include "app/frame_grabber.h"

#include <cstring>

#include "app/source_open.h"

namespace quorl {

namespace {

CFrameGrabber* activeGrabber = nullptr;

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t getLe32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

}  // namespace

CFrameGrabber::~CFrameGrabber() { Destroy(); }

CFrameGrabber* CFrameGrabber::ActiveGrabber() { return activeGrabber; }

bool CFrameGrabber::Create(std::unique_ptr<FrameSource> source, const CaptureTiming& timing) {
  if (source_ != nullptr) return false;
  return ReplaceSource(std::move(source), timing);
}

bool CFrameGrabber::Open(const std::string& sourceName, std::string& error) {
  if (source_ != nullptr && sourceName == sourceName_) return true;
  std::string resolved;
  std::unique_ptr<FrameSource> source = OpenViewSource(sourceName, scenePictures_, resolved, error);
  if (source == nullptr) return false;
  if (!ReplaceSource(std::move(source))) {
    error = "The source gives no usable frame size.";
    return false;
  }
  sourceName_ = resolved;
  return true;
}

void CFrameGrabber::Destroy() {
  threaded_ = nullptr;
  source_.reset();
  sourceName_.clear();
  haveRequest_ = false;
  if (activeGrabber == this) activeGrabber = nullptr;
}

void CFrameGrabber::UpdateFormat() {
  const int w = source_ ? source_->width() : 0;
  const int h = source_ ? source_->height() : 0;
  const std::size_t size = PackedFrameSize(w, h);
  if (size == 0) {
    buffer_ = {};
    return;
  }
  // resize keeps the capacity, so the block is replaced only for a larger format.
  buffer_.resize(size);
  std::memset(buffer_.data(), 0, kDibHeaderSize);
  putLe32(&buffer_[0], kDibHeaderSize);
  putLe32(&buffer_[4], static_cast<uint32_t>(w));
  putLe32(&buffer_[8], static_cast<uint32_t>(h));
  buffer_[12] = 1;   // planes
  buffer_[14] = 24;  // bits per pixel
  putLe32(&buffer_[20], static_cast<uint32_t>(size - kDibHeaderSize));
  haveRequest_ = false;  // the next GetFrame fetches a frame of the new format at once
}

int CFrameGrabber::FrameWidth() const { return buffer_.size() >= kDibHeaderSize ? getLe32(&buffer_[4]) : 0; }
int CFrameGrabber::FrameHeight() const { return buffer_.size() >= kDibHeaderSize ? getLe32(&buffer_[8]) : 0; }

const uint8_t* CFrameGrabber::GetFrame(std::size_t& byteCount) {
  if (buffer_.empty()) return nullptr;
  const Clock::time_point t = now();
  if (threaded_ != nullptr) {
    if (!threaded_->read(buffer_)) return nullptr;
    ++requests_;
    lastFrame_ = t;
  } else if (source_ != nullptr && (!haveRequest_ || t - lastRequest_ > kMinRequestInterval)) {
    ++requests_;
    source_->read(buffer_);
    haveRequest_ = true;
    lastRequest_ = t;
  }
  byteCount = buffer_.size();
  return buffer_.data();
}

bool CFrameGrabber::SourceStopped() const {
  return threaded_ != nullptr && (threaded_->failing() || now() - lastFrame_ > kStopAfter);
}

bool CFrameGrabber::SetFormat(int width, int height, const std::string& pixelFormat, double framesPerSecond) {
  if (source_ == nullptr || !source_->setMode(width, height, pixelFormat, framesPerSecond)) return false;
  UpdateFormat();
  return !buffer_.empty();
}

bool CFrameGrabber::ReplaceSource(std::unique_ptr<FrameSource> source, const CaptureTiming& timing) {
  if (source == nullptr || (activeGrabber != nullptr && activeGrabber != this) ||
      PackedFrameSize(source->width(), source->height()) == 0) {
    return false;
  }
  threaded_ = nullptr;
  if (source->readsBlock()) {
    auto threaded = std::make_unique<ThreadedSource>(std::move(source), timing);
    threaded_ = threaded.get();
    source = std::move(threaded);
  }
  source_ = std::move(source);
  lastFrame_ = now();
  sourceName_.clear();
  UpdateFormat();
  activeGrabber = this;
  return true;
}

}  // namespace quorl
