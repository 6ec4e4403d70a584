// The robust mode's estimation: MAGSAC++ over sub-pixel matches with outliers, and the template
// refinement, which must pull a rough homography onto the truth and tell a wrong one by its correlation.
#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>

#include "features/robust_model.h"
#include "geometry/robust_homography.h"
#include "geometry/template_refinement.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

const RobustParams kParams;

const std::array<cv::Point2f, 4> kQuad = {cv::Point2f(90, 60), cv::Point2f(230, 60), cv::Point2f(230, 180),
                                          cv::Point2f(90, 180)};

// A perspective view: the target turned, shrunk and tilted.
const cv::Matx33d kTruth(0.8, 0.15, 20.0, -0.12, 0.85, 30.0, 0.0004, -0.0003, 1.0);

double CornerDistance(const cv::Matx33d& a, const cv::Matx33d& b) {
  double worst = 0.0;
  for (const cv::Point2f& c : kQuad) {
    cv::Point2f p, q;
    if (!Project(a, c, p) || !Project(b, c, q)) return 1e9;
    worst = std::max(worst, static_cast<double>(cv::norm(p - q)));
  }
  return worst;
}

TEST(RobustEstimation, MagsacFindsTheHomographyAmongOutliers) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> x(90, 230), y(60, 180), frame(0, 320), noise(-0.3f, 0.3f);
  std::vector<PointMatch> matches;
  for (int i = 0; i < 300; ++i) {
    const cv::Point2f m(x(random), y(random));
    cv::Point2f f;
    ASSERT_TRUE(Project(kTruth, m, f));
    if (i % 5 < 3) f = cv::Point2f(frame(random), frame(random) * 0.75f);  // 60 % outliers
    else f += cv::Point2f(noise(random), noise(random));
    matches.push_back(PointMatch{m, f});
  }
  RobustEstimate estimate;
  ASSERT_TRUE(EstimateRobustHomography(matches, kParams, estimate));
  EXPECT_LT(CornerDistance(estimate.modelToFrame, kTruth), 0.5);
  EXPECT_GE(estimate.inliers, 115);
  EXPECT_LE(estimate.inliers, 135);
  // The same matches give the same answer again; too few matches give none.
  RobustEstimate again;
  ASSERT_TRUE(EstimateRobustHomography(matches, kParams, again));
  EXPECT_EQ(cv::norm(cv::Mat(again.modelToFrame), cv::Mat(estimate.modelToFrame)), 0.0);
  matches.resize(kParams.minInliers - 1);
  EXPECT_FALSE(EstimateRobustHomography(matches, kParams, again));
}

class Refinement : public ::testing::Test {
 protected:
  void SetUp() override {
    registered = GrayMatView(scene::MakeTexturedImage(320, 240, 21)).clone();
    tmpl = BuildRefinementTemplate(registered, kQuad, kParams);
    cv::Mat frame;
    cv::warpPerspective(registered, frame, cv::Mat(kTruth), registered.size(), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar(90));
    frame.convertTo(frame, -1, 0.6, 40);  // another gain and offset
    cv::buildPyramid(frame, pyramid, kTemplateLevels - 1);
  }
  cv::Mat registered;
  RefinementTemplate tmpl;
  std::vector<cv::Mat> pyramid;
};

TEST_F(Refinement, PullsARoughEstimateOntoTheTruth) {
  ASSERT_FALSE(tmpl.empty());
  EXPECT_GT(tmpl.levels[0].points.size(), 500u);
  std::mt19937 random(3);
  std::normal_distribution<double> jitter(0.0, 1.0);
  for (int trial = 0; trial < 5; ++trial) {
    cv::Matx33d rough = kTruth;
    rough(0, 2) += 4 * jitter(random);
    rough(1, 2) += 4 * jitter(random);
    rough(0, 0) *= 1.0 + 0.02 * jitter(random);
    rough(1, 1) *= 1.0 + 0.02 * jitter(random);
    ASSERT_GT(CornerDistance(rough, kTruth), 1.0);
    const RefinementResult result = RefineHomography(tmpl, pyramid, rough, kTemplateLevels - 1, 0, kParams);
    // Resampling the texture at another scale leaves a bias of about a tenth of a pixel at the corners.
    EXPECT_LT(CornerDistance(result.homography, kTruth), 0.25) << "trial " << trial;
    EXPECT_GT(result.correlation, 0.9);
    EXPECT_GT(result.coverage, 0.99);
  }
}

TEST_F(Refinement, AffineStepsKeepThePerspectiveOfTheStart) {
  cv::Matx33d rough = kTruth;
  rough(0, 2) += 3.0;
  rough(1, 2) -= 2.0;
  // Affine steps alone change the start by an affine map of the model plane, and still remove a shift.
  const RefinementResult affine = RefineHomography(tmpl, pyramid, rough, kTemplateLevels - 1, 0, kParams, true);
  EXPECT_LT(CornerDistance(affine.homography, kTruth), 0.5);
  const cv::Matx33d change = rough.inv() * affine.homography;
  EXPECT_NEAR(change(2, 0) / change(2, 2), 0.0, 1e-9);
  EXPECT_NEAR(change(2, 1) / change(2, 2), 0.0, 1e-9);
}

TEST(RobustEstimation, PartialViewsKeepThePerspective) {
  // Matches on the left third of the target only.
  std::vector<PointMatch> matches;
  const cv::Matx33d moved = cv::Matx33d(1, 0, 4, 0, 1, -3, 0, 0, 1) * kTruth;
  for (float x = 92; x < 135; x += 6)
    for (float y = 62; y < 180; y += 6) {
      cv::Point2f f;
      ASSERT_TRUE(Project(moved, cv::Point2f(x, y), f));
      matches.push_back(PointMatch{cv::Point2f(x, y), f});
    }
  RobustEstimate estimate;
  ASSERT_TRUE(EstimateRobustHomography(matches, kParams, estimate));
  EXPECT_NEAR(InlierSpread(matches, estimate, kQuad), 0.27, 0.05);
  ASSERT_TRUE(EstimateAffineUpdate(matches, kTruth, kParams, estimate));
  EXPECT_LT(CornerDistance(estimate.modelToFrame, moved), 1e-3);
  EXPECT_EQ(estimate.inliers, static_cast<int>(matches.size()));
  EXPECT_EQ(InlierSpread({}, estimate, kQuad), 0.0);
}

TEST_F(Refinement, AWrongPoseCorrelatesPoorly) {
  cv::Matx33d wrong = kTruth;
  wrong(0, 2) += 45.0;
  EXPECT_LT(MeasureAgreement(tmpl, pyramid, wrong, 1).correlation, 0.3);
  EXPECT_GT(MeasureAgreement(tmpl, pyramid, kTruth, 1).correlation, 0.9);
  // Nothing to compare: an empty quad gives an empty template; a level past the pyramid gives no answer.
  EXPECT_TRUE(BuildRefinementTemplate(
                  registered, {cv::Point2f(5, 5), cv::Point2f(5, 5), cv::Point2f(5, 5), cv::Point2f(5, 5)}, kParams)
                  .empty());
  EXPECT_EQ(MeasureAgreement(tmpl, pyramid, kTruth, 7).correlation, -1.0);
}

}  // namespace
}  // namespace quorl
