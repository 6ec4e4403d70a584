#include "geometry/homography.h"

#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>

namespace quorl {
namespace {

// Least-squares homography with dst ~ H * src, written into H as CV_32FC1; H unchanged on failure.
bool FitHomography(cv::InputArray src, cv::InputArray dst, cv::Mat& H) {
  const cv::Mat fit = cv::findHomography(src, dst, 0);
  if (fit.empty()) return false;
  fit.convertTo(H, CV_32F);
  return true;
}

}  // namespace

int32_t HomographySampler::Next() {
  state = state * 214013u + 2531011u;
  return static_cast<int32_t>((state >> 16) & 0x7FFFu);
}

bool IsConsensusAcceptable(std::size_t matches, std::size_t inliers) {
  return matches >= kMinMatches && inliers >= kMinConsensus;
}

bool IsNearCollinear(const cv::Point2f& a, const cv::Point2f& b, const cv::Point2f& c) {
  // a x b for (a.x, a.y, 1) and (b.x, b.y, 1), each component in single precision.
  const float cross0 = a.y - b.y;
  const float cross1 = b.x - a.x;
  const float cross2 = a.x * b.y - a.y * b.x;
  double d = 0.0;
  d += static_cast<double>(cross0) * static_cast<double>(c.x);
  d += static_cast<double>(cross1) * static_cast<double>(c.y);
  d += static_cast<double>(cross2) * 1.0;
  return d > -kCollinearLimit && d < kCollinearLimit;
}

bool IsSampleNonDegenerate(const SamplePoints& p) {
  const bool c012 = IsNearCollinear(p[0], p[1], p[2]);
  const bool c013 = IsNearCollinear(p[0], p[1], p[3]);
  const bool c023 = IsNearCollinear(p[0], p[2], p[3]);
  const bool c123 = IsNearCollinear(p[1], p[2], p[3]);
  return !(c012 || c013 || c023 || c123);
}

bool FitSampleHomography(const SamplePoints& model, const SamplePoints& frame, cv::Mat& H) {
  return FitHomography(cv::_InputArray(frame.data(), 4), cv::_InputArray(model.data(), 4), H);
}

void ScoreHypothesis(const cv::Mat& H, const CorrespMap& matches, CorrespMap& candidate) {
  cv::Mat inverse;
  cv::invert(H, inverse, cv::DECOMP_LU);  // a singular H gives an all-zero inverse
  double h[9];
  double g[9];
  for (int i = 0; i < 9; ++i) {
    h[i] = static_cast<double>(H.at<float>(i / 3, i % 3));
    g[i] = static_cast<double>(inverse.at<float>(i / 3, i % 3));
  }
  for (const Correspondence& m : matches) {
    const double fx = m.frameX, fy = m.frameY, mx = m.modelX, my = m.modelY;
    const double w = h[6] * fx + h[7] * fy + h[8];
    const double mxp = (h[0] * fx + h[1] * fy + h[2]) / w;
    const double myp = (h[3] * fx + h[4] * fy + h[5]) / w;
    const double wb = g[6] * mx + g[7] * my + g[8];
    const double fxp = (g[0] * mx + g[1] * my + g[2]) / wb;
    const double fyp = (g[3] * mx + g[4] * my + g[5]) / wb;
    const double error = (mx - mxp) * (mx - mxp) + (my - myp) * (my - myp) + (fx - fxp) * (fx - fxp) +
                         (fy - fyp) * (fy - fyp);
    // A NaN error compares false, so non-finite errors never agree.
    if (error < kMaxTransferError) UpdateCorrespMap(candidate, m.frameX, m.frameY, m.modelX, m.modelY);
  }
}

float NeededHypotheses(int32_t best, std::size_t n, float& outlierRatio) {
  const float ratio = 1.0f - static_cast<float>(best) / static_cast<float>(n);
  if (ratio <= outlierRatio) outlierRatio = ratio;
  const float good = 1.0f - outlierRatio;
  const float good2 = good * good;
  const float w = good2 * good2;
  const float logFailure = std::log(1.0f - kConfidence);
  const float logMiss = std::log(1.0f - w);  // -inf when every match agrees, giving 0
  return logFailure / logMiss;
}

void RansacHomography(const CorrespMap& matches, CorrespMap& inliers, cv::Mat& H, HomographySampler& sampler) {
  const std::size_t n = matches.size();
  HomographyStats stats;
  if (n < kMinMatches) {
    sampler.stats = stats;
    return;
  }
  cv::Mat sample(3, 3, CV_32FC1, cv::Scalar(0));
  CorrespMap candidate;
  int32_t best = 1;
  float outlierRatio = 0.5f;
  float needed = 1000.0f;
  stats.stop = SamplingStop::Converged;
  while (needed > static_cast<float>(stats.hypotheses)) {
    SamplePoints model;
    SamplePoints frame;
    for (int k = 0; k < 4; ++k) {
      const Correspondence& m = matches[static_cast<std::size_t>(sampler.Next()) % n];
      model[k] = cv::Point2f(static_cast<float>(m.modelX), static_cast<float>(m.modelY));
      frame[k] = cv::Point2f(static_cast<float>(m.frameX), static_cast<float>(m.frameY));
    }
    // Model points first; the frame points are tested only when those pass. A sample that the
    // library still refuses to fit counts as degenerate too.
    if (!IsSampleNonDegenerate(model) || !IsSampleNonDegenerate(frame) ||
        !FitSampleHomography(model, frame, sample)) {
      ++stats.degenerate;
    } else {
      candidate.clear();
      ScoreHypothesis(sample, matches, candidate);
      if (candidate.size() >= static_cast<std::size_t>(best)) {
        best = static_cast<int32_t>(candidate.size());
        inliers = candidate;
        sample.copyTo(H);
        stats.inliers = best;
      }
      needed = NeededHypotheses(best, n, outlierRatio);
      ++stats.hypotheses;
    }
    if (stats.degenerate >= kMaxDegenerateSamples) {
      stats.stop = SamplingStop::DegenerateLimit;
      break;
    }
  }
  stats.needed = needed;
  sampler.stats = stats;
}

void EstimateHomography(ModelRecord& model, HomographySampler& sampler) {
  if (model.matchMap.size() < kMinMatches) {
    sampler.stats = HomographyStats{};
    return;
  }
  model.inlierMap.clear();
  RansacHomography(model.matchMap, model.inlierMap, model.frameToModel, sampler);
  if (model.inlierMap.size() < kMinFitInliers) return;

  std::vector<cv::Point2f> src;
  std::vector<cv::Point2f> dst;
  src.reserve(model.inlierMap.size());
  dst.reserve(model.inlierMap.size());
  for (const Correspondence& m : model.inlierMap) {
    src.emplace_back(static_cast<float>(m.frameX), static_cast<float>(m.frameY));
    dst.emplace_back(static_cast<float>(m.modelX), static_cast<float>(m.modelY));
  }
  sampler.stats.finalFit = FitHomography(src, dst, model.frameToModel);
}

}  // namespace quorl
