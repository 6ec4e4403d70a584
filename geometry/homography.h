#pragma once
// Robust frame-to-model homography: random-sample consensus over 4-correspondence samples, then a
// least-squares fit over the best consensus set.
//
// Least-squares fits use cv::findHomography(src, dst, 0). With exactly 4 points it returns the
// normalised direct linear solution alone (exact through the 4 points); with more it refines that
// solution by Levenberg-Marquardt on the forward reprojection error over all points. The result is
// double precision scaled so that element (2, 2) is 1; it is empty when the points are degenerate
// (for example all coincident), in which case the target matrix is left as it was.

#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

#include "features/correspondence.h"
#include "features/model.h"

namespace quorl {

// Fewer matches than this: no estimation at all, `frameToModel` and `inlierMap` stay as they were.
inline constexpr std::size_t kMinMatches = 5;
// A consensus set needs at least this many records for the final least-squares fit over it.
inline constexpr std::size_t kMinFitInliers = 11;
// A correspondence agrees with a hypothesis when its symmetric transfer error (square pixels) is
// strictly below this.
inline constexpr double kMaxTransferError = 100.0;
// Three points are nearly collinear when twice their triangle area lies strictly inside (-0.5, 0.5).
inline constexpr double kCollinearLimit = 0.5;
// Sampling stops once this many samples were rejected as degenerate in one call.
inline constexpr int32_t kMaxDegenerateSamples = 50;
// Required probability that at least one sample is free of outliers; sets the needed sample count.
inline constexpr float kConfidence = 0.99f;
// Fewest records in an acceptable consensus set. A sample's four correspondences always agree with their
// own exact fit, so a set of four says nothing; on frames without the target in view, false matches
// gather at most five (measured on the synthetic profiles at 320x240 and 640x480).
inline constexpr std::size_t kMinConsensus = 6;

using SamplePoints = std::array<cv::Point2f, 4>;

// Why the last estimation ended, for diagnostics.
enum class SamplingStop {
  NotRun,           // fewer than kMinMatches matches
  Converged,        // the needed hypothesis count was reached
  DegenerateLimit,  // kMaxDegenerateSamples samples were degenerate
};

// Statistics of one EstimateHomography / RansacHomography call. inliers: size of the best consensus set;
// finalFit: the least-squares fit ran.
struct HomographyStats {
  int32_t hypotheses = 0;
  int32_t degenerate = 0;
  int32_t inliers = 0;
  float needed = 0.0f;
  SamplingStop stop = SamplingStop::NotRun;
  bool finalFit = false;
};

// The sample generator and the statistics of the last call, owned by one tracker (its state record), so
// that trackers on different threads neither share nor disturb each other's sequence. A 32-bit linear
// congruential generator (s = s * 214013 + 2531011, output (s >> 16) & 0x7FFF), state 1 when constructed,
// never reseeded, carried over from call to call.
struct HomographySampler {
  uint32_t state = 1;
  HomographyStats stats;  // overwritten by each call

  int32_t Next();
};

// True when an estimation ran (at least kMinMatches matches) and its best consensus set holds at least
// kMinConsensus records: only then does the frame's homography say where the target is. After
// EstimateHomography, pass the sizes of `matchMap` and `inlierMap`.
bool IsConsensusAcceptable(std::size_t matches, std::size_t inliers);

// Per tracked frame: with at least kMinMatches matches, replaces `inlierMap` by the best consensus set
// and writes the best sample homography into `frameToModel`; with at least kMinFitInliers inliers,
// `frameToModel` becomes the least-squares fit over them instead. `frameToModel` maps frame to model.
void EstimateHomography(ModelRecord& model, HomographySampler& sampler);

// Sampling over `matches` (at least kMinMatches records). `inliers` is replaced by the best consensus
// set when one is taken (a set must reach the largest size so far, starting at 1; the later of two
// equally large sets wins); `H` (3 x 3 CV_32FC1) receives its sample homography, else stays unchanged.
void RansacHomography(const CorrespMap& matches, CorrespMap& inliers, cv::Mat& H, HomographySampler& sampler);

// Exact fit through four correspondences: H (converted to CV_32FC1) maps frame points to model points.
// Returns false and leaves H unchanged when the library finds the points degenerate.
bool FitSampleHomography(const SamplePoints& model, const SamplePoints& frame, cv::Mat& H);

// Appends to `candidate`, in order, every match whose symmetric transfer error under H (CV_32FC1,
// frame to model) and its LU inverse is below kMaxTransferError. A singular H or a zero homogeneous
// coordinate makes the error non-finite, and such a match never agrees.
void ScoreHypothesis(const cv::Mat& H, const CorrespMap& matches, CorrespMap& candidate);

// True when none of the four triples of the points is nearly collinear (all four are evaluated).
bool IsSampleNonDegenerate(const SamplePoints& points);

// Determinant of the three points as homogeneous single-precision vectors, (a x b) . c, with the dot
// product in double; nearly collinear when it lies strictly between -kCollinearLimit and kCollinearLimit.
bool IsNearCollinear(const cv::Point2f& a, const cv::Point2f& b, const cv::Point2f& c);

// Number of hypotheses needed after one was scored, in single precision: e := min(e, 1 - best / n),
// w := ((1 - e)^2)^2, result ln(1 - kConfidence) / ln(1 - w). Updates `outlierRatio` (e), which
// therefore never increases. At e = 0.5 the result is about 71.355; at e = 0 it is 0.
float NeededHypotheses(int32_t best, std::size_t n, float& outlierRatio);

}  // namespace quorl
