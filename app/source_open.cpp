#include "app/source_open.h"

#include "capture/open_source.h"
#include "capture/v4l2_devices.h"

namespace quorl {

namespace {

FrameSourceOptions viewOptions() {
  FrameSourceOptions options;
  options.loop = true;
  return options;
}

}  // namespace

std::unique_ptr<FrameSource> OpenViewSource(const std::string& spec, std::string& resolved, std::string& error) {
  const std::optional<SourceSpec> parsed = ParseSourceSpec(spec, error);
  if (!parsed) return nullptr;
  std::string name;
  switch (parsed->kind) {
    case SourceSpec::Kind::kAuto:
      // The first camera that opens, else the synthetic scene; resolved here so the name is concrete.
      for (const VideoDevice& device : ListVideoDevices()) {
        std::string ignored;
        const std::string camera = "camera:" + std::to_string(device.index);
        if (auto source = OpenFrameSource(camera, viewOptions(), ignored)) {
          resolved = camera;
          return source;
        }
      }
      name = std::string("synthetic:") + MotionProfileName(MotionProfile::kOrbit);
      break;
    case SourceSpec::Kind::kSynthetic:
      name = std::string("synthetic:") + MotionProfileName(parsed->profile);
      break;
    case SourceSpec::Kind::kCamera:
      name = "camera:" + std::to_string(parsed->cameraIndex);
      break;
    case SourceSpec::Kind::kFile:
    case SourceSpec::Kind::kImageSequence:
      name = spec;
      break;
  }
  std::unique_ptr<FrameSource> source = OpenFrameSource(name, viewOptions(), error);
  if (source != nullptr) resolved = name;
  return source;
}

}  // namespace quorl
