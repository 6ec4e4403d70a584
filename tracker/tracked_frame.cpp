#include "tracker/tracker.h"

namespace quorl {

int processTrackedFrame(TrackerState& state, TrackerPlatform& /*platform*/) {
  if (!state.model.isRegistered()) return 0;
  return 1;
}

}  // namespace quorl
