// The picture scene's deck: a few of many pictures at a time, each place dealt the next picture in turn, with
// truth for exactly the pictures shown.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "capture/picture_scene.h"

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

}  // namespace
}  // namespace quorl
