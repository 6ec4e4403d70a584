// The search over many pictures: among 200 known pictures the ones in view are found and no other is ever
// reported, a library of them read back tracks the same, and a picture's own points find themselves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/picture_scene.h"
#include "features/picture_search.h"
#include "library/picture_library.h"
#include "tests/library/sample_pictures.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

constexpr int kKnown = 200;

std::string Name(int i) { return cv::format("p%d", i); }
cv::Mat Picture(int i) {
  return MakeSamplePicture(static_cast<uint32_t>(100 + i), i % 2 ? cv::Size(240, 180) : cv::Size(180, 240));
}

// The targets of pictures 0..kKnown-1, built on every core.
const std::vector<PictureTarget>& Targets() {
  static const std::vector<PictureTarget> targets = [] {
    std::vector<PictureTarget> out(kKnown);
    cv::parallel_for_(cv::Range(0, kKnown), [&](const cv::Range& r) {
      for (int i = r.start; i < r.end; ++i) {
        std::string error;
        const cv::Mat picture = Picture(i);
        out[i] = BuildPictureTarget(Name(i), PrepareTargetPicture(picture, "p", error), picture.size(),
                                    0.0, 10);
      }
    });
    return out;
  }();
  return targets;
}

struct Row {
  TrackingState state;
  cv::Matx33d homography;
};

// Each frame of the table scene showing pictures `shown`, tracked by a set of `targets`: every target's state
// and homography.
std::vector<std::vector<Row>> Track(std::vector<PictureTarget> targets, const std::vector<int>& shown, int frames) {
  std::vector<cv::Mat> pictures;
  std::vector<std::string> names;
  for (const int i : shown) {
    pictures.push_back(Picture(i));
    names.push_back(Name(i));
  }
  std::string error;
  auto scene = PictureScene::Create(640, 480, PictureProfile::kTable, 3, pictures, names, error);
  EXPECT_NE(scene, nullptr) << error;
  TargetSet set;
  set.AddPrepared(std::move(targets));
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

TEST(PictureSearch, FindsTheShownPicturesAmongManyAndNoOther) {
  ASSERT_GE(static_cast<std::size_t>(kKnown), kSearchedPictures);
  const std::vector<int> shown = {17, 150};
  const auto rows = Track(Targets(), shown, 60);
  ASSERT_EQ(rows.size(), 60u);
  std::vector<int> tracked(kKnown, 0), first(kKnown, -1);
  for (std::size_t f = 0; f < rows.size(); ++f)
    for (int i = 0; i < kKnown; ++i)
      if (rows[f][i].state == TrackingState::Tracking) {
        ++tracked[i];
        if (first[i] < 0) first[i] = static_cast<int>(f);
      }
  for (int i = 0; i < kKnown; ++i) {
    SCOPED_TRACE("picture " + std::to_string(i));
    if (std::find(shown.begin(), shown.end(), i) == shown.end()) {
      EXPECT_EQ(tracked[i], 0);
    } else {
      EXPECT_GE(first[i], 0);
      EXPECT_LE(first[i], 10);
      EXPECT_GE(tracked[i], 45);
    }
  }

  // Read back from a library, the same pictures track the same, frame by frame.
  std::string error;
  std::optional<std::vector<PictureTarget>> read = DecodePictureLibrary(EncodePictureLibrary(Targets()), "m", error);
  ASSERT_TRUE(read) << error;
  const auto again = Track(std::move(*read), shown, 60);
  ASSERT_EQ(again.size(), rows.size());
  for (std::size_t f = 0; f < rows.size(); ++f)
    for (int i = 0; i < kKnown; ++i) {
      ASSERT_EQ(again[f][i].state, rows[f][i].state) << "frame " << f << " picture " << i;
      ASSERT_EQ(cv::norm(again[f][i].homography - rows[f][i].homography), 0.0) << "frame " << f << " picture " << i;
    }
}

// Any picture's points, as a frame's corners, are candidates of that picture at themselves (the forest finds an
// exact copy of a point), and of no picture not wanted.
TEST(PictureSearch, APicturesOwnPointsAreItsCandidates) {
  std::vector<const RobustModel*> models;
  for (const PictureTarget& t : Targets()) models.push_back(&t.robust.model);
  PictureSearch search;
  search.Build(models);
  const RobustParams& params = Targets()[0].robust.params;
  cv::RNG rng(7);
  std::size_t asked = 0, found = 0;
  for (int trial = 0; trial < 20; ++trial) {
    const int m = rng.uniform(0, kKnown);
    std::vector<uint8_t> wanted(models.size(), 1);
    wanted[(m + 1) % kKnown] = 0;
    FrameFeatures view;
    for (std::size_t k = 0; k < models[m]->points.size(); k += 7) {
      view.descriptors.push_back(models[m]->descriptors[k]);
      view.positions.push_back(models[m]->points[k].position);
    }
    const std::vector<std::vector<PointMatch>> candidates = search.Candidates(models, view, wanted, params);
    EXPECT_TRUE(candidates[(m + 1) % kKnown].empty());
    asked += view.descriptors.size();
    for (const PointMatch& c : candidates[m]) found += c.modelIndex == 7 * c.corner;
  }
  EXPECT_GE(found, asked * 99 / 100) << found << " of " << asked;
}

}  // namespace
}  // namespace quorl
