#include "features/keypoint_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

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
      int best = -1;
      double d0 = INFINITY, d1 = INFINITY;
      for (std::size_t p = 0; p < model.size(); ++p) {
        const double d = SquaredDistance(queries[q], model[p]);
        if (d < d0) {
          d1 = d0;
          d0 = d;
          best = static_cast<int>(p);
        } else if (d < d1) {
          d1 = d;
        }
      }
      const int expected = d0 <= kMatchMaxDistance && d1 >= kMatchMinRatio * d0 ? best : -1;
      EXPECT_EQ(index.matchIndices[q], expected) << "query " << q;
      accepted += expected >= 0;
    }
    EXPECT_GT(accepted, 50);
  }
}

}  // namespace
}  // namespace quorl
