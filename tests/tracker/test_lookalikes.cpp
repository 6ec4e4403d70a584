// Lookalikes: which pictures are taken for each other, and what a view of one of them tells.
#include <gtest/gtest.h>

#include <iterator>

#include <opencv2/imgproc.hpp>

#include "tests/library/sample_pictures.h"
#include "tracker/lookalikes.h"

namespace quorl {
namespace {

constexpr int kCards = 4;
const cv::Size kSize(240, 180);

cv::Mat Gray(const cv::Mat& bgr) {
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

// A 640x480 frame (level 0 first, each half the one before) showing `picture` through `h`, softened and noisy as a
// camera's frame, over a textured background.
std::vector<cv::Mat> View(const cv::Mat& picture, const cv::Matx33d& h) {
  cv::Mat frame = Gray(MakeSamplePicture(77, cv::Size(640, 480)));
  cv::warpPerspective(picture, frame, h, frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
  cv::GaussianBlur(frame, frame, cv::Size(), 0.8);
  cv::Mat noise(frame.size(), CV_16S);
  cv::randn(noise, 0, 4);
  frame.convertTo(frame, CV_16S);
  frame += noise;
  frame.convertTo(frame, CV_8U);
  std::vector<cv::Mat> pyramid;
  cv::buildPyramid(frame, pyramid, 3);
  return pyramid;
}

// The picture `scale` times its size, turned by `degrees` and a little tilted, its corner near (150, 120).
cv::Matx33d Placement(double scale, double degrees) {
  const double a = degrees * CV_PI / 180.0;
  return cv::Matx33d(scale * std::cos(a), -scale * std::sin(a), 150, scale * std::sin(a), scale * std::cos(a), 120,
                     2e-4, 1e-4, 1);
}

TEST(Lookalikes, CardsOfADeckAreLookalikesAndAViewTellsWhichItShows) {
  std::vector<cv::Mat> pictures, miniatures;
  for (int n = 0; n < kCards; ++n) pictures.push_back(Gray(MakeSampleCard(9, n + 2, kSize)));
  pictures.push_back(Gray(MakeSamplePicture(3, kSize)));
  for (const cv::Mat& p : pictures) miniatures.push_back(Miniature(p));
  ASSERT_LE(std::max(miniatures[0].cols, miniatures[0].rows), kJudgedSide);
  const auto judgeOf = [&](const std::vector<int>& known) {  // over pictures `known`, numbered in that order
    std::vector<LookalikePicture> given;
    for (const int k : known) given.push_back({&miniatures[k], miniatures[k].cols / double(kSize.width)});
    LookalikeJudge judge;
    judge.Build(given);
    return judge;
  };
  LookalikeJudge judge = judgeOf({0, 1, 2, 3, 4});
  EXPECT_EQ(judge.Of(0), (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(judge.Of(3), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_FALSE(judge.Has(4));

  for (const double scale : {1.2, 0.6, 0.35}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    const cv::Matx33d h = Placement(scale, 12);
    const std::vector<cv::Mat> view = View(pictures[2], h);
    EXPECT_EQ(judge.Judge(2, h, view, nullptr).kind, LookalikeVerdict::Kind::Distinct);
    for (const std::size_t other : {0u, 1u, 3u}) {
      const LookalikeVerdict verdict = judge.Judge(other, h, view, nullptr);
      EXPECT_EQ(verdict.kind, LookalikeVerdict::Kind::Other);
      EXPECT_EQ(verdict.other, 2u);
    }
    // With the card shown left out, cards unlike it where the deck differs are not taken for it (its nearest, card 3,
    // may be: the judge compares known pictures only).
    LookalikeJudge without = judgeOf({0, 1, 3});
    EXPECT_NE(without.Judge(0, h, view, nullptr).kind, LookalikeVerdict::Kind::Distinct);
    EXPECT_NE(without.Judge(2, h, view, nullptr).kind, LookalikeVerdict::Kind::Distinct);
  }
  // Too small to tell the cards apart, or mostly outside the frame.
  EXPECT_EQ(judge.Judge(2, Placement(0.05, 0), View(pictures[2], Placement(0.05, 0)), nullptr).kind,
            LookalikeVerdict::Kind::Ambiguous);
  const cv::Matx33d outside = cv::Matx33d(1, 0, 560, 0, 1, 400, 0, 0, 1);
  EXPECT_EQ(judge.Judge(2, outside, View(pictures[2], outside), nullptr).kind, LookalikeVerdict::Kind::Ambiguous);
  // A picture without lookalikes stands as found.
  EXPECT_EQ(judge.Judge(4, Placement(0.6, 0), View(pictures[4], Placement(0.6, 0)), nullptr).kind,
            LookalikeVerdict::Kind::Distinct);
}

// A card outside the set departs from a known card of its deck where their numbers and badges differ; the known card
// itself does not, under light falling unevenly over it too; a view too coarse to show the number is not judged.
TEST(Lookalikes, AViewOfAnotherCardDepartsFromAKnownCardAndItsOwnDoesNot) {
  const cv::Mat known = Gray(MakeSampleCard(9, 4, kSize)), other = Gray(MakeSampleCard(9, 7, kSize));
  const cv::Mat miniature = Miniature(known);
  LookalikeJudge judge;
  judge.Build({{&miniature, miniature.cols / double(kSize.width)}});
  // Light from the left: the right of the card a fifth darker (a third darker departs nearly as far as the bars).
  cv::Mat shaded;
  known.convertTo(shaded, CV_32F);
  for (int x = 0; x < shaded.cols; ++x) shaded.col(x) *= 1.0 - x / (5.0 * shaded.cols);
  shaded.convertTo(shaded, CV_8U);
  for (const double scale : {1.2, 0.6, 0.45}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    const cv::Matx33d h = Placement(scale, 12);
    EXPECT_TRUE(judge.Departs(0, h, View(other, h), nullptr, kFindDepartureBars));
    EXPECT_FALSE(judge.Departs(0, h, View(known, h), nullptr, kFindDepartureBars));
    EXPECT_FALSE(judge.Departs(0, h, View(shaded, h), nullptr, kFindDepartureBars));
  }
  const cv::Matx33d coarse = Placement(0.2, 12);
  int level = 0;
  EXPECT_GE(judge.Departure(0, coarse, View(other, coarse), nullptr, level), 0.0);
  EXPECT_GE(level, static_cast<int>(std::size(kFindDepartureBars)));
  EXPECT_FALSE(judge.Departs(0, coarse, View(other, coarse), nullptr, kFindDepartureBars));
}

// A picture that is its own half turn cannot tell which way up a view shows it; marked in one corner, it can.
TEST(Lookalikes, AViewTellsWhichWayUpAPictureAlikeTurnedHalfATurnIsWhereItCan) {
  const cv::Mat plain = Gray(MakeSamplePicture(5, kSize)), turnless = Gray(MakeHalfTurnPicture(5, kSize, false)),
                marked = Gray(MakeHalfTurnPicture(5, kSize, true));
  const cv::Mat miniatures[3] = {Miniature(plain), Miniature(turnless), Miniature(marked)};
  LookalikeJudge judge;
  const double scale = miniatures[0].cols / double(kSize.width);
  judge.Build({{&miniatures[0], scale}, {&miniatures[1], scale}, {&miniatures[2], scale}});
  EXPECT_FALSE(judge.AlikeTurned(0));
  EXPECT_TRUE(judge.AlikeTurned(1));
  EXPECT_TRUE(judge.AlikeTurned(2));
  // The half turn about the picture's centre, in its pixels.
  const cv::Matx33d half(-1, 0, kSize.width - 1.0, 0, -1, kSize.height - 1.0, 0, 0, 1);
  for (const double shown : {1.0, 0.5}) {
    SCOPED_TRACE("scale " + std::to_string(shown));
    const cv::Matx33d h = Placement(shown, 12);
    const HalfTurnView either = judge.HalfTurn(1, h, View(turnless, h), nullptr);
    EXPECT_EQ(either.verdict, HalfTurnVerdict::Either);
    // Its turn is the picture's own symmetry, about a centre half a pixel off the picture's: turned by it, the
    // picture lies on itself.
    cv::Mat turned;
    cv::warpPerspective(turnless, turned, either.turn, kSize, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
    const cv::Rect inner(8, 8, kSize.width - 16, kSize.height - 16);
    EXPECT_LT(cv::norm(turned(inner), turnless(inner), cv::NORM_L1) / inner.area(), 2.0);
    EXPECT_EQ(judge.HalfTurn(2, h, View(marked, h), nullptr).verdict, HalfTurnVerdict::Kept);
    // The view shows the picture the other way up from where h puts it.
    EXPECT_EQ(judge.HalfTurn(2, h, View(marked, h * half), nullptr).verdict, HalfTurnVerdict::Turned);
  }
}

}  // namespace
}  // namespace quorl
