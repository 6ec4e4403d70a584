#include "geometry/homography.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <set>
#include <vector>

#include <opencv2/calib3d.hpp>

namespace quorl {
namespace {

Correspondence Match(int frameX, int frameY, int modelX, int modelY) { return {modelX, modelY, frameX, frameY}; }

bool SameMatch(const Correspondence& a, const Correspondence& b) {
  return a.modelX == b.modelX && a.modelY == b.modelY && a.frameX == b.frameX && a.frameY == b.frameY;
}

bool SameMaps(const CorrespMap& a, const CorrespMap& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameMatch);
}

bool SameMatrix(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

cv::Point2d Map(const cv::Matx33d& h, double x, double y) {
  const double w = h(2, 0) * x + h(2, 1) * y + h(2, 2);
  return {(h(0, 0) * x + h(0, 1) * y + h(0, 2)) / w, (h(1, 0) * x + h(1, 1) * y + h(1, 2)) / w};
}

// Frame points on a circle (no three collinear) mapped by model = frame + (dx, dy).
CorrespMap TranslatedCircle(int count, int dx, int dy) {
  CorrespMap map;
  for (int i = 0; i < count; ++i) {
    const double angle = 2.0 * std::numbers::pi * i / count;
    const int x = 320 + static_cast<int>(std::lround(150.0 * std::cos(angle)));
    const int y = 240 + static_cast<int>(std::lround(150.0 * std::sin(angle)));
    map.push_back(Match(x, y, x + dx, y + dy));
  }
  return map;
}

// Matches whose model point is far from where any translation-like mapping would put it.
void AddOutliers(CorrespMap& map, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> x(0, 639), y(0, 479);
  for (int i = 0; i < count; ++i) {
    const int fx = x(rng), fy = y(rng);
    map.push_back(Match(fx, fy, (fx + 200 + x(rng) / 2) % 640, (fy + 150 + y(rng) / 2) % 480));
  }
}

// Each test starts a generator of its own, as each tracker does.
class Homography : public ::testing::Test {
 protected:
  HomographySampler sampler;
};

TEST_F(Homography, FourMatchesChangeNothingFiveRunTheEstimation) {
  ModelRecord model;
  model.frameToModel = (cv::Mat_<float>(3, 3) << 2, 0, 1, 0, 2, 1, 0, 0, 1);
  const cv::Mat before = model.frameToModel.clone();
  const Correspondence sentinel = Match(1, 2, 3, 4);
  model.inlierMap = {sentinel};
  model.matchMap = TranslatedCircle(4, 30, 20);
  EstimateHomography(model, sampler);
  EXPECT_TRUE(SameMatrix(model.frameToModel, before));
  EXPECT_TRUE(SameMaps(model.inlierMap, {sentinel}));
  EXPECT_EQ(sampler.stats.stop, SamplingStop::NotRun);

  model.matchMap = TranslatedCircle(5, 30, 20);
  EstimateHomography(model, sampler);
  EXPECT_TRUE(SameMaps(model.inlierMap, model.matchMap));
  EXPECT_EQ(sampler.stats.hypotheses, 1);
  EXPECT_FALSE(sampler.stats.finalFit);
  const cv::Matx33f h(model.frameToModel);
  EXPECT_NEAR(h(0, 2), 30.0f, 1e-3f);
  EXPECT_NEAR(h(1, 2), 20.0f, 1e-3f);
}

TEST(Consensus, AcceptableOnlyWhenTheEstimationRanAndMoreThanASampleAgrees) {
  EXPECT_FALSE(IsConsensusAcceptable(kMinMatches - 1, 100));  // not run: the inliers are stale
  EXPECT_FALSE(IsConsensusAcceptable(100, 4));                // the sample's own four points
  EXPECT_FALSE(IsConsensusAcceptable(100, kMinConsensus - 1));
  EXPECT_TRUE(IsConsensusAcceptable(kMinConsensus, kMinConsensus));
  EXPECT_TRUE(IsConsensusAcceptable(400, 300));
}

TEST_F(Homography, AllMatchesConsistentScoreExactlyOneHypothesisThenFitAll) {
  ModelRecord model;
  for (int i = 0; i < 40; ++i) {
    const int x = 13 + (i * 37) % 600, y = 7 + (i * i * 11) % 460;
    model.matchMap.push_back(Match(x, y, 2 * x + 3, 2 * y - 4));
  }
  EstimateHomography(model, sampler);
  const HomographyStats& stats = sampler.stats;
  EXPECT_EQ(stats.hypotheses, 1);
  EXPECT_EQ(stats.needed, 0.0f);
  EXPECT_EQ(stats.stop, SamplingStop::Converged);
  EXPECT_TRUE(stats.finalFit);
  EXPECT_TRUE(SameMaps(model.inlierMap, model.matchMap));
  const cv::Matx33f expected(2, 0, 3, 0, 2, -4, 0, 0, 1);
  const cv::Matx33f h(model.frameToModel);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(h.val[i], expected.val[i], 1e-3f);
}

// Runs the sampling alone and the whole estimation, each from a new generator, on the same matches.
struct TwoRuns {
  cv::Mat sampleH;
  ModelRecord model;
  HomographySampler whole;
};
void RunBoth(const CorrespMap& matches, TwoRuns& runs) {
  HomographySampler alone;
  CorrespMap inliers;
  runs.sampleH = cv::Mat::eye(3, 3, CV_32FC1);
  RansacHomography(matches, inliers, runs.sampleH, alone);
  runs.model.matchMap = matches;
  EstimateHomography(runs.model, runs.whole);
}

TEST_F(Homography, TenInliersKeepTheBestSampleElevenGetTheLeastSquaresFit) {
  for (int inlierCount : {10, 11}) {
    CorrespMap matches = TranslatedCircle(inlierCount, 25, -15);
    for (std::size_t i = 0; i < matches.size(); ++i) {  // +-1 pixel of noise on the model side
      matches[i].modelX += static_cast<int>(i % 3) - 1;
      matches[i].modelY += static_cast<int>((i / 3) % 3) - 1;
    }
    AddOutliers(matches, 10, 99);
    TwoRuns runs;
    RunBoth(matches, runs);
    ASSERT_EQ(runs.model.inlierMap.size(), static_cast<std::size_t>(inlierCount));
    if (inlierCount == 10) {
      EXPECT_FALSE(runs.whole.stats.finalFit);
      EXPECT_TRUE(SameMatrix(runs.model.frameToModel, runs.sampleH));
    } else {
      EXPECT_TRUE(runs.whole.stats.finalFit);
      std::vector<cv::Point2f> src, dst;
      for (const Correspondence& m : runs.model.inlierMap) {
        src.emplace_back(static_cast<float>(m.frameX), static_cast<float>(m.frameY));
        dst.emplace_back(static_cast<float>(m.modelX), static_cast<float>(m.modelY));
      }
      cv::Mat fit;
      cv::findHomography(src, dst, 0).convertTo(fit, CV_32F);
      EXPECT_TRUE(SameMatrix(runs.model.frameToModel, fit));
      EXPECT_FALSE(SameMatrix(runs.model.frameToModel, runs.sampleH));
    }
  }
}

TEST_F(Homography, TransferErrorOfExactlyOneHundredIsNotAnInlier) {
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_32FC1);
  // Under the identity the error is 2 * (dx^2 + dy^2).
  const CorrespMap matches = {Match(10, 10, 15, 15), Match(10, 10, 17, 10), Match(10, 10, 17, 11),
                              Match(10, 10, 10, 10)};
  CorrespMap candidate;
  ScoreHypothesis(identity, matches, candidate);
  EXPECT_TRUE(SameMaps(candidate, {matches[1], matches[3]}));

  // w = 0 at frame x = 100: that match never agrees, the others still do.
  const cv::Mat vanishing = (cv::Mat_<float>(3, 3) << 1, 0, 0, 0, 1, 0, -0.01f, 0, 1);
  candidate.clear();
  ScoreHypothesis(vanishing, {Match(100, 5, 100, 5), Match(0, 0, 0, 0)}, candidate);
  EXPECT_TRUE(SameMaps(candidate, {Match(0, 0, 0, 0)}));

  // A singular hypothesis (all-zero inverse) agrees with nothing.
  candidate.clear();
  ScoreHypothesis(cv::Mat::zeros(3, 3, CV_32FC1), {Match(0, 0, 0, 0), Match(5, 5, 5, 5)}, candidate);
  EXPECT_TRUE(candidate.empty());
}

TEST_F(Homography, CollinearityLimitIsExclusive) {
  const cv::Point2f a(0, 0), b(1, 0);
  EXPECT_FALSE(IsNearCollinear(a, b, {0.0f, 0.5f}));
  EXPECT_FALSE(IsNearCollinear(a, b, {0.0f, -0.5f}));
  EXPECT_TRUE(IsNearCollinear(a, b, {7.0f, 0.499f}));
  EXPECT_TRUE(IsNearCollinear(a, b, {0.0f, -0.499f}));
  EXPECT_TRUE(IsNearCollinear({100, 200}, {300, 600}, {200, 400}));
  EXPECT_TRUE(IsNearCollinear(a, a, {50, 60}));  // coincident points

  EXPECT_TRUE(IsSampleNonDegenerate({{{0, 0}, {100, 0}, {100, 100}, {0, 100}}}));
  EXPECT_FALSE(IsSampleNonDegenerate({{{0, 0}, {100, 0}, {100, 100}, {200, 0}}}));  // P0, P1, P3
  EXPECT_FALSE(IsSampleNonDegenerate({{{0, 0}, {100, 0}, {100, 100}, {100, 100}}}));
}

TEST_F(Homography, AllFrameCornersOnOneLineStopAfterFiftyDegenerateSamples) {
  ModelRecord model;
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> coord(0, 400);
  for (int i = 0; i < 30; ++i) model.matchMap.push_back(Match(10 + 7 * i, 20 + 3 * i, coord(rng), coord(rng)));
  model.frameToModel = (cv::Mat_<float>(3, 3) << 1, 2, 3, 4, 5, 6, 7, 8, 9);
  const cv::Mat before = model.frameToModel.clone();
  model.inlierMap = {Match(1, 1, 1, 1)};
  EstimateHomography(model, sampler);
  EXPECT_TRUE(model.inlierMap.empty());
  EXPECT_TRUE(SameMatrix(model.frameToModel, before));
  EXPECT_EQ(sampler.stats.degenerate, 50);
  EXPECT_EQ(sampler.stats.hypotheses, 0);
  EXPECT_EQ(sampler.stats.stop, SamplingStop::DegenerateLimit);
}

TEST_F(Homography, NeededHypothesesFollowTheBestConsensus) {
  float e = 0.5f;
  EXPECT_NEAR(NeededHypotheses(20, 40, e), 71.355f, 1e-3f);
  EXPECT_EQ(e, 0.5f);
  EXPECT_NEAR(NeededHypotheses(5, 40, e), 71.355f, 1e-3f);  // a worse consensus never raises e
  EXPECT_EQ(e, 0.5f);
  EXPECT_NEAR(NeededHypotheses(28, 40, e), 16.7f, 0.1f);
  EXPECT_FLOAT_EQ(e, 0.3f);
  EXPECT_EQ(NeededHypotheses(40, 40, e), 0.0f);
  EXPECT_EQ(e, 0.0f);
}

TEST_F(Homography, HalfConsensusScoresSeventyTwoHypotheses) {
  ModelRecord model;
  model.matchMap = TranslatedCircle(20, 40, 10);
  AddOutliers(model.matchMap, 20, 3);
  EstimateHomography(model, sampler);
  const HomographyStats& stats = sampler.stats;
  EXPECT_EQ(stats.hypotheses, 72);
  EXPECT_LT(stats.degenerate, 50);
  EXPECT_EQ(stats.stop, SamplingStop::Converged);
  EXPECT_TRUE(SameMaps(model.inlierMap, TranslatedCircle(20, 40, 10)));
}

// The sample generator as it is defined, to predict which records each sample draws.
struct Generator {
  uint32_t state = 1;
  std::size_t Next(std::size_t n) {
    state = state * 214013u + 2531011u;
    return ((state >> 16) & 0x7FFFu) % n;
  }
};

TEST_F(Homography, LaterOfEquallyLargeConsensusSetsWins) {
  // Five points in convex position: four exact matches and one outlier. Every sample of four distinct
  // records fits its own four exactly and nothing else, so every hypothesis ties at four.
  CorrespMap matches;
  const std::array<cv::Point, 5> pentagon = {{{300, 100}, {450, 210}, {390, 380}, {210, 380}, {150, 210}}};
  for (const cv::Point& p : pentagon) matches.push_back(Match(p.x, p.y, p.x + 20, p.y + 30));
  matches[2].modelX += 120;
  matches[2].modelY -= 90;
  CorrespMap inliers;
  cv::Mat h = cv::Mat::eye(3, 3, CV_32FC1);
  RansacHomography(matches, inliers, h, sampler);
  const int hypotheses = sampler.stats.hypotheses;
  ASSERT_GE(hypotheses, 2);

  Generator generator;
  std::set<std::size_t> first, last;
  for (int scored = 0; scored < hypotheses;) {
    std::set<std::size_t> drawn;
    for (int k = 0; k < 4; ++k) drawn.insert(generator.Next(matches.size()));
    if (drawn.size() < 4) continue;  // coincident points: degenerate
    if (scored++ == 0) first = drawn;
    last = drawn;
  }
  ASSERT_NE(first, last);
  CorrespMap expected;
  for (std::size_t i : last) expected.push_back(matches[i]);
  EXPECT_TRUE(SameMaps(inliers, expected));
}

TEST_F(Homography, RandomHomographiesWithThirtyPercentOutliersMapInliersWithinOnePixel) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> angle(-0.5, 0.5), scale(0.8, 1.25), shift(-60.0, 60.0),
      perspective(-3e-4, 3e-4);
  std::uniform_int_distribution<int> x(0, 639), y(0, 479);
  std::bernoulli_distribution outlier(0.3);
  for (int trial = 0; trial < 20; ++trial) {
    const double a = angle(rng), s = scale(rng);
    const cv::Matx33d truth(s * std::cos(a), -s * std::sin(a), shift(rng), s * std::sin(a), s * std::cos(a),
                            shift(rng), perspective(rng), perspective(rng), 1.0);
    ModelRecord model;
    std::vector<Correspondence> trueInliers;
    for (int i = 0; i < 200; ++i) {
      const int fx = x(rng), fy = y(rng);
      if (outlier(rng)) {
        model.matchMap.push_back(Match(fx, fy, x(rng), y(rng)));
      } else {
        const cv::Point2d m = Map(truth, fx, fy);
        model.matchMap.push_back(Match(fx, fy, static_cast<int>(std::lround(m.x)), static_cast<int>(std::lround(m.y))));
        trueInliers.push_back(model.matchMap.back());
      }
    }
    EstimateHomography(model, sampler);
    ASSERT_TRUE(sampler.stats.finalFit) << "trial " << trial;
    // A 4-point fit through rounded points may extrapolate past the error limit for a few inliers.
    EXPECT_GE(model.inlierMap.size(), trueInliers.size() * 9 / 10);
    const cv::Matx33d estimate(cv::Matx33f(model.frameToModel));
    double worst = 0.0;
    for (const Correspondence& c : trueInliers) {
      const cv::Point2d d = Map(estimate, c.frameX, c.frameY) - Map(truth, c.frameX, c.frameY);
      worst = std::max(worst, std::hypot(d.x, d.y));
    }
    EXPECT_LT(worst, 1.0) << "trial " << trial;
  }
}

}  // namespace
}  // namespace quorl
