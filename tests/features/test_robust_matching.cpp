// The matching stages of the robust mode on generated textures under known homographies: the Z_11 phase
// follows the picture's rotation, a model maps its keypoints back onto the registered picture, guided
// matching equals an exhaustive search restricted to the radius, and pose votes keep true matches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include <opencv2/imgproc.hpp>

#include "features/picture_target.h"
#include "features/robust_matching.h"
#include "features/robust_model.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

const RobustParams kParams;

constexpr int kWidth = 320, kHeight = 240;
const std::array<cv::Point2f, 4> kQuad = {cv::Point2f(80, 50), cv::Point2f(240, 50), cv::Point2f(240, 190),
                                          cv::Point2f(80, 190)};

cv::Mat Texture(uint32_t seed) { return GrayMatView(scene::MakeTexturedImage(kWidth, kHeight, seed)).clone(); }

// Rotation by `angle` (counter-clockwise on screen) and scaling by `scale` about the picture centre.
cv::Matx33d Similarity(double angle, double scale, double tx = 0.0, double ty = 0.0) {
  const double c = std::cos(angle) * scale, s = std::sin(angle) * scale;
  const double cx = kWidth / 2.0, cy = kHeight / 2.0;
  return cv::Matx33d(c, s, cx - c * cx - s * cy + tx, -s, c, cy + s * cx - c * cy + ty, 0, 0, 1);
}

cv::Mat Warp(const cv::Mat& image, const cv::Matx33d& h) {
  cv::Mat out;
  cv::warpPerspective(image, out, cv::Mat(h), image.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(128));
  return out;
}

FrameFeatures Features(const cv::Mat& image) {
  FrameFeatures f;
  DescribeFrame(ToGrayImage(image), 10, 20, f);
  return f;
}

TEST(RobustMatching, OrientationTurnsWithThePicture) {
  const cv::Mat source = Texture(3);
  const FrameFeatures before = Features(source);
  for (const double angle : {0.4, 1.3, -2.2}) {
    const cv::Matx33d h = Similarity(angle, 1.0);
    const FrameFeatures after = Features(Warp(source, h));
    std::vector<double> errors;
    for (std::size_t i = 0; i < before.corners.size(); ++i) {
      cv::Point2f p;
      ASSERT_TRUE(Project(h, cv::Point2f(before.corners[i].x, before.corners[i].y), p));
      for (std::size_t j = 0; j < after.corners.size(); ++j) {
        if (std::hypot(after.corners[j].x - p.x, after.corners[j].y - p.y) > 0.8) continue;
        errors.push_back(
            std::fabs(std::remainder(after.orientations[j] - before.orientations[i] - angle, 2 * std::numbers::pi)));
      }
    }
    ASSERT_GT(errors.size(), 50u) << angle;
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    EXPECT_LT(errors[errors.size() / 2], 0.15) << "median phase error at angle " << angle;
  }
}

TEST(RobustMatching, ModelPointsMapBackOntoTheRegisteredPicture) {
  const cv::Mat image = Texture(5);
  RobustModel model;
  RegisterRobustModel(model, image, kQuad, 10, kParams);
  ASSERT_GT(model.points.size(), 300u);
  ASSERT_GT(model.trackPoints.size(), 50u);
  EXPECT_GE(model.barrier, kParams.minModelBarrier);
  EXPECT_LE(model.barrier, kParams.maxModelBarrier);
  // Matching the registered picture itself: of the corners well inside the quad, a match to a scale-1 point is that
  // very pixel (or a neighbour), and most land where their model point is, within a pixel of its scale.
  const FrameFeatures frame = Features(image);
  std::vector<PointMatch> matches = MatchGlobally(model, frame, kParams);
  const std::vector<cv::Point2f> outline(kQuad.begin(), kQuad.end());
  std::erase_if(matches, [&](const PointMatch& m) { return cv::pointPolygonTest(outline, m.frame, true) < 12.0; });
  ASSERT_GT(matches.size(), 40u);
  int near = 0, unit = 0;
  for (const PointMatch& m : matches) {
    const int slot = model.points[m.modelIndex].slot;
    const double distance = cv::norm(m.model - m.frame);
    near += distance <= 1.0 / kRobustScales[slot] + 0.75;
    if (kRobustScales[slot] == 1.0) {
      ++unit;
      EXPECT_LE(distance, 1.0);  // the detector may keep a neighbour where the crop ends differently
    }
  }
  EXPECT_GT(unit, 10);
  EXPECT_GT(near, static_cast<int>(0.8 * matches.size()));
  // Every scale contributes, and every model point lies inside the quad.
  std::array<int, kRobustScales.size()> perSlot{};
  for (const ModelPoint& p : model.points) {
    ++perSlot[p.slot];
    EXPECT_GE(cv::pointPolygonTest(outline, p.position, true), -1.5);
  }
  for (int count : perSlot) EXPECT_GT(count, 0);
}

TEST(RobustMatching, ScaledPositionsKeepPixelCentres) {
  for (const double s : kRobustScales) {
    // A pixel of a copy resized by s covers the source pixels around (p + 0.5) / s - 0.5.
    const cv::Point2f back = ScaledToRegistered(cv::Point2f(10.0f, 20.0f), cv::Point(7, 3), s);
    EXPECT_NEAR(back.x, 7 + 10.5 / s - 0.5, 1e-4);
    EXPECT_NEAR(back.y, 3 + 20.5 / s - 0.5, 1e-4);
  }
  // A bright dot survives resizing at the position the mapping predicts.
  cv::Mat dot = cv::Mat::zeros(200, 200, CV_8UC1);
  cv::circle(dot, cv::Point(101, 87), 4, cv::Scalar(255), cv::FILLED);
  for (const double s : {0.5, 1.4, 2.8}) {
    cv::Mat scaled;
    cv::resize(dot, scaled, cv::Size(), s, s, s < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const cv::Moments m = cv::moments(scaled);
    const cv::Point2f back = ScaledToRegistered(cv::Point2f(m.m10 / m.m00, m.m01 / m.m00), cv::Point(0, 0), s);
    EXPECT_NEAR(back.x, 101, 0.3) << s;
    EXPECT_NEAR(back.y, 87, 0.3) << s;
  }
}

TEST(RobustMatching, GuidedMatchesEqualExhaustiveSearchWithinTheRadius) {
  RobustModel model;
  RegisterRobustModel(model, Texture(8), kQuad, 10, kParams);
  std::mt19937 random(4);
  std::uniform_real_distribution<double> angle(-0.3, 0.3), shift(-6, 6);
  for (int trial = 0; trial < 4; ++trial) {
    const cv::Matx33d truth = Similarity(angle(random), 1.0, shift(random), shift(random));
    const FrameFeatures frame = Features(Warp(model.image, truth));
    const cv::Matx33d predicted = Similarity(0.0, 1.0);  // the prediction is off by the motion
    const double radius = 9.0;
    const std::vector<PointMatch> guided = MatchGuided(model, frame, predicted, radius, kParams);
    // Reference: for each corner, the nearest two among all model points of slots 2..4 within the radius.
    std::vector<PointMatch> reference;
    for (std::size_t i = 0; i < frame.corners.size(); ++i) {
      std::vector<std::pair<double, int32_t>> candidates;
      for (std::size_t j = 0; j < model.points.size(); ++j) {
        cv::Point2f p;
        if (std::abs(model.points[j].slot - 3) > 1 || !Project(predicted, model.points[j].position, p)) continue;
        if (std::hypot(p.x - frame.corners[i].x, p.y - frame.corners[i].y) > radius) continue;
        double d = 0;
        for (int k = 0; k < kDescriptorSize; ++k)
          d += (model.descriptors[j][k] - frame.descriptors[i][k]) * (model.descriptors[j][k] - frame.descriptors[i][k]);
        candidates.emplace_back(d, static_cast<int32_t>(j));
      }
      std::sort(candidates.begin(), candidates.end());
      if (candidates.empty() || candidates[0].first > kParams.matchDistance) continue;
      if (candidates.size() > 1 && candidates[1].first < kParams.matchRatio * candidates[0].first) {
        const ModelPoint& a = model.points[candidates[0].second];
        const ModelPoint& b = model.points[candidates[1].second];
        const double coarser = std::min(kRobustScales[a.slot], kRobustScales[b.slot]);
        if (cv::norm(a.position - b.position) > kParams.samePointPixels / coarser) continue;
      }
      reference.push_back(PointMatch{{}, {}, candidates[0].second, static_cast<int32_t>(i)});
    }
    ASSERT_EQ(guided.size(), reference.size());
    for (std::size_t k = 0; k < guided.size(); ++k) {
      EXPECT_EQ(guided[k].modelIndex, reference[k].modelIndex);
      EXPECT_EQ(guided[k].corner, reference[k].corner);
    }
  }
}

TEST(RobustMatching, PoseVotesKeepTheConsistentMatches) {
  RobustModel model;
  RegisterRobustModel(model, Texture(11), kQuad, 10, kParams);
  const cv::Matx33d truth = Similarity(0.9, 0.7, 12, -8);
  const FrameFeatures frame = Features(Warp(model.image, truth));
  std::vector<PointMatch> matches = MatchGlobally(model, frame, kParams);
  auto correct = [&](const PointMatch& m) {
    cv::Point2f p;
    return Project(truth, m.model, p) && cv::norm(p - m.frame) < 3.0;
  };
  const auto good = std::count_if(matches.begin(), matches.end(), correct);
  ASSERT_GE(good, 15);
  // Random pairings as outliers, three times as many as the correct matches.
  std::mt19937 random(2);
  for (long i = 0; i < 3 * good; ++i) {
    const auto j = static_cast<int32_t>(random() % model.points.size());
    const auto c = static_cast<int32_t>(random() % frame.corners.size());
    matches.push_back(PointMatch{model.points[j].position,
                                 cv::Point2f(frame.corners[c].x, frame.corners[c].y), j, c});
  }
  const std::vector<PointMatch> kept = FilterByPoseVote(model, frame, matches, kParams);
  const auto keptGood = std::count_if(kept.begin(), kept.end(), correct);
  EXPECT_GE(keptGood, good * 7 / 10);
  EXPECT_LT(kept.size() - keptGood, kept.size() / 4) << "outliers left among " << kept.size();
}

// A picture's tilted views: after its straight points, each point on the picture where its view showed a corner (two
// squares: every point at a square's corner, within three pixels of its view's scale), and their pose votes agree
// for a view the picture shows turned: the view's map and turn carry its offsets and phases into the frame.
TEST(RobustMatching, TiltedViewsPointAtThePictureAndVoteTogether) {
  cv::Mat picture(240, 320, CV_8UC1, cv::Scalar(0));
  cv::rectangle(picture, cv::Rect(100, 60, 80, 90), cv::Scalar(255), cv::FILLED);
  cv::rectangle(picture, cv::Rect(200, 150, 50, 40), cv::Scalar(180), cv::FILLED);
  const std::vector<cv::Point2f> squareCorners = {{100, 60},  {179, 60},  {179, 149}, {100, 149},
                                                  {200, 150}, {249, 150}, {249, 189}, {200, 189}};
  const std::array<cv::Point2f, 4> whole = {cv::Point2f(0, 0), cv::Point2f(319, 0), cv::Point2f(319, 239),
                                            cv::Point2f(0, 239)};
  RobustModel model;
  RegisterRobustModel(model, picture, whole, 10, kParams, PictureScales(320), true);
  ASSERT_GE(model.tilts.size(), 2u * kParams.tiltDirections);
  ASSERT_LT(model.straightPoints, model.points.size());
  for (std::size_t i = 0; i < model.points.size(); ++i) {
    const ModelPoint& p = model.points[i];
    EXPECT_EQ(p.view == 0, i < model.straightPoints);
    ASSERT_LE(p.view, static_cast<int>(model.tilts.size()));
    double nearest = INFINITY;
    for (const cv::Point2f& c : squareCorners) nearest = std::min(nearest, static_cast<double>(cv::norm(c - p.position)));
    // Its view's scale: the slot's, or the tilted view's most compressed one.
    double scale = model.scales[p.slot];
    if (p.view > 0) {
      cv::Mat w;
      cv::SVD::compute(cv::Mat(cv::Matx22d(model.tilts[p.view - 1].map)), w);
      scale = w.at<double>(1);
    }
    EXPECT_LE(nearest, 3.0 / scale) << "point " << i << " of view " << p.view;
  }
  // The view turned by 45 degrees with the most points.
  std::vector<int> perView(model.tilts.size() + 1, 0);
  for (const ModelPoint& p : model.points)
    if (p.view > 0 && (p.view - 1) % kParams.tiltDirections == 1) ++perView[p.view];
  const int view = static_cast<int>(std::max_element(perView.begin(), perView.end()) - perView.begin());

  // Each tilted point of one view seen where the view, turned by 0.8 and moved, puts it (phases turned alike), among
  // as many random pairings: the true ones vote together.
  const cv::Matx22f map = model.tilts[view - 1].map;
  const double c = std::cos(0.8), sn = std::sin(0.8);
  FrameFeatures frame;
  std::vector<PointMatch> matches;
  const auto add = [&](int32_t point, cv::Point2f at, float phase) {
    frame.positions.push_back(at);
    frame.orientations.push_back(phase);
    frame.corners.push_back(CornerPoint{cvRound(at.x), cvRound(at.y)});
    matches.push_back(PointMatch{model.points[point].position, at, point, static_cast<int32_t>(matches.size())});
  };
  std::size_t shown = 0;
  for (std::size_t i = model.straightPoints; i < model.points.size(); ++i) {
    const ModelPoint& p = model.points[i];
    if (p.view != view) continue;
    const cv::Vec2f v = map * cv::Vec2f(p.position.x - 160.0f, p.position.y - 120.0f);
    // The phases turn counter-clockwise on screen as the picture does (rows run downwards).
    add(static_cast<int32_t>(i), cv::Point2f(static_cast<float>(300 + c * v[0] + sn * v[1]),
                                             static_cast<float>(200 - sn * v[0] + c * v[1])),
        static_cast<float>(p.orientation + 0.8));
    ++shown;
  }
  ASSERT_GE(shown, 8u);
  std::mt19937 random(6);
  for (std::size_t k = 0; k < shown; ++k)
    add(static_cast<int32_t>(random() % model.points.size()),
        cv::Point2f(static_cast<float>(random() % 600), static_cast<float>(random() % 400)),
        static_cast<float>((random() % 628) / 100.0));
  const std::vector<PointMatch> kept = FilterByPoseVote(model, frame, matches, kParams);
  const auto trueKept = std::count_if(kept.begin(), kept.end(), [&](const PointMatch& m) {
    return static_cast<std::size_t>(m.corner) < shown;
  });
  EXPECT_GE(static_cast<std::size_t>(trueKept), shown * 9 / 10);
  EXPECT_LE(kept.size() - static_cast<std::size_t>(trueKept), shown / 5);
}

}  // namespace
}  // namespace quorl
