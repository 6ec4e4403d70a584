#include "tools/track_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>

#include "capture/picture_scene.h"
#include "capture/synthetic_scene.h"

namespace quorl {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The whole of `s` as an integer in [lo, hi].
std::optional<long long> parseInteger(std::string_view s, long long lo, long long hi) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < lo || value > hi) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Quad> ParseCorners(std::string_view text) {
  Quad quad;
  for (int i = 0; i < 8; ++i) {
    const std::size_t comma = text.find(',');
    if ((i < 7) != (comma != std::string_view::npos)) return std::nullopt;
    const auto value = parseInteger(text.substr(0, comma), std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max());
    if (!value) return std::nullopt;
    (i % 2 == 0 ? quad.pt[i / 2].x : quad.pt[i / 2].y) = static_cast<int32_t>(*value);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  }
  return quad;
}

std::optional<FrameSize> ParseFrameSize(std::string_view text) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) return std::nullopt;
  const auto w = parseInteger(text.substr(0, x), kMinFrameSide, kMaxFrameSide);
  const auto h = parseInteger(text.substr(x + 1), kMinFrameSide, kMaxFrameSide);
  if (!w || !h) return std::nullopt;
  return FrameSize{static_cast<int>(*w), static_cast<int>(*h)};
}

std::optional<long long> ParseCount(std::string_view text, long long limit) { return parseInteger(text, 0, limit); }

std::optional<double> ParsePictureWidth(std::string_view text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value <= 0.0 || value > kMaxPictureWidth)
    return std::nullopt;
  return value;
}

std::vector<ToolOption> TrackOptions(TrackArgs& a) {
  // A value option whose value `parse` reads into its place: nothing, or the message for a value it refuses.
  using Reader = std::function<std::optional<std::string>(const std::string&)>;
  const auto quoted = [](const std::string& v) { return "'" + v + "'"; };
  const auto fileName = [](std::string option, std::string& into) -> Reader {
    return [option, &into](const std::string& v) -> std::optional<std::string> {
      if (v.empty()) return option + " wants a file name";
      into = v;
      return std::nullopt;
    };
  };
  return {
      TextOption("source", "S",
                 "synthetic[:PROFILE] (default synthetic), camera:N, auto, a video file,\n"
                 "or an image pattern such as frames/%04d.png; PROFILE is one of\n" +
                     MotionProfileList() + "; or pictures:SCENE, the --picture files on a\ntable, SCENE one of " +
                     PictureProfileList(),
                 a.source, true),
      {"size", "WxH",
       "frame size (default 320x240); frames of files, sequences and images are\n"
       "scaled to it, a camera gets the nearest size it offers (default: their own)",
       [&a, quoted](const std::string& v) -> std::optional<std::string> {
         const auto s = ParseFrameSize(v);
         if (!s)
           return "--size wants WxH with sides of " + std::to_string(kMinFrameSide) + " to " +
                  std::to_string(kMaxFrameSide) + ", not " + quoted(v);
         a.size = *s;
         a.sizeGiven = true;
         return std::nullopt;
       },
       true},
      CountOption("frames", "N", "frames to process (default 300; files and sequences: to their end)", 1LL << 40, false,
                  "a count", a.frames),
      CountOption("seed", "S", "seed of the synthetic scene (default 1)", 0xFFFFFFFFLL, false, "a number 0..4294967295",
                  a.seed, true),
      CountOption("register-frame", "K", "frame to register the target on (default 0)", 1LL << 40, false,
                  "a frame number", a.registerFrame, true),
      {"corners", "x0,y0,x1,y1,x2,y2,x3,y3",
       "the target's corners on frame K, clockwise (default for the synthetic scene:\nits true corners)",
       [&a, quoted](const std::string& v) -> std::optional<std::string> {
         a.corners = ParseCorners(v);
         if (!a.corners) return "--corners wants eight integers x0,y0,x1,y1,x2,y2,x3,y3, not " + quoted(v);
         return std::nullopt;
       },
       true},
      {"camera-params", "P",
       "camera parameter file; one that cannot be read is an error (default:\n"
       "Data/camera_param.dat in the working directory, else the installed copy)",
       fileName("--camera-params", a.cameraParams), true},
      {"calibration", "F",
       "the camera's full calibration, an OpenCV YAML/XML file or a camera parameter\n"
       "file whose distortion values are applied: the robust mode and the pictures\n"
       "track through its lens and take their pose with its principal point (the\n"
       "default mode keeps its own pose); replaces --camera-params",
       fileName("--calibration", a.calibration), true},
      {"lens", "F", "synthetic and picture scenes: film through the lens of calibration file F",
       fileName("--lens", a.lens), true},
      TextOption("target-image", "F",
                 "synthetic scene: show the picture in file F as the target (default: the\nbuilt-in texture)",
                 a.targetImage, true),
      TextOption("csv", "PATH", "one row per frame from frame K on; - for standard output", a.csv),
      CountOption("threads", "N", "OpenCV worker threads, 1..64 (default 1, so that trackers compare like for like)",
                  kMaxThreads, true, "1.." + std::to_string(kMaxThreads), a.threads),
      {"picture", "FILE",
       "a target given as a picture: the whole picture, named by the file's stem\n"
       "(repeatable; the source pictures:PROFILE lays these pictures on a table)",
       [&a](const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return std::string("--picture wants a file name");
         a.pictures.push_back(PictureArg{v, 0.0});
         return std::nullopt;
       },
       true},
      {"picture-width", "M",
       "the printed width in metres of the --picture before it: its pose comes out\n"
       "in metres (default: model units, the picture 200 wide)",
       [&a, quoted](const std::string& v) -> std::optional<std::string> {
         if (a.pictures.empty()) return std::string("--picture-width follows the --picture it is for");
         const auto width = ParsePictureWidth(v);
         if (!width) return "--picture-width wants a width in metres over 0 and up to 100, not " + quoted(v);
         a.pictures.back().width = *width;
         return std::nullopt;
       },
       true},
      FlagOption("quiet", "no summary", a.quiet),
  };
}

}  // namespace quorl
