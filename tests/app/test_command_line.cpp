#include <gtest/gtest.h>

#include "app/quorl_app.h"

namespace quorl {
namespace {

CommandLine parse(QStringList args) {
  args.prepend(QStringLiteral("quorl"));
  return ParseCommandLine(args);
}

TEST(CommandLine, DefaultsAndOptions) {
  CommandLine c = parse({});
  EXPECT_FALSE(c.exitNow);
  EXPECT_EQ(c.view.source, "auto");
  EXPECT_EQ(c.view.cameraParams, "");
  EXPECT_FALSE(c.view.robust);
  EXPECT_EQ(c.view.calibration, "");
  c = parse({"--source", "synthetic:spin", "--camera-params=/tmp/cam.dat", "--robust", "--calibration", "/tmp/cam.yml"});
  EXPECT_FALSE(c.exitNow);
  EXPECT_TRUE(c.view.robust);
  EXPECT_EQ(c.view.source, "synthetic:spin");
  EXPECT_EQ(c.view.cameraParams, "/tmp/cam.dat");
  EXPECT_EQ(c.view.calibration, "/tmp/cam.yml");
}

// Qt's own options pass through; what is unknown or superfluous stops the program with status 2.
TEST(CommandLine, QtOptionsPassUnknownOnesFail) {
  CommandLine c = parse({"-platform", "offscreen", "-display", ":3", "-style", "fusion"});
  EXPECT_FALSE(c.exitNow);
  EXPECT_EQ(c.platform, "offscreen");
  EXPECT_EQ(c.display, ":3");
  for (const QStringList& bad : {QStringList{"--frobnicate"}, QStringList{"video.avi"}, QStringList{"--source"}}) {
    c = parse(bad);
    EXPECT_TRUE(c.exitNow);
    EXPECT_EQ(c.exitCode, 2) << bad.join(' ').toStdString();
  }
  c = parse({"--version"});
  EXPECT_TRUE(c.exitNow);
  EXPECT_EQ(c.exitCode, 0);
}

}  // namespace
}  // namespace quorl
