// Tracks a planar target through a video (or a camera) with the installed Quorl library and writes the
// video with the target's outline drawn on it.
//
//   track_video INPUT OUTPUT.avi X0 Y0 X1 Y1 X2 Y2 X3 Y3 [--robust]
//
// INPUT is anything OpenCV opens: a video file, an image sequence such as frames/%06d.png, or a camera
// number. The corners are the target's in the first frame, clockwise from the top-left.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <quorl/tracker.h>

int main(int argc, char** argv) {
  if (argc != 11 && argc != 12) {
    std::fprintf(stderr, "usage: track_video INPUT OUTPUT.avi X0 Y0 X1 Y1 X2 Y2 X3 Y3 [--robust]\n");
    return 2;
  }
  const std::string input = argv[1];
  cv::VideoCapture capture;
  if (!input.empty() && input.find_first_not_of("0123456789") == std::string::npos) {
    capture.open(std::atoi(input.c_str()));
  } else {
    capture.open(input);
  }
  cv::Mat frame;
  if (!capture.isOpened() || !capture.read(frame)) {
    std::fprintf(stderr, "track_video: cannot read %s\n", argv[1]);
    return 1;
  }
  std::array<cv::Point2f, 4> corners;
  for (int i = 0; i < 4; ++i) corners[i] = cv::Point2f(std::strtof(argv[3 + 2 * i], nullptr), std::strtof(argv[4 + 2 * i], nullptr));

  quorl::TrackerOptions options;
  options.robust = argc == 12 && std::string(argv[11]) == "--robust";
  try {
    quorl::Tracker tracker(options);
    std::printf("registered %d model points\n", tracker.registerTarget(frame, corners));
    cv::VideoWriter writer(argv[2], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, frame.size());
    if (!writer.isOpened()) {
      std::fprintf(stderr, "track_video: cannot write %s\n", argv[2]);
      return 1;
    }
    int frames = 0, tracked = 0;
    double ms = 0.0;
    while (capture.read(frame)) {
      const quorl::TrackResult r = tracker.track(frame);
      ++frames;
      ms += r.ms;
      if (r.state == quorl::TrackState::Tracking || r.state == quorl::TrackState::Holding) {
        tracked += r.state == quorl::TrackState::Tracking;
        std::array<cv::Point, 4> outline;
        for (int i = 0; i < 4; ++i) outline[i] = cv::Point(cvRound(r.quad[i].x), cvRound(r.quad[i].y));
        const cv::Scalar colour =
            r.state == quorl::TrackState::Tracking ? cv::Scalar(0, 255, 0) : cv::Scalar(0, 255, 255);
        cv::polylines(frame, outline, true, colour, 2);
      }
      writer.write(frame);
    }
    std::printf("tracked %d of %d frames, %.2f ms per frame\n", tracked, frames, frames > 0 ? ms / frames : 0.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "track_video: %s\n", e.what());
    return 1;
  }
  return 0;
}
