#include <gtest/gtest.h>

#include <QComboBox>

#include "app/video_dialogs.h"
#include "tests/capture/fake_source.h"
#include "tests/qtcommon/widget_environment.h"

namespace quorl {
namespace {

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new testing::WidgetEnvironment);

// What a typical webcam reports: MJPG at two sizes, raw YUYV only at the larger one and slower.
std::vector<PixelFormat> webcamFormats() {
  PixelFormat mjpg;
  mjpg.code = "MJPG";
  mjpg.description = "Motion-JPEG";
  mjpg.sizes = {{320, 240, {{1, 30}}}, {640, 480, {{1, 30}, {1, 15}}}};
  PixelFormat yuyv;
  yuyv.code = "YUYV";
  yuyv.description = "YUYV 4:2:2";
  yuyv.sizes = {{640, 480, {{1, 10}}}};
  return {mjpg, yuyv};
}

TEST(VideoFormatDlg, CameraOffersTheFormatsAndRatesOfTheChosenSize) {
  testing::FakeSource camera(640, 480);
  CVideoFormatDlg dlg(camera, webcamFormats());
  ASSERT_EQ(dlg.sizes()->count(), 2);
  EXPECT_EQ(dlg.selected(), cv::Size(640, 480));  // the current size is selected
  ASSERT_EQ(dlg.pixelFormats()->count(), 2);
  EXPECT_EQ(dlg.selectedPixelFormat(), "MJPG");
  EXPECT_EQ(dlg.rates()->count(), 2);
  EXPECT_DOUBLE_EQ(dlg.selectedRate(), 30.0);

  dlg.pixelFormats()->setCurrentIndex(1);
  EXPECT_EQ(dlg.selectedPixelFormat(), "YUYV");
  ASSERT_EQ(dlg.rates()->count(), 1);
  EXPECT_DOUBLE_EQ(dlg.selectedRate(), 10.0);

  dlg.sizes()->setCurrentIndex(0);
  EXPECT_EQ(dlg.selected(), cv::Size(320, 240));
  ASSERT_EQ(dlg.pixelFormats()->count(), 1);
  EXPECT_EQ(dlg.selectedPixelFormat(), "MJPG");
}

TEST(VideoFormatDlg, OtherSourcesChooseASizeOnly) {
  testing::FakeSource scene(333, 222);
  CVideoFormatDlg dlg(scene, {});
  EXPECT_GT(dlg.sizes()->count(), 3);
  EXPECT_EQ(dlg.selected(), cv::Size(333, 222));  // an unusual current size is listed and selected
  EXPECT_TRUE(dlg.selectedPixelFormat().empty());
  EXPECT_EQ(dlg.selectedRate(), 0.0);
  EXPECT_TRUE(dlg.pixelFormats()->isHidden());
}

}  // namespace
}  // namespace quorl
