// The picture scene's deck: a few of many pictures at a time, each place dealt the next picture in turn, with
// truth for exactly the pictures shown; and each picture's true pose, which puts it where its true corners are.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "capture/picture_scene.h"
#include "capture/synthetic_scene.h"

namespace quorl {
namespace {

std::vector<std::string> NamesAt(const PictureScene& scene, int frame) {
  cv::Mat bgr;
  std::vector<TargetTruth> truth;
  scene.render(frame, bgr, truth);
  std::vector<std::string> names;
  for (const TargetTruth& t : truth) names.push_back(t.name);
  return names;
}

TEST(PictureScene, ADeckShowsAFewPicturesAtATimeEachInTurn) {
  std::vector<cv::Mat> pictures;
  std::vector<std::string> names;
  for (int i = 0; i < 7; ++i) {
    pictures.emplace_back(120, 90, CV_8UC3, cv::Scalar(30 * i, 200 - 20 * i, 90));
    names.push_back("card" + std::to_string(i));
  }
  std::string error;
  const auto scene = PictureScene::Create(320, 240, PictureProfile::kDeck, 1, pictures, names, error);
  ASSERT_NE(scene, nullptr) << error;
  // First the first three, one in each place.
  EXPECT_EQ(NamesAt(*scene, 0), (std::vector<std::string>{"card0", "card1", "card2"}));
  // Place 2 is dealt first (a third of a period in), then place 1: each empty for a moment, then the next card.
  EXPECT_EQ(NamesAt(*scene, 41), (std::vector<std::string>{"card0", "card1"}));
  EXPECT_EQ(NamesAt(*scene, 50), (std::vector<std::string>{"card0", "card1", "card5"}));
  EXPECT_EQ(NamesAt(*scene, 90), (std::vector<std::string>{"card0", "card4", "card5"}));
  // Over the deck's rounds every card is shown, never two in one place and never more than three at once.
  std::set<std::string> seen;
  for (int f = 0; f < 30 * 12; f += 5) {
    const std::vector<std::string> shown = NamesAt(*scene, f);
    EXPECT_LE(shown.size(), static_cast<std::size_t>(kDeckSlots)) << f;
    EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()).size(), shown.size()) << f;
    seen.insert(shown.begin(), shown.end());
  }
  EXPECT_EQ(seen.size(), names.size());
}

TEST(PictureScene, APicturesTruePoseCarriesItsRectangleOntoItsTrueCorners) {
  // Pictures of three shapes, turned on the table one way and the other, seen from the table's and the wall's paths.
  const std::vector<cv::Mat> pictures{cv::Mat(90, 120, CV_8UC3, cv::Scalar(40, 90, 200)),
                                      cv::Mat(100, 60, CV_8UC3, cv::Scalar(200, 90, 40)),
                                      cv::Mat(80, 80, CV_8UC3, cv::Scalar(90, 200, 40))};
  const std::vector<std::string> names{"wide", "tall", "square"};
  const PinholeIntrinsics k = DefaultIntrinsics(640, 480);
  int checked = 0;
  for (const PictureProfile profile : {PictureProfile::kTable, PictureProfile::kWall}) {
    std::string error;
    const auto scene = PictureScene::Create(640, 480, profile, 3, pictures, names, error);
    ASSERT_NE(scene, nullptr) << error;
    for (int frame = 0; frame < 300; frame += 37) {
      cv::Mat bgr;
      std::vector<TargetTruth> truths;
      scene->render(frame, bgr, truths);
      for (const TargetTruth& truth : truths) {
        ASSERT_TRUE(truth.pose) << truth.name;
        const cv::Matx44d& pose = *truth.pose;
        const cv::Matx33d r = pose.get_minor<3, 3>(0, 0);
        EXPECT_LT(cv::norm(r * r.t() - cv::Matx33d::eye()), 1e-9);
        EXPECT_NEAR(cv::determinant(r), 1.0, 1e-9);
        // The picture 1 wide, centred, its y down its left edge.
        const auto named = std::find(names.begin(), names.end(), truth.name);
        ASSERT_NE(named, names.end());
        const cv::Mat& p = pictures[static_cast<std::size_t>(named - names.begin())];
        const double half = 0.5, halfHeight = 0.5 * p.rows / p.cols;
        const cv::Point2d model[4] = {{-half, -halfHeight}, {half, -halfHeight}, {half, halfHeight}, {-half, halfHeight}};
        for (int c = 0; c < 4; ++c) {
          const cv::Vec4d at = pose * cv::Vec4d(model[c].x, model[c].y, 0.0, 1.0);
          const cv::Point2d seen(k.fx * at[0] / at[2] + k.cx, k.fy * at[1] / at[2] + k.cy);
          EXPECT_LT(cv::norm(seen - truth.corners[c]), 1e-6) << truth.name << " frame " << frame << " corner " << c;
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 30);
}

}  // namespace
}  // namespace quorl
