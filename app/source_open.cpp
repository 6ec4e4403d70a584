#include "app/source_open.h"

#include "capture/synthetic_scene.h"

namespace quorl {

// TODO(frame sources): open every kind of source through the capture library's opener once it exists;
// until then only the synthetic scene is available.
std::unique_ptr<FrameSource> OpenViewSource(const std::string& spec, std::string& error) {
  SceneSettings settings;
  if (spec.rfind("synthetic:", 0) == 0) {
    const auto profile = ParseMotionProfile(spec.substr(10));
    if (!profile) {
      error = "unknown synthetic profile in '" + spec + "'";
      return nullptr;
    }
    settings.profile = *profile;
  } else if (spec != "auto" && spec != "synthetic") {
    error = "cannot open '" + spec + "'";
    return nullptr;
  }
  return SyntheticScene::Create(settings, error);
}

}  // namespace quorl
