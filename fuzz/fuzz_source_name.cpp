// Source names as users type them after --source or in Quorl's Video Source dialog.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/open_source.h"
#include "fuzz/require.h"

using quorl::fuzz::Require;
using Kind = quorl::SourceRequest::Kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto request = quorl::ParseSourceName(text, error);
  if (!request) {
    Require(!error.empty(), "a message for every refusal");
    return 0;
  }
  Require(!text.empty() && text.size() <= quorl::kMaxSourceNameLength, "length within limits");
  Require(std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
          "no control characters");
  switch (request->kind) {
    case Kind::kCamera:
      Require(request->cameraIndex >= 0 && request->cameraIndex <= quorl::kMaxCameraIndex, "camera index range");
      break;
    case Kind::kImageSequence:
      Require(request->path == text && std::count(text.begin(), text.end(), '%') == 1, "one number field");
      break;
    case Kind::kFile:
      Require(request->path == text && text.find('%') == std::string_view::npos, "file name kept as given");
      break;
    case Kind::kPictures:
      Require(text.rfind("pictures:", 0) == 0, "picture scene named as such");
      break;
    case Kind::kBoard:
      Require(text.rfind("board", 0) == 0, "board scene named as such");
      break;
    case Kind::kSynthetic:
    case Kind::kAuto:
      break;
  }
  return 0;
}
