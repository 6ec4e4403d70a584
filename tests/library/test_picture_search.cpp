// The search over many pictures: among 200 known pictures, and among 200 or 5 cards of one deck, the ones in view are
// found and no other is ever reported, a library of them read back tracks the same, twenty are followed at once, and
// a picture's own points find themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <zlib.h>

#include "capture/picture_scene.h"
#include "features/picture_search.h"
#include "library/picture_library.h"
#include "tests/library/sample_pictures.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

constexpr int kKnown = 200;

cv::Mat Picture(int i) {
  return MakeSamplePicture(static_cast<uint32_t>(100 + i), i % 2 ? cv::Size(240, 180) : cv::Size(180, 240));
}

// The targets of `pictures`, built on every core.
std::vector<PictureTarget> Build(const std::vector<cv::Mat>& pictures, const std::string& prefix) {
  std::vector<PictureTarget> out(pictures.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(pictures.size())), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) {
      std::string error;
      out[i] = BuildPictureTarget(prefix + std::to_string(i), PrepareTargetPicture(pictures[i], "p", error),
                                  pictures[i].size(), 0.0, 10);
    }
  });
  return out;
}

const std::vector<PictureTarget>& Targets() {
  static const std::vector<PictureTarget> targets = [] {
    std::vector<cv::Mat> pictures;
    for (int i = 0; i < kKnown; ++i) pictures.push_back(Picture(i));
    return Build(pictures, "p");
  }();
  return targets;
}

struct Row {
  TrackingState state;
  cv::Matx33d homography;
};

// Each frame of the table scene showing `pictures`, tracked by a set that `fill` gives its targets: every target's
// state and homography.
std::vector<std::vector<Row>> TrackSet(const std::function<void(TargetSet&)>& fill, const std::vector<cv::Mat>& pictures,
                                       int frames) {
  const std::vector<std::string> names(pictures.size(), "shown");
  std::string error;
  auto scene = PictureScene::Create(640, 480, PictureProfile::kTable, 3, pictures, names, error);
  EXPECT_NE(scene, nullptr) << error;
  TargetSet set;
  fill(set);
  DibImage display;
  display.CreateRgbDib(640, 480);
  const CameraSetup camera;
  std::vector<std::vector<Row>> rows;
  std::vector<TargetTruth> truth;
  cv::Mat bgr, gray;
  for (int f = 0; scene && f < frames; ++f) {
    scene->render(f, bgr, truth);
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    set.Track(ToGrayImage(gray), display, camera);
    rows.emplace_back();
    for (const PictureTarget& t : set.targets()) rows.back().push_back(Row{t.state, t.homography});
  }
  return rows;
}

// The same, the set holding `targets` with the search `forest` they came with.
std::vector<std::vector<Row>> Track(std::vector<PictureTarget> targets, const std::vector<cv::Mat>& pictures,
                                    int frames, std::vector<PictureSearch::Tree> forest = {}) {
  return TrackSet([&](TargetSet& set) { set.AddPrepared(std::move(targets), std::move(forest)); }, pictures, frames);
}

// Over 60 frames of `rows`: the shown targets are first found within 10 frames and tracked on 45, the others never.
void ExpectOnlyShownFound(const std::vector<std::vector<Row>>& rows, const std::vector<int>& shown) {
  ASSERT_EQ(rows.size(), 60u);
  const std::size_t known = rows[0].size();
  std::vector<int> tracked(known, 0), first(known, -1);
  for (std::size_t f = 0; f < rows.size(); ++f)
    for (std::size_t i = 0; i < known; ++i)
      if (rows[f][i].state == TrackingState::Tracking) {
        ++tracked[i];
        if (first[i] < 0) first[i] = static_cast<int>(f);
      }
  for (std::size_t i = 0; i < known; ++i) {
    SCOPED_TRACE("target " + std::to_string(i));
    if (std::find(shown.begin(), shown.end(), static_cast<int>(i)) == shown.end()) {
      EXPECT_EQ(tracked[i], 0);
    } else {
      EXPECT_GE(first[i], 0);
      EXPECT_LE(first[i], 10);
      EXPECT_GE(tracked[i], 45);
    }
  }
}

std::vector<cv::Mat> Pictures(const std::vector<int>& shown) {
  std::vector<cv::Mat> pictures;
  for (const int i : shown) pictures.push_back(Picture(i));
  return pictures;
}

TEST(PictureSearch, FindsTheShownPicturesAmongManyAndNoOther) {
  ASSERT_GE(static_cast<std::size_t>(kKnown), kSearchedPictures);
  const std::vector<int> shown = {17, 150};
  const auto rows = Track(Targets(), Pictures(shown), 60);
  ExpectOnlyShownFound(rows, shown);

  // Read back from a library, its search forest is the one the pictures build, and they track the same, frame by
  // frame.
  std::string error;
  const std::string bytes = EncodePictureLibrary(Targets());
  std::optional<PictureLibrary> read = DecodePictureLibrary(bytes, "m", error);
  ASSERT_TRUE(read) << error;
  std::vector<const RobustModel*> models;
  for (const PictureTarget& t : read->targets) models.push_back(&t.robust.model);
  PictureSearch built;
  built.Build(models);
  ASSERT_EQ(read->forest.size(), built.trees().size());
  for (std::size_t t = 0; t < built.trees().size(); ++t) {
    const PictureSearch::Tree &a = read->forest[t], &b = built.trees()[t];
    ASSERT_EQ(a.nodes.size(), b.nodes.size());
    EXPECT_EQ(std::memcmp(a.nodes.data(), b.nodes.data(), a.nodes.size() * sizeof(a.nodes[0])), 0);
    EXPECT_TRUE(a.order == b.order);
  }
  // A stored tree whose root leads back to itself (the checksum made again) is refused, never searched.
  const std::size_t forestBytes =
      4 + 3 * 8 + 9 * (built.trees()[0].nodes.size() + built.trees()[1].nodes.size() + built.trees()[2].nodes.size()) +
      4 * 3 * built.trees()[0].order.size();
  std::string looped = bytes;
  const int32_t root = 0;
  std::memcpy(looped.data() + looped.size() - 4 - forestBytes + 4 + 4 + 1 + 4, &root, 4);
  const uint32_t crc = static_cast<uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(looped.data()), looped.size() - 4));
  std::memcpy(looped.data() + looped.size() - 4, &crc, 4);
  EXPECT_FALSE(DecodePictureLibrary(looped, "m", error));
  EXPECT_EQ(error, "m: damaged (search forest: node 0 out of its tree)");
  const auto again = Track(std::move(read->targets), Pictures(shown), 60, std::move(read->forest));
  ASSERT_EQ(again.size(), rows.size());
  for (std::size_t f = 0; f < rows.size(); ++f)
    for (int i = 0; i < kKnown; ++i) {
      ASSERT_EQ(again[f][i].state, rows[f][i].state) << "frame " << f << " picture " << i;
      ASSERT_EQ(cv::norm(again[f][i].homography - rows[f][i].homography), 0.0) << "frame " << f << " picture " << i;
    }
}

// A library beside other pictures (one added before it, one after it was searched): the set searches with the forest
// the library came with, the others' points put into it; the shown ones are found, of the library and not, no other.
TEST(PictureSearch, ALibraryAndOtherPicturesAreFoundTogether) {
  std::string error;
  std::optional<PictureLibrary> read = DecodePictureLibrary(EncodePictureLibrary(Targets()), "m", error);
  ASSERT_TRUE(read) << error;
  ASSERT_FALSE(read->forest.empty());
  const auto rows = TrackSet(
      [&](TargetSet& set) {
        set.AddPrepared(Build({Picture(kKnown)}, "before"));
        set.AddPrepared(std::move(read->targets), std::move(read->forest));
        set.Index();  // as a first frame would, before the next picture joins
        set.AddPrepared(Build({Picture(kKnown + 1)}, "after"));
      },
      {Picture(kKnown), Picture(17), Picture(kKnown + 1)}, 60);
  ExpectOnlyShownFound(rows, {0, 1 + 17, 1 + kKnown});
}

// Cards of one deck differ in their number and badge alone, so each passes the correlation a find needs where another
// is shown, and they share most of their points. Among 200 of them (searched by the forest) and among 5 (one exact
// tree), the shown cards are found and no other card ever is.
TEST(PictureSearch, FindsTheShownCardsOfADeckAndNoLookalike) {
  constexpr int kCards = 200;
  std::vector<cv::Mat> cards;
  for (int i = 0; i < kCards; ++i) cards.push_back(MakeSampleCard(5, i + 2, cv::Size(240, 180)));
  std::vector<PictureTarget> deck = Build(cards, "card");
  for (const std::vector<int>& shown : {std::vector<int>{3, 120}, std::vector<int>{1, 3}}) {
    const std::size_t count = shown.back() == 3 ? 5 : kCards;
    SCOPED_TRACE(std::to_string(count) + " cards");
    std::vector<PictureTarget> known(deck.begin(), deck.begin() + static_cast<std::ptrdiff_t>(count));
    std::vector<cv::Mat> views;
    for (const int i : shown) views.push_back(cards[i]);
    ExpectOnlyShownFound(Track(std::move(known), views, 60), shown);
  }
}

// A card the set leaves out has no lookalike in the set to be told from, yet is taken for none of the known cards of
// its deck. The deck scene deals cards 0, 1 and 2 for its first 4 seconds, about 150 to 250 pixels wide: with cards 0,
// 1 and 5 known, cards 0 and 1 are followed where they lie, and nothing is reported on card 2 (card 5 comes later).
TEST(PictureSearch, TakesNoKnownCardForACardOfItsDeckLeftOut) {
  std::vector<cv::Mat> cards;
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    cards.push_back(MakeSampleCard(5, i + 2, cv::Size(240, 180)));
    names.push_back("card" + std::to_string(i));
  }
  const std::vector<PictureTarget> deck = Build(cards, "card");
  const std::vector<int> known = {0, 1, 5};
  std::string error;
  auto scene = PictureScene::Create(640, 480, PictureProfile::kDeck, 1, cards, names, error);
  ASSERT_NE(scene, nullptr) << error;
  TargetSet set;
  std::vector<PictureTarget> targets;
  for (const int i : known) targets.push_back(deck[static_cast<std::size_t>(i)]);
  set.AddPrepared(std::move(targets));
  DibImage display;
  display.CreateRgbDib(640, 480);
  std::vector<TargetTruth> truth;
  cv::Mat bgr, gray;
  std::vector<int> placed(known.size(), 0);
  for (int f = 0; f < 110; ++f) {
    scene->render(f, bgr, truth);
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    set.Track(ToGrayImage(gray), display, CameraSetup{});
    for (std::size_t k = 0; k < known.size(); ++k) {
      const PictureTarget& own = set.targets()[k];
      if (own.state != TrackingState::Tracking) continue;
      const auto shown =
          std::find_if(truth.begin(), truth.end(), [&](const TargetTruth& t) { return t.name == own.name; });
      ASSERT_NE(shown, truth.end()) << own.name << " reported at frame " << f << " while not in view";
      double error = 0.0;
      for (int c = 0; c < 4; ++c) error = std::max(error, cv::norm(own.corners[c] - shown->corners[c]));
      EXPECT_LT(error, 10.0) << own.name << " frame " << f;
      ++placed[k];
    }
  }
  EXPECT_GE(placed[0], 60);
  EXPECT_GE(placed[1], 60);
}

// Twenty pictures on a wall, all in view at once: each is followed on its own, at its own place (within 10 px of its
// true corners) under its own name; a few may wait for the set's barrier to leave them corners.
TEST(PictureSearch, FollowsTwentyPicturesAtOnce) {
  constexpr int kShown = 20;
  std::vector<cv::Mat> pictures;
  std::vector<std::string> names;
  for (int i = 0; i < kShown; ++i) {
    pictures.push_back(Picture(i));
    names.push_back(cv::format("p%d", i));
  }
  std::string error;
  auto scene = PictureScene::Create(640, 480, PictureProfile::kWall, 1, pictures, names, error);
  ASSERT_NE(scene, nullptr) << error;
  TargetSet set;
  set.AddPrepared(std::vector<PictureTarget>(Targets().begin(), Targets().begin() + kShown));
  DibImage display;
  display.CreateRgbDib(640, 480);
  std::vector<TargetTruth> truth;
  cv::Mat bgr, gray;
  int placed = 0;
  for (int f = 0; f < 45; ++f) {
    scene->render(f, bgr, truth);
    ASSERT_EQ(truth.size(), static_cast<std::size_t>(kShown));
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    set.Track(ToGrayImage(gray), display, CameraSetup{});
    if (f < 30) continue;
    for (const TargetTruth& t : truth) {
      ASSERT_TRUE(t.whole) << t.name;
      const auto own = std::find_if(set.targets().begin(), set.targets().end(),
                                    [&](const PictureTarget& p) { return p.name == t.name; });
      ASSERT_NE(own, set.targets().end());
      if (own->state != TrackingState::Tracking) continue;
      double error = 0.0;
      for (int k = 0; k < 4; ++k) error = std::max(error, cv::norm(own->corners[k] - t.corners[k]));
      EXPECT_LT(error, 10.0) << t.name << " frame " << f;
      ++placed;
    }
  }
  EXPECT_GE(placed, 15 * kShown * 15 / 20);  // 15 of 20 on each of the last 15 frames
}

// Any picture's points, as a frame's corners, are candidates of that picture at themselves (the forest finds an
// exact copy of a point), and of no picture not wanted: with a forest built over all, and with one built over the
// first 180 pictures and the last 20 put into its trees. Given back and adopted again, those trees are the same.
TEST(PictureSearch, APicturesOwnPointsAreItsCandidates) {
  std::vector<const RobustModel*> models;
  for (const PictureTarget& t : Targets()) models.push_back(&t.robust.model);
  const RobustParams& params = Targets()[0].robust.params;
  const auto expectOwnPointsFound = [&](const PictureSearch& search) {
    cv::RNG rng(7);
    std::size_t asked = 0, found = 0, unsearched = 0, foundUnsearched = 0;
    for (int trial = 0; trial < 30; ++trial) {
      const int m = trial < 10 ? rng.uniform(kKnown - 20, kKnown) : rng.uniform(0, kKnown);
      std::vector<uint8_t> wanted(models.size(), 1);
      wanted[(m + 1) % kKnown] = 0;
      FrameFeatures view;
      for (std::size_t k = 0; k < models[m]->points.size(); k += 7) {
        view.descriptors.push_back(models[m]->descriptors[k]);
        view.positions.push_back(models[m]->points[k].position);
      }
      const std::vector<std::vector<PointMatch>> candidates = search.Candidates(models, view, wanted, params);
      EXPECT_TRUE(candidates[(m + 1) % kKnown].empty());
      // The flattest views' points are not searched: asked, they are not found as themselves.
      const std::vector<uint8_t> searched = PictureSearch::SearchedViews(*models[m]);
      for (std::size_t k = 0; k < models[m]->points.size(); k += 7)
        (searched[models[m]->points[k].view] ? asked : unsearched) += 1;
      for (const PointMatch& c : candidates[m])
        if (c.modelIndex == 7 * c.corner)
          (searched[models[m]->points[c.modelIndex].view] ? found : foundUnsearched) += 1;
    }
    EXPECT_GE(found, asked * 99 / 100) << found << " of " << asked;
    EXPECT_GT(unsearched, 0u);
    EXPECT_EQ(foundUnsearched, 0u);
  };
  PictureSearch all;
  all.Build(models);
  expectOwnPointsFound(all);

  PictureSearch first, grown;
  first.Build(std::vector<const RobustModel*>(models.begin(), models.end() - 20));
  ASSERT_TRUE(grown.Adopt(models, first.TakeTrees(), kKnown - 20));
  expectOwnPointsFound(grown);
  const std::vector<PictureSearch::Tree> trees = grown.trees();
  ASSERT_TRUE(grown.Adopt(models, grown.TakeTrees(), kKnown - 20));
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const PictureSearch::Tree &a = trees[t], &b = grown.trees()[t];
    ASSERT_EQ(a.nodes.size(), b.nodes.size());
    EXPECT_EQ(std::memcmp(a.nodes.data(), b.nodes.data(), a.nodes.size() * sizeof(a.nodes[0])), 0);
    EXPECT_TRUE(a.order == b.order);
  }
}

}  // namespace
}  // namespace quorl
