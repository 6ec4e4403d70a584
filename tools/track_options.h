#pragma once
// Command-line values of the headless tracker, parsed without trusting the text.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/frame_source.h"
#include "features/model.h"
#include "tools/option_table.h"

namespace quorl {

// "x0,y0,x1,y1,x2,y2,x3,y3": exactly eight integers in int32 range, commas between, blanks allowed
// around numbers. Nothing for anything else.
std::optional<Quad> ParseCorners(std::string_view text);

// "WxH" with a size that frame sources accept (kMinFrameSide..kMaxFrameSide on each axis).
struct FrameSize {
  int width;
  int height;
};
std::optional<FrameSize> ParseFrameSize(std::string_view text);

// A non-negative integer up to `limit`.
std::optional<long long> ParseCount(std::string_view text, long long limit);

// A count option: ParseCount up to `limit` (above 0 when `positive`) read into `into` (which must outlive the table);
// else "--NAME wants WHAT, not 'VALUE'".
template <typename T>
ToolOption CountOption(std::string name, std::string value, std::string help, long long limit, bool positive,
                       std::string what, T& into, bool recorded = false) {
  const std::string option = "--" + name;
  return {std::move(name), std::move(value), std::move(help),
          [option, limit, positive, what, &into](const std::string& v) -> std::optional<std::string> {
            const auto n = ParseCount(v, limit);
            if (!n || (positive && *n == 0)) return option + " wants " + what + ", not '" + v + "'";
            into = static_cast<T>(*n);
            return std::nullopt;
          },
          recorded};
}

// A target picture of the command line: the file and its printed width in metres (0: not given).
struct PictureArg {
  std::string path;
  double width = 0.0;
};

// "--picture-width" values: a positive width in metres up to kMaxPictureWidth. Nothing for anything else.
inline constexpr double kMaxPictureWidth = 100.0;
std::optional<double> ParsePictureWidth(std::string_view text);

// The options every headless tracker takes: where the frames come from, where the target is, what to write.
struct TrackArgs {
  std::string source = "synthetic";
  FrameSize size{320, 240};
  bool sizeGiven = false;           // --size was given: sources of their own size are scaled to it
  std::optional<long long> frames;  // unset: files to their end, live sources 300
  uint32_t seed = 1;
  long long registerFrame = 0;
  std::optional<Quad> corners;      // unset: the source's true corners
  std::string cameraParams;         // unset: found as the desktop program finds it (FindCameraParamFile)
  std::string calibration;          // --calibration: the full calibration the tracker works through; empty: none
  std::string lens;                 // --lens: the calibration whose lens the synthetic scene films through
  std::string targetImage;          // synthetic scene: image file shown as the target; empty: built-in texture
  std::string csv;
  bool quiet = false;
  int threads = 1;  // OpenCV's worker threads: the same for every tracker compared
  std::vector<PictureArg> pictures;  // targets given as pictures (and the picture scene's pictures)
};

// Upper limit of --threads.
inline constexpr int kMaxThreads = 64;

// The options every headless tracker takes (in the order of their help), reading into `args`, which must outlive
// the table.
std::vector<ToolOption> TrackOptions(TrackArgs& args);

}  // namespace quorl
