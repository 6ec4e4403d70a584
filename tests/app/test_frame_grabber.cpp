#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "app/frame_grabber.h"
#include "tests/capture/fake_source.h"
#include "tests/capture/gated_source.h"
#include "tests/qtcommon/widget_environment.h"

namespace quorl {
namespace {

using testing::FakeSource;
using testing::Gate;
using testing::GatedSource;
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
  // Polls a source on a capture thread until it hands over a frame (at most 10 s).
  int nextFrameByte() {
    for (int i = 0; i < 10000; ++i) {
      if (const int b = frameByte(); b >= 0) return b;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
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

// A camera on its capture thread: a tick never waits for it and gets each frame once; no frame for 1 s,
// or failing reads, count as stopped; frames coming again resume by themselves.
TEST_F(GrabberTest, StalledOrFailingCameraStopsAndResumes) {
  auto gate = std::make_shared<Gate>();
  const CaptureTiming fast{milliseconds(2), milliseconds(20), milliseconds(33), milliseconds(200)};
  ASSERT_TRUE(grabber.Create(std::make_unique<GatedSource>(gate, 64, 48), fast));
  EXPECT_EQ(frameByte(), -1);
  gate->allow(1);
  EXPECT_EQ(nextFrameByte(), 1);
  EXPECT_EQ(frameByte(), -1);
  now += milliseconds(1000);
  EXPECT_FALSE(grabber.SourceStopped());
  now += milliseconds(1);
  EXPECT_TRUE(grabber.SourceStopped());
  {
    // Video Format would wait for the stalled read: it is refused with a reason instead.
    testing::ReportRecorder reports;
    EXPECT_EQ(grabber.VideoFormatDialog(nullptr), 0);
    EXPECT_EQ(reports.texts.size(), 1);
  }
  gate->allow(1);
  EXPECT_EQ(nextFrameByte(), 2);
  EXPECT_FALSE(grabber.SourceStopped());

  gate->setFailing(true);
  for (int i = 0; i < 10000 && !grabber.SourceStopped(); ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_TRUE(grabber.SourceStopped());
  EXPECT_EQ(frameByte(), -1);
  gate->setFailing(false);
  gate->allow(1);
  EXPECT_EQ(nextFrameByte(), 3);
  EXPECT_FALSE(grabber.SourceStopped());
  gate->close();
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

// An image sequence opened for the desktop program is read on the capture thread and loops at its end; a
// single image is a still scene; opening the connected source again keeps it, with its chosen size.
TEST(GrabberSources, SequencesLoopStillImagesStayAndTheOpenSourceIsKept) {
  const std::string dir = ::testing::TempDir() + "quorl_grabber_sequence";
  std::filesystem::create_directories(dir);
  for (int i = 0; i < 3; ++i) {
    cv::imwrite(dir + "/f" + std::to_string(i) + ".png", cv::Mat(40, 48, CV_8UC3, cv::Scalar(50 * (i + 1), 0, 0)));
  }
  CFrameGrabber grabber;
  std::string error;
  ASSERT_TRUE(grabber.Open(dir + "/f%d.png", error)) << error;
  EXPECT_EQ(grabber.FrameWidth(), 48);
  std::vector<int> blues;
  for (int i = 0; i < 20000 && blues.size() < 7; ++i) {
    std::size_t bytes = 0;
    if (const uint8_t* p = grabber.GetFrame(bytes)) blues.push_back(p[kDibHeaderSize]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(blues.size(), 7u);
  // Each frame follows the one before in the loop 50, 100, 150 (a slow poll may miss one).
  bool wrapped = false;
  for (std::size_t i = 1; i < blues.size(); ++i) {
    EXPECT_NE(blues[i], blues[i - 1]);
    wrapped = wrapped || blues[i] < blues[i - 1];
  }
  EXPECT_TRUE(wrapped);

  auto now = CFrameGrabber::Clock::time_point(std::chrono::seconds(1000));
  grabber.SetClock([&] { return now; });
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

  ASSERT_TRUE(grabber.Open("synthetic:spin", error)) << error;
  ASSERT_TRUE(grabber.SetFormat(640, 480));
  const FrameSource* open = grabber.source();
  ASSERT_TRUE(grabber.Open("synthetic:spin", error));
  EXPECT_EQ(grabber.source(), open);
  EXPECT_EQ(grabber.FrameWidth(), 640);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorl
