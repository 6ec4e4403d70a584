#include <gtest/gtest.h>

#include "tools/track_options.h"

#include <string>

#include "capture/synthetic_scene.h"

namespace quorl {
namespace {

TEST(ParseCorners, EightIntegersInClickOrder) {
  const auto q = ParseCorners("10,20, 30 ,40,-5,60,70,+80");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->pt[0], (CornerPoint{10, 20}));
  EXPECT_EQ(q->pt[2], (CornerPoint{-5, 60}));
  EXPECT_EQ(q->pt[3], (CornerPoint{70, 80}));
  EXPECT_TRUE(ParseCorners("2147483647,-2147483648,0,0,0,0,0,0"));
}

TEST(ParseCorners, RefusesAnythingElse) {
  for (const char* bad : {"", "1,2,3,4,5,6,7", "1,2,3,4,5,6,7,8,9", "1,2,3,4,5,6,7,", ",1,2,3,4,5,6,7",
                          "1,2,3,4,5,6,7,8x", "1.5,2,3,4,5,6,7,8", "a,b,c,d,e,f,g,h", "1,,3,4,5,6,7,8",
                          "2147483648,0,0,0,0,0,0,0", "1 2,3,4,5,6,7,8,9", "--1,2,3,4,5,6,7,8"}) {
    EXPECT_FALSE(ParseCorners(bad)) << bad;
  }
}

TEST(ParseFrameSize, BoundsAndSyntax) {
  const auto s = ParseFrameSize("640x480");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->width, 640);
  EXPECT_EQ(s->height, 480);
  EXPECT_TRUE(ParseFrameSize("321X241"));
  for (const char* bad : {"640", "0x480", "640x0", "x480", "640x", "9000x100", "15x100", "-640x480", "640x480x3"}) {
    EXPECT_FALSE(ParseFrameSize(bad)) << bad;
  }
}

TEST(ParseCount, NonNegativeWithinLimit) {
  EXPECT_EQ(ParseCount("0", 10), 0);
  EXPECT_EQ(ParseCount("10", 10), 10);
  EXPECT_FALSE(ParseCount("11", 10));
  EXPECT_FALSE(ParseCount("-1", 10));
  EXPECT_FALSE(ParseCount("99999999999999999999999", 10));
}

TEST(ReadTrackOption, ReadsAValueOptionAndItsValueOnly) {
  const char* argv[] = {"tool", "--target-image", "graf1.png", "--target-image"};
  auto* args = const_cast<char**>(argv);
  TrackArgs a;
  int i = 1;
  EXPECT_EQ(ReadTrackOption(4, args, i, a), std::string());
  EXPECT_EQ(a.targetImage, "graf1.png");
  EXPECT_EQ(i, 2);  // on the value; the caller's loop steps past it
  i = 3;
  EXPECT_EQ(ReadTrackOption(4, args, i, a), "option --target-image needs a value");
  const char* other[] = {"tool", "--robustness"};
  i = 1;
  EXPECT_FALSE(ReadTrackOption(2, const_cast<char**>(other), i, a));
}

TEST(TrackArgsUsage, NamesEveryOptionAndProfile) {
  const std::string usage = TrackArgsUsage();
  for (const char* option : {"--source", "--size", "--frames", "--seed", "--register-frame", "--corners",
                             "--camera-params", "--target-image", "--csv", "--quiet"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  for (const MotionProfile profile : AllMotionProfiles())
    EXPECT_NE(usage.find(MotionProfileName(profile)), std::string::npos) << MotionProfileName(profile);
}

}  // namespace
}  // namespace quorl
