#include "features/registration.h"

#include <utility>
#include <vector>

#include "features/descriptor.h"
#include "image/resize.h"

namespace quorl {

bool PointInQuad(const Quad& quad, int32_t x, int32_t y) {
  bool inside = false;
  for (int i = 0; i < 4; ++i) {
    CornerPoint a = quad.pt[i];
    CornerPoint b = quad.pt[(i + 1) % 4];
    if (a.y > b.y) std::swap(a, b);  // orient upwards so the test is the same for either click order
    if (!(a.y <= y && y < b.y)) continue;
    // The edge crosses row y strictly to the right of x. Products of 33-bit differences need 128 bits.
    const __int128 left = static_cast<__int128>(int64_t{x} - a.x) * (int64_t{b.y} - a.y);
    const __int128 right = static_cast<__int128>(int64_t{y} - a.y) * (int64_t{b.x} - a.x);
    if (left < right) inside = !inside;
  }
  return inside;
}

std::array<GrayImage, 4> ScaledModelImages(const GrayImage& gray) {
  std::array<GrayImage, 4> images;
  for (int slot = 0; slot < 4; ++slot) {
    images[slot] = gray;
    const double s = kModelScales[slot];
    if (s != 1.0) ResizeBilinear(images[slot], ScaledSize(gray.width, s), ScaledSize(gray.height, s));
  }
  return images;
}

void RegisterFrame(ModelRecord& model, const Quad& corners, const GrayImage& gray, const TrackerSettings& settings) {
  if (gray.empty()) return;
  // The lists are rebuilt here so that they always match the index, even without a reset before.
  model.modelKeypoints.clear();
  for (CornerList& list : model.scaleKeypoints) list.clear();
  model.modelImage = gray;
  const std::array<GrayImage, 4> images = ScaledModelImages(gray);
  const int arc = settings.cornerType + 9;

  std::vector<KeypointDescriptor> descriptors;
  for (int slot = 0; slot < 4; ++slot) {
    const GrayImage& image = images[slot];
    for (const CornerPoint& c : DetectCorners(image, arc, settings.barrier)) {
      const CornerPoint p = RegisteredFramePosition(c, slot);
      if (!PointInQuad(corners, p.x, p.y)) continue;
      model.scaleKeypoints[slot].push_back(c);
      DescribeKeypoint(image, c.x, c.y, descriptors.emplace_back());
    }
  }
  for (const CornerList& list : model.scaleKeypoints)
    model.modelKeypoints.insert(model.modelKeypoints.end(), list.begin(), list.end());
  BuildIndex(descriptors, model.keypointIndex);
}

}  // namespace quorl
