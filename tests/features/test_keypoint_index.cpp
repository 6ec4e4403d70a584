#include "features/keypoint_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "image/corners.h"
#include "image/resize.h"
#include "tests/features/brute_force.h"
#include "tests/features/textured_scene.h"

namespace quorl {
namespace {

KeypointDescriptor Point(std::initializer_list<double> leading) {
  KeypointDescriptor d{};
  std::copy(leading.begin(), leading.end(), d.begin());
  return d;
}

double SquaredDistance(const KeypointDescriptor& a, const KeypointDescriptor& b) {
  double sum = 0.0;
  for (int i = 0; i < kDescriptorSize; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

std::vector<int32_t> Search(KeypointIndex& index, const std::vector<KeypointDescriptor>& queries) {
  SearchIndex(index, queries);
  return index.matchIndices;
}

TEST(SearchIndex, AbsoluteTestAcceptsExactlyTheLimit) {
  const double t = std::sqrt(kMatchMaxDistance);
  ASSERT_EQ(t * t, kMatchMaxDistance);
  const KeypointDescriptor far = Point({1.0, 1.0, 1.0});
  KeypointIndex index;

  BuildIndex({Point({t}), far}, index);
  EXPECT_EQ(Search(index, {Point({})}), std::vector<int32_t>{0});

  const double above = std::nextafter(t, 1.0);
  ASSERT_GT(above * above, kMatchMaxDistance);
  BuildIndex({far, Point({above})}, index);
  EXPECT_EQ(Search(index, {Point({})}), std::vector<int32_t>{-1});
}

TEST(SearchIndex, RatioTestAcceptsExactlyTwiceTheNearest) {
  const double u = 0.05;
  const KeypointDescriptor query = Point({});
  const KeypointDescriptor nearest = Point({u});
  const KeypointDescriptor twice = Point({0.0, u, u});
  const KeypointDescriptor lessThanTwice = Point({0.0, u, std::nextafter(u, 0.0)});
  ASSERT_EQ(SquaredDistance(query, twice), 2.0 * SquaredDistance(query, nearest));
  ASSERT_LT(SquaredDistance(query, lessThanTwice), 2.0 * SquaredDistance(query, nearest));

  KeypointIndex index;
  BuildIndex({twice, nearest}, index);
  EXPECT_EQ(Search(index, {query}), std::vector<int32_t>{1});
  BuildIndex({lessThanTwice, nearest}, index);
  EXPECT_EQ(Search(index, {query}), std::vector<int32_t>{-1});
}

TEST(SearchIndex, ExactMatchIsAcceptedWhateverTheSecondDistance) {
  const KeypointDescriptor a = Point({0.1, 0.2});
  const KeypointDescriptor b = Point({0.1, 0.2 + 1e-9});
  KeypointIndex index;
  BuildIndex({a, b}, index);
  EXPECT_EQ(Search(index, {b, a}), (std::vector<int32_t>{1, 0}));
}

TEST(SearchIndex, SeveralQueriesMayMatchOneModelPoint) {
  KeypointIndex index;
  BuildIndex({Point({0.1}), Point({0.5}), Point({0.9})}, index);
  EXPECT_EQ(Search(index, {Point({0.51}), Point({0.1}), Point({0.49}), Point({0.3})}),
            (std::vector<int32_t>{1, 0, 1, -1}));
}

TEST(SearchIndex, SmallAndEmptyInputsGiveNoMatches) {
  KeypointIndex index;
  EXPECT_EQ(Search(index, {Point({})}), std::vector<int32_t>{-1});  // never built

  BuildIndex({}, index);
  EXPECT_NE(index.tree, nullptr);
  EXPECT_EQ(Search(index, {Point({}), Point({0.1})}), (std::vector<int32_t>{-1, -1}));

  BuildIndex({Point({0.1})}, index);
  EXPECT_EQ(Search(index, {Point({0.1})}), std::vector<int32_t>{-1});

  BuildIndex({Point({0.1}), Point({0.9})}, index);
  EXPECT_TRUE(Search(index, {}).empty());
}

TEST(ClearIndex, DropsTheModelAndItsResults) {
  KeypointIndex index;
  BuildIndex({Point({0.1}), Point({0.9})}, index);
  SearchIndex(index, {Point({0.1})});
  ClearIndex(index);
  EXPECT_EQ(index.tree, nullptr);
  EXPECT_EQ(index.points, nullptr);
  EXPECT_TRUE(index.matchIndices.empty());
  ClearIndex(index);  // clearing twice is harmless
  BuildIndex({Point({0.1}), Point({0.9})}, index);
  EXPECT_EQ(Search(index, {Point({0.9})}), std::vector<int32_t>{1});
}

TEST(SearchIndex, AgreesWithBruteForceOnRandomDescriptors) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> coordinate(0.0, 0.2), noise(-0.01, 0.01);
  for (int trial = 0; trial < 5; ++trial) {
    std::vector<KeypointDescriptor> model(200 + 150 * trial);
    for (auto& d : model)
      for (double& v : d) v = coordinate(rng);
    std::vector<KeypointDescriptor> queries;
    for (int q = 0; q < 300; ++q) {
      KeypointDescriptor d = model[rng() % model.size()];
      for (int i = 0; i < kDescriptorSize; ++i) d[i] = q % 3 == 0 ? coordinate(rng) : d[i] + noise(rng) * (q % 4);
      queries.push_back(d);
    }
    KeypointIndex index;
    BuildIndex(model, index);
    SearchIndex(index, queries);
    ASSERT_EQ(index.matchIndices.size(), queries.size());
    int accepted = 0;
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const NearestPair brute = scene::BruteForceTwoNearest(queries[q], model);
      const int best = brute.index[0];
      const double d0 = brute.distance[0], d1 = brute.distance[1];
      const NearestPair ann = FindTwoNearestAnn(index, queries[q]);
      EXPECT_EQ(ann.index[0], best);
      EXPECT_EQ(ann.distance[0], d0);
      EXPECT_EQ(ann.distance[1], d1);
      const int expected = d0 <= kMatchMaxDistance && d1 >= kMatchMinRatio * d0 ? best : -1;
      EXPECT_EQ(index.matchIndices[q], expected) << "query " << q;
      accepted += expected >= 0;
    }
    EXPECT_GT(accepted, 50);
  }
}

void ExpectSamePair(const NearestPair& actual, const NearestPair& expected, std::size_t query) {
  EXPECT_EQ(actual.index[0], expected.index[0]) << "query " << query;
  EXPECT_EQ(actual.index[1], expected.index[1]) << "query " << query;
  EXPECT_EQ(actual.distance[0], expected.distance[0]) << "query " << query;
  EXPECT_EQ(actual.distance[1], expected.distance[1]) << "query " << query;
}

std::vector<KeypointDescriptor> CornerDescriptors(const GrayImage& image) {
  std::vector<KeypointDescriptor> out;
  for (const CornerPoint& c : DetectCorners(image, 10, 20)) {
    KeypointDescriptor d;
    out.push_back(DescribeKeypoint(image, c.x, c.y, d));
  }
  return out;
}

TEST(FindTwoNearest, AgreesWithAnnOnRealCornerDescriptors) {
  const GrayImage frame = scene::MakeTexturedImage(320, 240, 3);
  std::vector<KeypointDescriptor> model;
  for (double s : {0.5, 0.7, 1.0, 1.4}) {
    GrayImage scaled = frame;
    ResizeBilinear(scaled, ScaledSize(320, s), ScaledSize(240, s));
    for (const KeypointDescriptor& d : CornerDescriptors(scaled)) model.push_back(d);
  }
  const GrayImage view =
      scene::WarpImage(frame, 320, 240, scene::InvertAffine(scene::RotationShift(0.1, 160, 120, 6, -4)));
  std::vector<KeypointDescriptor> queries = CornerDescriptors(view);
  queries.insert(queries.end(), model.begin(), model.begin() + 50);  // exact hits too
  ASSERT_GT(model.size(), 500u);
  ASSERT_GT(queries.size(), 200u);

  KeypointIndex index;
  BuildIndex(model, index);
  for (std::size_t q = 0; q < queries.size(); ++q)
    ExpectSamePair(FindTwoNearest(index, queries[q]), FindTwoNearestAnn(index, queries[q]), q);
}

TEST(FindTwoNearest, KeepsTheLibraryTieOrder) {
  // Duplicated points, and queries halfway between two points: several points at the same distance.
  std::mt19937 rng(9);
  std::vector<KeypointDescriptor> model;
  for (int i = 0; i < 60; ++i) {
    KeypointDescriptor d{};
    for (double& v : d) v = static_cast<double>(rng() % 8) / 8.0;
    model.push_back(d);
    if (i % 3 == 0) model.push_back(d);
  }
  std::vector<KeypointDescriptor> queries(model.begin(), model.end());
  for (int i = 0; i + 1 < static_cast<int>(model.size()); i += 2) {
    KeypointDescriptor mid;
    for (int k = 0; k < kDescriptorSize; ++k) mid[k] = (model[i][k] + model[i + 1][k]) / 2;
    queries.push_back(mid);
  }
  KeypointIndex index;
  BuildIndex(model, index);
  for (std::size_t q = 0; q < queries.size(); ++q)
    ExpectSamePair(FindTwoNearest(index, queries[q]), FindTwoNearestAnn(index, queries[q]), q);
}

}  // namespace
}  // namespace quorl
