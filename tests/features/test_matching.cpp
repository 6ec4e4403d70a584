#include "features/matching.h"

#include <gtest/gtest.h>

#include <cmath>

#include "features/registration.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

// Isolated bright dots on black, 8 pixels apart in raster order; each is a FAST corner candidate.
GrayImage DotsImage(int dots) {
  GrayImage image;
  image.CreateImage(640, 480);
  for (int i = 0; i < dots; ++i) image.rows[16 + 8 * (i / 76)][16 + 8 * (i % 76)] = 255;
  return image;
}

// A dot image with exactly `count` detected corners (the detector may drop a few candidates).
GrayImage ImageWithCorners(int count, const TrackerSettings& s) {
  for (int dots = count; dots < count + 8; ++dots) {
    GrayImage image = DotsImage(dots);
    if (static_cast<int>(DetectCorners(image, s.cornerType + 9, s.barrier).size()) == count) return image;
  }
  ADD_FAILURE() << "no dot image with " << count << " corners";
  return {};
}

TEST(TrackFrame, KeepsTheBarrierInsideTheTrackingBand) {
  for (const auto& [count, change] : {std::pair{99, -2}, {100, 0}, {400, 0}, {401, 2}}) {
    TrackerSettings settings;
    settings.barrier = 40;
    const GrayImage image = ImageWithCorners(count, settings);
    ModelRecord model;
    TrackFrame(model, image, settings);
    EXPECT_EQ(static_cast<int>(model.frameCorners.size()), count);
    EXPECT_EQ(settings.keypointCount, count);
    EXPECT_EQ(settings.barrier, 40 + change) << count << " corners";
  }
}

TEST(TrackFrame, EmptyFrameLowersTheBarrierAndMatchesNothing) {
  ModelRecord model;
  BuildIndex(std::vector<KeypointDescriptor>(3, KeypointDescriptor{0.1}), model.keypointIndex);
  model.scaleKeypoints[2] = model.modelKeypoints = {{20, 20}, {30, 30}, {40, 40}};
  model.matchMap = {{1, 2, 3, 4}};
  GrayImage flat;
  flat.CreateImage(320, 240);
  TrackerSettings settings;
  TrackFrame(model, flat, settings);
  EXPECT_TRUE(model.frameCorners.empty());
  EXPECT_TRUE(model.matchMap.empty());
  EXPECT_TRUE(model.keypointIndex.matchIndices.empty());
  EXPECT_EQ(settings.barrier, 38);
  EXPECT_EQ(settings.keypointCount, 0);
}

TEST(TrackFrame, SeveralCornersMayMatchOneModelKeypoint) {
  TrackerSettings settings;
  const GrayImage frame = ImageWithCorners(12, settings);
  const CornerList corners = DetectCorners(frame, settings.cornerType + 9, settings.barrier);
  KeypointDescriptor dot;
  DescribeKeypoint(frame, corners[0].x, corners[0].y, dot);  // every dot has the same surroundings
  KeypointDescriptor other = dot;
  other[0] += 1.0;

  // Model: one keypoint in each of the 0.5, 1.0 and 1.4 lists; only the 1.4 one looks like a dot.
  ModelRecord model;
  model.scaleKeypoints[0] = {{13, 3}};
  model.scaleKeypoints[2] = {{50, 50}};
  model.scaleKeypoints[3] = {{7, 9}};
  model.modelKeypoints = {{13, 3}, {50, 50}, {7, 9}};
  BuildIndex({other, other, dot}, model.keypointIndex);

  TrackFrame(model, frame, settings);
  ASSERT_EQ(model.matchMap.size(), corners.size());
  for (std::size_t i = 0; i < corners.size(); ++i) {
    EXPECT_EQ(model.matchMap[i].modelX, 5);
    EXPECT_EQ(model.matchMap[i].modelY, 6);
    EXPECT_EQ(model.matchMap[i].frameX, corners[i].x);
    EXPECT_EQ(model.matchMap[i].frameY, corners[i].y);
  }
}

TEST(TrackFrame, MatchesAShiftedAndRotatedViewOfTheRegisteredTarget) {
  const GrayImage registered = scene::MakeTexturedImage(320, 240, 5);
  const Quad quad{{{{70, 50}, {250, 50}, {250, 190}, {70, 190}}}};
  TrackerSettings settings;
  settings.barrier = 20;
  ModelRecord model;
  RegisterFrame(model, quad, registered, settings);
  ASSERT_GT(model.modelKeypoints.size(), 100u);

  // The view shows registered-frame point p at A p.
  const auto a = scene::RotationShift(0.06, 160, 120, 9, -6);
  const GrayImage view = scene::WarpImage(registered, 320, 240, scene::InvertAffine(a));
  TrackFrame(model, view, settings);

  int agreeing = 0;
  for (const Correspondence& c : model.matchMap) {
    const double x = a[0] * c.modelX + a[1] * c.modelY + a[2], y = a[3] * c.modelX + a[4] * c.modelY + a[5];
    agreeing += std::hypot(x - c.frameX, y - c.frameY) <= 3.0;  // back-mapping truncates up to 2 pixels
  }
  EXPECT_GE(model.matchMap.size(), 20u);
  EXPECT_GE(agreeing, 0.6 * static_cast<double>(model.matchMap.size()))
      << agreeing << " of " << model.matchMap.size() << " agree";
}

}  // namespace
}  // namespace quorl
