#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <opencv2/imgcodecs.hpp>

#include "app/frame_grabber.h"
#include "fake_source.h"

namespace quorl {
namespace {

using testing::FakeSource;
using Clock = CFrameGrabber::Clock;
using std::chrono::milliseconds;

class GrabberTest : public ::testing::Test {
 protected:
  void SetUp() override {
    grabber.SetClock([this] { return now; });
  }
  std::unique_ptr<FakeSource> source(int w, int h, double fps = 30.0, int count = -1) {
    auto s = std::make_unique<FakeSource>(w, h, fps, count);
    s->reads = &reads;
    return s;
  }
  int frameByte() {
    std::size_t n = 0;
    const uint8_t* p = grabber.GetFrame(n);
    return p == nullptr ? -1 : p[kDibHeaderSize];
  }

  Clock::time_point now{milliseconds(100000)};
  int reads = 0;
  CFrameGrabber grabber;
};

TEST_F(GrabberTest, HeaderGivesTheFrameSizeAndFramesArePacked) {
  ASSERT_TRUE(grabber.Create(source(321, 17)));
  EXPECT_EQ(grabber.FrameWidth(), 321);
  EXPECT_EQ(grabber.FrameHeight(), 17);
  std::size_t bytes = 0;
  const uint8_t* p = grabber.GetFrame(bytes);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes, PackedFrameSize(321, 17));
  DibImage frame;
  EXPECT_TRUE(frame.SetPackedDib(p, bytes));
  EXPECT_EQ(frame.width(), 321);
}

// At most one request per 20 ms: calls within the interval get the same frame again.
TEST_F(GrabberTest, RequestsAtMostOncePer20Ms) {
  ASSERT_TRUE(grabber.Create(source(64, 48)));
  EXPECT_EQ(frameByte(), 1);
  now += milliseconds(5);
  EXPECT_EQ(frameByte(), 1);
  now += milliseconds(15);  // exactly 20 ms: not more than 20
  EXPECT_EQ(frameByte(), 1);
  EXPECT_EQ(reads, 1);
  now += milliseconds(1);
  EXPECT_EQ(frameByte(), 2);
  for (int i = 0; i < 30; ++i) {  // a caller at 33 ms gets one new frame per call
    now += milliseconds(33);
    frameByte();
  }
  EXPECT_EQ(reads, 32);
}

// A file plays at its own rate: at 10 frames per second and calls every 33 ms, a new frame every 100 ms;
// far behind, it skips a few frames and then carries on from the present.
TEST_F(GrabberTest, FilesKeepTheirOwnRate) {
  ASSERT_TRUE(grabber.Create(source(64, 48, 10.0, 50)));
  frameByte();
  for (int i = 0; i < 30; ++i) {
    now += milliseconds(33);
    frameByte();
  }
  EXPECT_EQ(reads, 10);  // 990 ms: frames at 0, 100, ..., 900
  now += milliseconds(5000);
  frameByte();
  EXPECT_EQ(reads, 10 + CFrameGrabber::kMaxCatchUpFrames);
  now += milliseconds(50);
  frameByte();
  EXPECT_EQ(reads, 10 + CFrameGrabber::kMaxCatchUpFrames);
  now += milliseconds(51);
  frameByte();
  EXPECT_EQ(reads, 11 + CFrameGrabber::kMaxCatchUpFrames);
}

TEST_F(GrabberTest, BufferGrowsOnlyForALargerFormat) {
  ASSERT_TRUE(grabber.Create(source(320, 240)));
  frameByte();
  const std::size_t capacity = grabber.BufferCapacity();
  EXPECT_GE(capacity, PackedFrameSize(320, 240));
  ASSERT_TRUE(grabber.SetFormat(160, 120));
  EXPECT_EQ(grabber.FrameWidth(), 160);
  EXPECT_EQ(grabber.BufferCapacity(), capacity);
  std::size_t bytes = 0;
  grabber.GetFrame(bytes);  // a new format is fetched at once
  EXPECT_EQ(bytes, PackedFrameSize(160, 120));
  ASSERT_TRUE(grabber.SetFormat(640, 480));
  EXPECT_GE(grabber.BufferCapacity(), PackedFrameSize(640, 480));
  EXPECT_FALSE(grabber.SetFormat(8, 8));
  EXPECT_EQ(grabber.FrameWidth(), 640);
}

TEST_F(GrabberTest, OneActiveGrabberAtATime) {
  ASSERT_TRUE(grabber.Create(source(64, 48)));
  EXPECT_EQ(CFrameGrabber::ActiveGrabber(), &grabber);
  EXPECT_FALSE(grabber.Create(source(64, 48)));
  {
    CFrameGrabber second;
    EXPECT_FALSE(second.Create(source(64, 48)));
    EXPECT_FALSE(second.HasSource());
    EXPECT_EQ(second.FrameWidth(), 0);
  }
  grabber.Destroy();
  EXPECT_EQ(CFrameGrabber::ActiveGrabber(), nullptr);
  CFrameGrabber third;
  EXPECT_TRUE(third.Create(source(64, 48)));
}

TEST_F(GrabberTest, WithoutSourceNothingHappens) {
  EXPECT_FALSE(grabber.Create(nullptr));
  EXPECT_FALSE(grabber.Create(source(4, 4)));  // no valid frame size
  std::size_t bytes = 0;
  EXPECT_EQ(grabber.GetFrame(bytes), nullptr);
  EXPECT_EQ(grabber.VideoFormatDialog(nullptr), 0);
  EXPECT_FALSE(grabber.SetFormat(320, 240));
  EXPECT_EQ(CFrameGrabber::ActiveGrabber(), nullptr);
}

// A source that stops delivering leaves the last frame in place; a replacement keeps the old source when
// the new one is unusable.
TEST_F(GrabberTest, StalledSourceAndReplacement) {
  auto first = source(64, 48);
  FakeSource* raw = first.get();
  ASSERT_TRUE(grabber.Create(std::move(first)));
  EXPECT_EQ(frameByte(), 1);
  raw->deliver = false;
  now += milliseconds(40);
  EXPECT_EQ(frameByte(), 1);
  EXPECT_FALSE(grabber.ReplaceSource(source(2, 2)));
  EXPECT_EQ(grabber.source(), raw);
  ASSERT_TRUE(grabber.ReplaceSource(source(80, 60)));
  EXPECT_EQ(grabber.FrameWidth(), 80);
  EXPECT_EQ(frameByte(), 1);
}

}  // namespace
}  // namespace quorl

namespace quorl {
namespace {

// An image sequence opened for the desktop program loops at its end; a single image is a still scene.
TEST(GrabberSources, SequencesLoopAndStillImagesStay) {
  const std::string dir = ::testing::TempDir() + "quorl_grabber_sequence";
  std::filesystem::create_directories(dir);
  for (int i = 0; i < 3; ++i) {
    cv::imwrite(dir + "/f" + std::to_string(i) + ".png", cv::Mat(40, 48, CV_8UC3, cv::Scalar(50 * (i + 1), 0, 0)));
  }
  CFrameGrabber grabber;
  auto now = CFrameGrabber::Clock::time_point(std::chrono::seconds(1000));
  grabber.SetClock([&] { return now; });
  std::string error;
  ASSERT_TRUE(grabber.Open(dir + "/f%d.png", error)) << error;
  EXPECT_EQ(grabber.FrameWidth(), 48);
  std::vector<int> blues;
  for (int i = 0; i < 7; ++i) {
    std::size_t bytes = 0;
    const uint8_t* p = grabber.GetFrame(bytes);
    ASSERT_NE(p, nullptr);
    blues.push_back(p[kDibHeaderSize]);
    now += std::chrono::seconds(1);
  }
  EXPECT_EQ(blues, (std::vector<int>{50, 100, 150, 50, 100, 150, 50}));

  ASSERT_TRUE(grabber.Open(dir + "/f1.png", error)) << error;
  for (int i = 0; i < 3; ++i) {
    std::size_t bytes = 0;
    const uint8_t* p = grabber.GetFrame(bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[kDibHeaderSize], 100);
    now += std::chrono::seconds(1);
  }
  EXPECT_FALSE(grabber.Open(dir + "/missing.png", error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(grabber.FrameWidth(), 48);  // the open source stays
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorl
