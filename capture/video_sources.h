#pragma once
// Frame sources over OpenCV: video files, printf-style image sequences, still images and V4L2 cameras.
// While they open and read, OpenCV's process-wide log level is set to silent (and restored afterwards):
// the sources report failures in their own words.

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "capture/frame_source.h"

namespace quorl {

// Requested output size of a file source: 0 x 0 keeps each frame's own size.
struct ScaleRequest {
  int width = 0;
  int height = 0;
};

// A video file (through FFmpeg where OpenCV has it, else any videoio backend) or an image sequence (CAP_IMAGES with a
// printf-style pattern such as "frames/%04d.png", numbered from 0 or 1). The first frame is read while
// opening, so a file that opens but yields nothing is refused.
class VideoFileSource final : public FrameSource {
 public:
  // `loop`: at the end, start again from the first frame instead of reporting the end.
  // Nothing, with `error` set, when the file or sequence yields no frame of a valid size.
  static std::unique_ptr<VideoFileSource> Open(const std::string& path, bool isPattern, bool loop,
                                               std::string& error);

  bool read(std::vector<uint8_t>& packed) override;
  int width() const override;
  int height() const override;
  std::string description() const override;
  double frameRate() const override { return frameRate_; }
  int frameCount() const override { return frameCount_; }
  bool setFrameSize(int width, int height) override;
  std::string name() const override;
  bool readsBlock() const override { return true; }

 private:
  VideoFileSource() = default;
  bool reopen();

  std::string path_;  // absolute path or pattern
  bool isPattern_ = false;
  bool loop_ = false;
  cv::VideoCapture capture_;
  cv::Mat pending_;        // the frame read while opening, delivered by the first read()
  cv::Mat frame_, work_;   // scratch
  cv::Size nativeSize_;    // size of the last frame decoded
  ScaleRequest request_;
  double frameRate_ = 0.0;
  int frameCount_ = -1;
  int framesThisPass_ = 0;
};

// One image file: every read() gives it again when looping, otherwise only the first.
class StillImageSource final : public FrameSource {
 public:
  static std::unique_ptr<StillImageSource> Open(const std::string& path, bool loop, std::string& error);

  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return scaled_.cols; }
  int height() const override { return scaled_.rows; }
  std::string description() const override;
  double frameRate() const override { return 0.0; }
  int frameCount() const override { return 1; }
  bool setFrameSize(int width, int height) override;

 private:
  StillImageSource() = default;

  std::string path_;
  bool loop_ = false;
  bool delivered_ = false;
  cv::Mat image_;   // as read, 8-bit BGR
  cv::Mat scaled_;  // at the requested size (shares image_ at its own size)
};

// A V4L2 camera through cv::VideoCapture(index, cv::CAP_V4L2) with a one-frame driver queue, so that each
// read() gets the newest frame rather than a stale queued one.
class CameraSource final : public FrameSource {
 public:
  // Opens /dev/video<index> and asks for width x height; the first frame is read while opening and
  // tells the size actually delivered. Nothing, with `error` set, when the device does not open or
  // delivers no frame.
  static std::unique_ptr<CameraSource> Open(int index, int width, int height, std::string& error);

  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return size_.width; }
  int height() const override { return size_.height; }
  std::string description() const override;
  std::string name() const override;
  double frameRate() const override;
  // Asks the device for the size and reads one frame to learn the size it delivers.
  bool setFrameSize(int width, int height) override;
  // Asks for a size, a pixel format (four characters such as "MJPG" or "YUYV"; empty keeps the current
  // one) and a frame rate (0 keeps the current one), then reads one frame to learn the size delivered.
  // False, asking nothing, for an invalid size, a code that is not four printable characters or a rate
  // that is not finite and positive; false too when the device then delivers no frame.
  bool setMode(int width, int height, const std::string& fourcc, double framesPerSecond) override;
  bool readsBlock() const override { return true; }
  // Releases the device and opens /dev/video<index> again with the size, pixel format and rate last
  // asked for; true once it delivers a frame (a replugged camera that got the same device node).
  bool restart() override;

 private:
  CameraSource() = default;
  // Opens the device with the smallest driver queue and asks for the mode; false when it does not open.
  bool openDevice(int width, int height);
  bool readFrame();

  int index_ = 0;
  std::string name_;
  std::string fourcc_;    // pixel format last asked for; empty: the driver's choice
  double rate_ = 0.0;     // frame rate last asked for; 0: the driver's choice
  cv::VideoCapture capture_;
  cv::Mat pending_;  // a frame read to learn the size, delivered by the next read()
  cv::Mat frame_, work_;
  cv::Size size_;
};

}  // namespace quorl
