#include "tools/track_options.h"

#include <charconv>
#include <cstdint>
#include <limits>

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

}  // namespace quorl
