#include <gtest/gtest.h>

#include "tools/track_options.h"

#include <optional>
#include <string>
#include <vector>

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

// Parses `words` (after the program's name) with the common options; returns the message, if any.
// The options given are copied into `given` (ParseOptions points into the table, which ends here).
std::optional<std::string> Parse(std::vector<std::string> words, TrackArgs& a,
                                 std::vector<ToolOption>* given = nullptr) {
  words.insert(words.begin(), "tool");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::vector<ToolOption> options = TrackOptions(a);
  std::vector<const ToolOption*> pointers;
  auto message = ParseOptions(static_cast<int>(words.size()), argv.data(), options, &pointers);
  if (given != nullptr)
    for (const ToolOption* option : pointers) given->push_back(*option);
  return message;
}

TEST(ParseOptions, ReadsValuesFlagsAndEqualsSignsInOrder) {
  TrackArgs a;
  std::vector<ToolOption> given;
  EXPECT_EQ(Parse({"--picture", "a.png", "--picture-width=0.2", "--csv", "-", "--quiet", "--barrier-free"}, a, &given),
            "unknown option --barrier-free");
  ASSERT_EQ(a.pictures.size(), 1u);
  EXPECT_EQ(a.pictures[0].width, 0.2);
  EXPECT_EQ(a.csv, "-");  // a value that begins with a dash is still the value
  EXPECT_TRUE(a.quiet);
  ASSERT_EQ(given.size(), 4u);
  EXPECT_EQ(given[1].name, "picture-width");
  EXPECT_TRUE(given[1].recorded);
  EXPECT_FALSE(given[2].recorded);  // --csv is an output
  // A second parse starts again from the first argument.
  TrackArgs b;
  EXPECT_EQ(Parse({"--frames", "7"}, b), std::nullopt);
  EXPECT_EQ(b.frames, 7);
}

TEST(ParseOptions, RefusesWithTheOptionNamed) {
  TrackArgs a;
  EXPECT_EQ(Parse({"--frames"}, a), "option --frames needs a value");
  EXPECT_EQ(Parse({"--frames", "5", "stray"}, a), "unknown option stray");
  EXPECT_EQ(Parse({"--picture-width", "0.2"}, a), "--picture-width follows the --picture it is for");
  EXPECT_EQ(Parse({"--size", "10x10"}, a), "--size wants WxH with sides of 16 to 4096, not '10x10'");
  EXPECT_EQ(Parse({"--quiet=yes"}, a), "unknown option --quiet");
  EXPECT_EQ(Parse({"--s", "1"}, a), "option --s is ambiguous: --source, --size, --seed");
  EXPECT_EQ(Parse({"--fram", "3"}, a), std::nullopt);  // a unique abbreviation
  EXPECT_EQ(a.frames, 3);
}

TEST(OptionHelp, NamesEveryOptionAndProfileInItsColumns) {
  TrackArgs a;
  const std::string usage = OptionHelp(TrackOptions(a));
  for (const char* option : {"--source", "--size", "--frames", "--seed", "--register-frame", "--corners",
                             "--camera-params", "--target-image", "--csv", "--quiet"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  for (const MotionProfile profile : AllMotionProfiles())
    EXPECT_NE(usage.find(MotionProfileName(profile)), std::string::npos) << MotionProfileName(profile);
  EXPECT_NE(usage.find("\n  --frames N          frames to process"), std::string::npos);
  // A long name and value put the help on the next line, in the same column.
  EXPECT_NE(usage.find("\n  --corners x0,y0,x1,y1,x2,y2,x3,y3\n                      the target's"), std::string::npos);
  EXPECT_NE(usage.find("point (the\n                      default mode"), std::string::npos);
}

}  // namespace
}  // namespace quorl
