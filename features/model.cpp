#include "features/model.h"

namespace quorl {

void ResetModel(ModelRecord& model) {
  model.modelImage.DestroyImage();
  model.modelKeypoints.clear();
  for (CornerList& list : model.scaleKeypoints) list.clear();
  model.frameCorners.clear();
  model.matchMap.clear();
  model.inlierMap.clear();
  ClearIndex(model.keypointIndex);
  model.currentQuad = Quad{};
}

int ModelScale(const ModelRecord& model, int32_t index) {
  int64_t end = 0;
  for (int slot = 0; slot < 3; ++slot) {
    end += static_cast<int64_t>(model.scaleKeypoints[slot].size());
    if (index < end) return slot;
  }
  return 3;
}

CornerPoint RegisteredFramePosition(CornerPoint keypoint, int slot) {
  const double f = kModelBackFactors[slot];
  return CornerPoint{static_cast<int32_t>(keypoint.x * f), static_cast<int32_t>(keypoint.y * f)};
}

}  // namespace quorl
