#include "app/source_open.h"

#include "capture/open_source.h"
#include "capture/v4l2_devices.h"

namespace quorl {

namespace {

FrameSourceOptions viewOptions(const std::vector<std::string>& pictures) {
  FrameSourceOptions options;
  options.loop = true;
  options.pictures = pictures;
  return options;
}

}  // namespace

std::unique_ptr<FrameSource> OpenViewSource(const std::string& sourceName, const std::vector<std::string>& pictures,
                                            std::string& resolved, std::string& error) {
  const std::optional<SourceRequest> parsed = ParseSourceName(sourceName, error);
  if (!parsed) return nullptr;
  std::string name;
  switch (parsed->kind) {
    case SourceRequest::Kind::kAuto:
      // The first camera that opens, else the synthetic scene; resolved here so the name is concrete.
      for (const VideoDevice& device : ListVideoDevices()) {
        std::string ignored;
        const std::string camera = "camera:" + std::to_string(device.index);
        if (auto source = OpenFrameSource(camera, viewOptions(pictures), ignored)) {
          resolved = camera;
          return source;
        }
      }
      name = std::string("synthetic:") + MotionProfileName(MotionProfile::kOrbit);
      break;
    case SourceRequest::Kind::kSynthetic:
      name = std::string("synthetic:") + MotionProfileName(parsed->profile);
      break;
    case SourceRequest::Kind::kCamera:
      name = "camera:" + std::to_string(parsed->cameraIndex);
      break;
    case SourceRequest::Kind::kFile:
    case SourceRequest::Kind::kImageSequence:
    case SourceRequest::Kind::kPictures:
    case SourceRequest::Kind::kBoard:
      name = sourceName;
      break;
  }
  std::unique_ptr<FrameSource> source = OpenFrameSource(name, viewOptions(pictures), error);
  if (source != nullptr) resolved = name;
  return source;
}

}  // namespace quorl
