#include "tracker/engine.h"

#include <utility>

#include "camera/camera_setup.h"

namespace quorl {
namespace {

std::string RangeProblem(const char* name, long long value, long long low, long long high) {
  if (value >= low && value <= high) return {};
  return std::string(name) + " must be " + std::to_string(low) + ".." + std::to_string(high) + ", not " +
         std::to_string(value);
}

}  // namespace

std::string CheckEngineOptions(const EngineOptions& options) {
  for (const std::string& problem : {RangeProblem("cornerType", options.cornerType, 0, kMaxCornerType),
                              RangeProblem("barrier", options.barrier, -kMaxBarrier, kMaxBarrier),
                              RangeProblem("warmup", options.warmup, 0, kMaxWarmup)})
    if (!problem.empty()) return problem;
  return {};
}

TrackingEngine::TrackingEngine(const EngineOptions& options, std::string name,
                               const std::optional<CameraParam>& calibration)
    : options_(options), platform_(std::move(name)) {
  platform_.values.cornerType = options.cornerType;
  platform_.values.barrier = options.barrier;
  state_.robustMode = options.robust;
  state_.robust.stages = options.stages;
  // At its own size; the first frame rescales it.
  if (calibration) setCameraParams(*calibration, calibration->xsize, calibration->ysize, state_.camera);
}

bool TrackingEngine::Track() { return tick(state_, platform_); }

bool TrackingEngine::Register(const Quad& corners) {
  return registerWithCorners(state_, corners, options_.warmup, platform_);
}

}  // namespace quorl
