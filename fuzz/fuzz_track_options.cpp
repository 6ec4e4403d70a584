// Command-line values of the headless tracker: the first byte picks the parser, the rest is the text.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/require.h"
#include "tools/track_options.h"

using quorl::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      if (const auto quad = quorl::ParseCorners(text)) {
        // What was accepted prints back to a text that parses to the same corners.
        std::string printed;
        for (const quorl::CornerPoint& c : quad->pt) {
          if (!printed.empty()) printed += ',';
          printed += std::to_string(c.x);
          printed += ',';
          printed += std::to_string(c.y);
        }
        Require(quorl::ParseCorners(printed) == quad, "corners print and parse back");
      }
      break;
    case 1:
      if (const auto s = quorl::ParseFrameSize(text)) {
        Require(s->width >= quorl::kMinFrameSide && s->width <= quorl::kMaxFrameSide &&
                    s->height >= quorl::kMinFrameSide && s->height <= quorl::kMaxFrameSide,
                "frame size within the sources' limits");
      }
      break;
    default:
      if (const auto n = quorl::ParseCount(text, 1000000)) Require(*n >= 0 && *n <= 1000000, "count within 0..limit");
      break;
  }
  return 0;
}
