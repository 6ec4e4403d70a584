// Picture library files as quorl-track --library reads them: any bytes, as given and with the header's length and
// the checksum made right (so that the records themselves are read). A refusal names its reason; what is taken
// joins a set and tracks a frame.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/require.h"
#include "library/picture_library.h"

using quorl::fuzz::Require;

namespace {

void Decode(const std::string& bytes) {
  std::string error;
  std::optional<quorl::PictureLibrary> library = quorl::DecodePictureLibrary(bytes, "fuzz", error);
  Require(library.has_value() == error.empty(), "an error exactly when refused");
  Require(library || error.rfind("fuzz: ", 0) == 0, "the error names the file");
  if (!library) return;
  quorl::TargetSet set;
  set.AddPrepared(std::move(library->targets), std::move(library->forest));
  const quorl::GrayImage gray = quorl::ToGrayImage(cv::Mat(48, 64, CV_8UC1, cv::Scalar(128)));
  quorl::DibImage display;
  set.Track(gray, display, quorl::CameraSetup{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  Decode(bytes);
  constexpr std::size_t kLengthAt = sizeof(quorl::kLibraryMagic) + 4, kHeader = kLengthAt + 8 + 4;
  if (bytes.size() < kHeader + 4) return 0;
  const uint64_t length = bytes.size();
  std::memcpy(bytes.data() + kLengthAt, &length, sizeof(length));
  const uint32_t crc = static_cast<uint32_t>(
      crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size() - 4));
  std::memcpy(bytes.data() + bytes.size() - 4, &crc, sizeof(crc));
  Decode(bytes);
  return 0;
}
