#include "editor/number_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace quorl {
namespace {

TEST(NumberText, ReadsWholeBoxesOnly) {
  double d = 7.0;
  EXPECT_TRUE(parseDouble(QStringLiteral(" 1.5 "), d));
  EXPECT_EQ(d, 1.5);
  EXPECT_TRUE(parseDouble(QStringLiteral("+2e3"), d));
  EXPECT_EQ(d, 2000.0);
  EXPECT_TRUE(parseDouble(QStringLiteral("-inf"), d));
  EXPECT_EQ(d, -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(parseDouble(QStringLiteral("nan"), d));
  EXPECT_TRUE(std::isnan(d));
  d = 7.0;
  for (const char* bad : {"", " ", "abc", "1,5", "1.5x", "0x10", "+-1", "1e999", "--1", "1 2"}) {
    EXPECT_FALSE(parseDouble(QString::fromLatin1(bad), d)) << bad;
    EXPECT_EQ(d, 7.0) << bad;
  }
  int32_t i = 3;
  EXPECT_TRUE(parseInt32(QStringLiteral("-2147483648"), i));
  EXPECT_EQ(i, std::numeric_limits<int32_t>::min());
  for (const char* bad : {"2147483648", "640.0", "6e2", "", "x"}) {
    EXPECT_FALSE(parseInt32(QString::fromLatin1(bad), i)) << bad;
  }
  EXPECT_EQ(i, std::numeric_limits<int32_t>::min());
}

TEST(NumberText, ShortestTextReadsBackToTheSameBits) {
  EXPECT_EQ(formatDouble(600.0), QStringLiteral("600"));
  EXPECT_EQ(formatDouble(0.1), QStringLiteral("0.1"));
  EXPECT_EQ(formatDouble(-0.0), QStringLiteral("-0"));
  std::mt19937_64 rng(99);
  int checked = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    double back = 0.0;
    ASSERT_TRUE(parseDouble(formatDouble(value), back)) << formatDouble(value).toStdString();
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(value)) << formatDouble(value).toStdString();
    ++checked;
  }
  EXPECT_GT(checked, 19000);
  for (double special : {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                         std::numeric_limits<double>::lowest(), std::numeric_limits<double>::min()}) {
    double back = 0.0;
    ASSERT_TRUE(parseDouble(formatDouble(special), back));
    EXPECT_EQ(back, special);
  }
}

}  // namespace
}  // namespace quorl
