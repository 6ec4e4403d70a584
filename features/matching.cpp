#include "features/matching.h"

#include <vector>

#include "features/descriptor.h"

namespace quorl {

void TrackFrame(ModelRecord& model, const GrayImage& gray, TrackerSettings& settings) {
  model.frameCorners = DetectCorners(gray, settings.cornerType + 9, settings.barrier);
  AdaptBarrier(settings, static_cast<int>(model.frameCorners.size()), kTrackBandLow, kTrackBandHigh);

  model.matchMap.clear();
  if (!model.isRegistered()) return;
  std::vector<KeypointDescriptor> queries(model.frameCorners.size());
  for (std::size_t i = 0; i < queries.size(); ++i)
    DescribeKeypoint(gray, model.frameCorners[i].x, model.frameCorners[i].y, queries[i]);
  SearchIndex(model.keypointIndex, queries);

  const std::vector<int32_t>& matches = model.keypointIndex.matchIndices;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const int32_t r = matches[i];
    if (r < 0) continue;
    const CornerPoint m = RegisteredFramePosition(model.modelKeypoints[r], ModelScale(model, r));
    const CornerPoint& f = model.frameCorners[i];
    model.matchMap.push_back(Correspondence{m.x, m.y, f.x, f.y});
  }
}

}  // namespace quorl
