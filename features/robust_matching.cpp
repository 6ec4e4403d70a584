#include "features/robust_matching.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

namespace quorl {
namespace {

bool SamePoint(const RobustModel& model, int32_t a, int32_t b, const RobustParams& params) {
  const double coarser = std::min(model.scales[model.points[a].slot], model.scales[model.points[b].slot]);
  return cv::norm(model.points[a].position - model.points[b].position) <= params.samePointPixels / coarser;
}

double SquaredDistance(const KeypointDescriptor& a, const KeypointDescriptor& b) {
  double sum = 0.0;
  for (int d = 0; d < kDescriptorSize; ++d) sum += (a[d] - b[d]) * (a[d] - b[d]);
  return sum;
}

PointMatch MakeMatch(const RobustModel& model, const FrameFeatures& frame, int32_t modelIndex, std::size_t corner) {
  return PointMatch{model.points[modelIndex].position, frame.positions[corner], modelIndex,
                    static_cast<int32_t>(corner)};
}

// Scale of `h` around model point `p`: the square root of the area ratio of its local linear part.
double LocalScale(const cv::Matx33d& h, cv::Point2f p) {
  const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
  const double x = (h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w;
  const double y = (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w;
  const double a = (h(0, 0) - x * h(2, 0)) / w, b = (h(0, 1) - x * h(2, 1)) / w;
  const double c = (h(1, 0) - y * h(2, 0)) / w, d = (h(1, 1) - y * h(2, 1)) / w;
  return std::sqrt(std::fabs(a * d - b * c));
}

}  // namespace

bool Project(const cv::Matx33d& h, cv::Point2f p, cv::Point2f& out) {
  const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
  if (!(w > 1e-9)) return false;
  const double x = (h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w;
  const double y = (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w;
  if (!(std::fabs(x) < 1e6 && std::fabs(y) < 1e6)) return false;
  out = cv::Point2f(static_cast<float>(x), static_cast<float>(y));
  return true;
}

void DescribeFrame(const GrayImage& gray, int arc, int barrier, FrameFeatures& out, const FrameLens* lens) {
  out.corners = DetectCorners(gray, arc, barrier);
  out.descriptors.resize(out.corners.size());
  out.orientations.resize(out.corners.size());
  out.positions.resize(out.corners.size());
  for (std::size_t i = 0; i < out.corners.size(); ++i) {
    const CornerPoint& c = out.corners[i];
    out.orientations[i] = static_cast<float>(DescribeOrientedKeypoint(gray, c.x, c.y, out.descriptors[i]));
    out.positions[i] = lens != nullptr ? lens->UndistortPixel(c.x, c.y)
                                       : cv::Point2f(static_cast<float>(c.x), static_cast<float>(c.y));
  }
}

namespace {

// Global matching in `tree`, whose point k is point owner(k).second of model owner(k).first: `emit(k, i)` for each
// frame corner i matched to tree point k.
template <typename Owner, typename Emit>
void MatchInTree(const std::vector<const RobustModel*>& models, const ExactKdTree& tree, Owner owner,
                 const FrameFeatures& frame, const RobustParams& params, Emit emit) {
  for (std::size_t i = 0; i < frame.corners.size(); ++i) {
    NearestPair pair;
    if (!tree.FindTwoNearest(frame.descriptors[i], pair)) continue;  // ties: no clear nearest
    if (pair.distance[0] > params.matchDistance) continue;
    const auto [m, nearest] = owner(pair.index[0]);
    if (pair.distance[1] < params.matchRatio * pair.distance[0]) {
      const auto [m2, second] = owner(pair.index[1]);
      if (m2 == m && !SamePoint(*models[m], nearest, second, params)) continue;
    }
    emit(pair.index[0], i);
  }
}

}  // namespace

std::vector<PointMatch> MatchGlobally(const RobustModel& model, const FrameFeatures& frame,
                                      const RobustParams& params) {
  if (model.empty()) return {};
  std::vector<PointMatch> out;
  for (const int32_t first : {0, static_cast<int32_t>(model.straightPoints)}) {
    const ExactKdTree& tree = first == 0 ? model.tree : model.tiltTree;
    if (tree.empty()) continue;
    MatchInTree({&model}, tree, [&](int32_t k) { return std::pair<int32_t, int32_t>{0, first + k}; }, frame, params,
                [&](int32_t k, std::size_t i) { out.push_back(MakeMatch(model, frame, first + k, i)); });
  }
  return out;
}

void TargetIndex::Build(const std::vector<const RobustModel*>& models) {
  straight.Build(models, false);
  tilted.Build(models, true);
}

void TargetIndex::Part::Build(const std::vector<const RobustModel*>& models, bool tiltedViews) {
  owners.clear();
  begin.clear();
  std::vector<std::pair<int32_t, int32_t>> points;  // (model, point), model by model
  for (std::size_t m = 0; m < models.size(); ++m)
    for (std::size_t k = 0; k < models[m]->descriptors.size(); ++k)
      if ((models[m]->points[k].view != 0) == tiltedViews)
        points.emplace_back(static_cast<int32_t>(m), static_cast<int32_t>(k));
  const auto descriptor = [&](std::size_t p) -> const KeypointDescriptor& {
    return models[static_cast<std::size_t>(points[p].first)]->descriptors[static_cast<std::size_t>(points[p].second)];
  };
  // Runs of the very same descriptor in different models (and in none twice) become one tree point, the run's first.
  std::vector<std::size_t> order(points.size());
  for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
  const auto less = [&](std::size_t a, std::size_t b) {
    const int c = std::memcmp(descriptor(a).data(), descriptor(b).data(), sizeof(KeypointDescriptor));
    return c < 0 || (c == 0 && a < b);
  };
  std::sort(order.begin(), order.end(), less);
  std::vector<std::vector<std::size_t>> shared(points.size());  // the run's others, at its first
  std::vector<uint8_t> merged(points.size(), 0);
  for (std::size_t r = 0; r < order.size();) {
    std::size_t end = r + 1;
    while (end < order.size() &&
           std::memcmp(descriptor(order[r]).data(), descriptor(order[end]).data(), sizeof(KeypointDescriptor)) == 0)
      ++end;
    bool distinctModels = true;
    for (std::size_t a = r + 1; a < end; ++a) distinctModels = distinctModels && points[order[a]].first != points[order[a - 1]].first;
    if (end - r > 1 && distinctModels)
      for (std::size_t a = r + 1; a < end; ++a) {
        shared[order[r]].push_back(order[a]);
        merged[order[a]] = 1;
      }
    r = end;
  }
  std::vector<KeypointDescriptor> all;
  for (std::size_t p = 0; p < points.size(); ++p) {
    if (merged[p]) continue;
    all.push_back(descriptor(p));
    begin.push_back(static_cast<int32_t>(owners.size()));
    owners.push_back(points[p]);
    for (const std::size_t q : shared[p]) owners.push_back(points[q]);
  }
  begin.push_back(static_cast<int32_t>(owners.size()));
  tree.Clear();
  if (all.size() >= 2) tree.Build(all);
}

std::vector<std::vector<PointMatch>> MatchAllGlobally(const std::vector<const RobustModel*>& models,
                                                      const TargetIndex& index, const FrameFeatures& frame,
                                                      const RobustParams& params) {
  std::vector<std::vector<PointMatch>> out(models.size());
  for (const TargetIndex::Part* part : {&index.straight, &index.tilted}) {
    if (part->begin.size() < 3) continue;  // fewer than two tree points
    MatchInTree(
        models, part->tree, [&](int32_t k) { return part->owners[static_cast<std::size_t>(part->begin[k])]; }, frame,
        params, [&](int32_t k, std::size_t i) {
          for (int32_t o = part->begin[k]; o < part->begin[k + 1]; ++o) {
            const auto [m, point] = part->owners[static_cast<std::size_t>(o)];
            out[static_cast<std::size_t>(m)].push_back(
                MakeMatch(*models[static_cast<std::size_t>(m)], frame, point, i));
          }
        });
  }
  return out;
}

std::vector<PointMatch> FilterByPoseVote(const RobustModel& model, const FrameFeatures& frame,
                                         const std::vector<PointMatch>& matches, const RobustParams& params) {
  struct Vote {
    cv::Point2d centre;
    double angle;
    int slot;
  };
  const cv::Point2f centre = model.centre();
  const double radius = model.radius();
  std::vector<Vote> votes;
  votes.reserve(matches.size());
  // A tilted view's offsets go through its map, and its phases are measured from where it turned the x axis.
  std::vector<double> turns;
  for (const TiltView& v : model.tilts) turns.push_back(std::atan2(-v.map(1, 0), v.map(0, 0)));
  for (const PointMatch& m : matches) {
    const ModelPoint& p = model.points[m.modelIndex];
    const double angle = frame.orientations[m.corner] - p.orientation;
    const double c = std::cos(angle), sn = std::sin(angle);
    // The phases turn counter-clockwise on screen; rows run downwards.
    const double vx = centre.x - p.position.x, vy = centre.y - p.position.y;
    if (p.view == 0) {
      const double s = model.scales[p.slot];
      votes.push_back(Vote{cv::Point2d(m.frame.x + s * (vx * c + vy * sn), m.frame.y + s * (-vx * sn + vy * c)), angle,
                           p.slot});
      continue;
    }
    const cv::Matx22f& map = model.tilts[static_cast<std::size_t>(p.view - 1)].map;
    const double wx = map(0, 0) * vx + map(0, 1) * vy, wy = map(1, 0) * vx + map(1, 1) * vy;
    votes.push_back(Vote{cv::Point2d(m.frame.x + wx * c + wy * sn, m.frame.y - wx * sn + wy * c),
                         angle + turns[static_cast<std::size_t>(p.view - 1)], p.slot});
  }
  auto agree = [&](const Vote& a, const Vote& b) {
    if (std::abs(a.slot - b.slot) > 1) return false;
    const double turn = std::remainder(a.angle - b.angle, 2.0 * std::numbers::pi);
    if (std::fabs(turn) > params.voteAngle) return false;
    const double reach = params.voteCentre * radius * model.scales[a.slot];
    return cv::norm(a.centre - b.centre) <= reach;
  };
  std::size_t bestCount = 0, best = 0;
  for (std::size_t i = 0; i < votes.size(); ++i) {
    std::size_t count = 0;
    for (const Vote& v : votes) count += agree(votes[i], v);
    if (count > bestCount) {
      bestCount = count;
      best = i;
    }
  }
  std::vector<PointMatch> kept;
  if (bestCount < static_cast<std::size_t>(params.minVoteCluster)) return kept;
  for (std::size_t i = 0; i < votes.size(); ++i)
    if (agree(votes[best], votes[i])) kept.push_back(matches[i]);
  return kept;
}

std::vector<PointMatch> MatchGuided(const RobustModel& model, const FrameFeatures& frame,
                                    const cv::Matx33d& modelToFrame, double radius, const RobustParams& params) {
  std::vector<PointMatch> matches;
  if (model.empty() || frame.corners.empty() || !(radius > 0.0)) return matches;
  const int slot = NearestScaleSlot(model, LocalScale(modelToFrame, model.centre()));
  // Predicted positions of the model points of plausible scale, in a grid of radius-sized cells.
  const int cell = std::max(1, static_cast<int>(std::ceil(radius)));
  std::vector<std::pair<int64_t, int32_t>> grid;
  std::vector<cv::Point2f> predicted(model.points.size());
  for (std::size_t j = 0; j < model.points.size(); ++j) {
    if (std::abs(model.points[j].slot - slot) > 1 || model.points[j].view != 0) continue;
    if (!Project(modelToFrame, model.points[j].position, predicted[j])) continue;
    const int64_t key = (static_cast<int64_t>(std::floor(predicted[j].y / cell)) << 32) +
                        static_cast<int64_t>(std::floor(predicted[j].x / cell));
    grid.emplace_back(key, static_cast<int32_t>(j));
  }
  std::sort(grid.begin(), grid.end());
  const double r2 = radius * radius;
  for (std::size_t i = 0; i < frame.corners.size(); ++i) {
    const cv::Point2f& c = frame.positions[i];
    int32_t nearest = -1, second = -1;
    double d0 = INFINITY, d1 = INFINITY;
    const int64_t gx = static_cast<int64_t>(std::floor(static_cast<double>(c.x) / cell));
    const int64_t gy = static_cast<int64_t>(std::floor(static_cast<double>(c.y) / cell));
    for (int64_t y = gy - 1; y <= gy + 1; ++y) {
      for (int64_t x = gx - 1; x <= gx + 1; ++x) {
        const int64_t key = (y << 32) + x;
        auto it = std::lower_bound(grid.begin(), grid.end(), std::pair<int64_t, int32_t>{key, -1});
        for (; it != grid.end() && it->first == key; ++it) {
          const cv::Point2f& p = predicted[it->second];
          const double dx = p.x - c.x, dy = p.y - c.y;
          if (dx * dx + dy * dy > r2) continue;
          const double d = SquaredDistance(model.descriptors[it->second], frame.descriptors[i]);
          if (d < d0) {
            second = nearest;
            d1 = d0;
            nearest = it->second;
            d0 = d;
          } else if (d < d1) {
            second = it->second;
            d1 = d;
          }
        }
      }
    }
    if (nearest < 0 || d0 > params.matchDistance) continue;
    if (second >= 0 && d1 < params.matchRatio * d0 && !SamePoint(model, nearest, second, params)) continue;
    matches.push_back(MakeMatch(model, frame, nearest, i));
  }
  return matches;
}

std::vector<cv::Mat> BuildFlowPyramid(const cv::Mat& gray, const RobustParams& params) {
  std::vector<cv::Mat> pyramid;
  cv::buildOpticalFlowPyramid(gray.clone(), pyramid, cv::Size(params.flowWindow, params.flowWindow), params.flowLevels,
                              false);
  return pyramid;
}

std::vector<PointMatch> FollowTrackPoints(const RobustModel& model, const std::vector<cv::Mat>& previousPyramid,
                                          const std::vector<cv::Mat>& pyramid, const cv::Matx33d& previous,
                                          const cv::Matx33d& predicted, const RobustParams& params,
                                          const FrameLens* lens) {
  std::vector<PointMatch> matches;
  if (previousPyramid.empty() || pyramid.empty() || previousPyramid[0].size() != pyramid[0].size()) return matches;
  const cv::Size size = pyramid[0].size();
  std::vector<cv::Point2f> from, to, back, models;
  // A target shown small needs fewer points: every stride-th, spread as the list is.
  std::size_t stride = 1;
  if (params.flowPointArea > 0.0 && !model.trackPoints.empty()) {
    std::vector<cv::Point2f> shown(4);
    bool projected = true;
    for (int i = 0; i < 4; ++i) projected = projected && Project(previous, model.quad[i], shown[i]);
    const double wanted = projected ? std::fabs(cv::contourArea(shown)) / params.flowPointArea : 0.0;
    if (projected)
      stride = static_cast<std::size_t>(
          std::ceil(static_cast<double>(model.trackPoints.size()) / std::max(wanted, static_cast<double>(params.minFlowPoints))));
    stride = std::max<std::size_t>(stride, 1);
  }
  for (std::size_t k = 0; k < model.trackPoints.size(); k += stride) {
    const cv::Point2f& p = model.trackPoints[k];
    cv::Point2f a, b;
    if (!Project(previous, p, a) || !Project(predicted, p, b)) continue;
    if (lens != nullptr) {
      a = cv::Point2f(lens->Distort(a));
      b = cv::Point2f(lens->Distort(b));
    }
    if (a.x < 0 || a.y < 0 || a.x > size.width - 1 || a.y > size.height - 1) continue;
    from.push_back(a);
    to.push_back(b);
    models.push_back(p);
  }
  if (from.empty()) return matches;
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03);
  const cv::Size window(params.flowWindow, params.flowWindow);
  std::vector<uint8_t> forward, backward;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(previousPyramid, pyramid, from, to, forward, error, window, params.flowLevels, stop,
                           cv::OPTFLOW_USE_INITIAL_FLOW);
  back = from;
  cv::calcOpticalFlowPyrLK(pyramid, previousPyramid, to, back, backward, error, window, params.flowLevels, stop,
                           cv::OPTFLOW_USE_INITIAL_FLOW);
  for (std::size_t i = 0; i < from.size(); ++i) {
    if (!forward[i] || !backward[i] || cv::norm(back[i] - from[i]) > params.flowReturnError) continue;
    if (to[i].x < 0 || to[i].y < 0 || to[i].x > size.width - 1 || to[i].y > size.height - 1) continue;
    matches.push_back(PointMatch{models[i], lens != nullptr ? lens->Undistort(to[i]) : to[i], -1, -1});
  }
  return matches;
}

}  // namespace quorl
