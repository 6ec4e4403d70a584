#include "features/correspondence.h"

#include <gtest/gtest.h>

namespace quorl {
namespace {

TEST(UpdateCorrespMap, StoresModelFirstFromFrameFirstArguments) {
  CorrespMap map;
  UpdateCorrespMap(map, 5, 6, 7, 8);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].modelX, 7);
  EXPECT_EQ(map[0].modelY, 8);
  EXPECT_EQ(map[0].frameX, 5);
  EXPECT_EQ(map[0].frameY, 6);
}

TEST(UpdateCorrespMap, WarnsFromTheThousandthRecordOnAndKeepsGrowing) {
  CorrespMap map(999, Correspondence{1, 2, 3, 4});
  testing::internal::CaptureStdout();
  UpdateCorrespMap(map, 0, 0, 0, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(map.size(), 1000u);

  const std::string warning =
      "UpdateCorrespMap called on a full corspMap\n"
      "Next positions of correspondences will be overwritten\n"
      "in the current correspondence \n";
  testing::internal::CaptureStdout();
  UpdateCorrespMap(map, 9, 10, 11, 12);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
  ASSERT_EQ(map.size(), 1001u);
  EXPECT_EQ(map.back().modelX, 11);
  EXPECT_EQ(map.back().frameY, 10);
  EXPECT_EQ(map[0].modelX, 1);  // nothing is overwritten

  testing::internal::CaptureStdout();
  UpdateCorrespMap(map, 0, 0, 0, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
  EXPECT_EQ(map.size(), 1002u);
}

}  // namespace
}  // namespace quorl
