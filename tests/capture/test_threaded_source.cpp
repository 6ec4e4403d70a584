#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "capture/threaded_source.h"
#include "tests/capture/gated_source.h"

namespace quorl {
namespace {

using testing::Gate;
using testing::GatedSource;
using std::chrono::milliseconds;

// Short intervals, so that restarts happen within a test.
const CaptureTiming kFast{milliseconds(2), milliseconds(20), milliseconds(33), milliseconds(200)};

int blue(const std::vector<uint8_t>& packed) { return packed.at(kDibHeaderSize); }

auto reads(int n) {
  return [n](int r, int, int) { return r >= n; };
}

// Polls until a frame is handed over (at most 10 s); its blue byte, or -1.
int nextFrame(ThreadedSource& source) {
  std::vector<uint8_t> packed;
  for (int i = 0; i < 10000; ++i) {
    if (source.read(packed)) return blue(packed);
    std::this_thread::sleep_for(milliseconds(1));
  }
  return -1;
}

// While the device holds its read, read() answers at once with nothing; of three frames only the newest
// is handed over, and only once. Destruction does not wait for a device that never returns; the thread
// releases the source once it does.
TEST(ThreadedSource, HandsOverTheNewestUnseenFrameWithoutWaiting) {
  auto gate = std::make_shared<Gate>();
  auto owned = std::make_unique<ThreadedSource>(std::make_unique<GatedSource>(gate, 64, 48), kFast);
  ThreadedSource& source = *owned;
  ASSERT_TRUE(gate->waitFor(reads(1)));
  std::vector<uint8_t> packed;
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(source.read(packed));
  EXPECT_FALSE(source.failing());
  gate->allow(3);
  ASSERT_TRUE(gate->waitFor(reads(4)));  // back for a fourth: the third is published
  ASSERT_TRUE(source.read(packed));
  EXPECT_EQ(blue(packed), 3);
  EXPECT_EQ(packed.size(), PackedFrameSize(64, 48));
  EXPECT_FALSE(source.read(packed));
  EXPECT_EQ(source.name(), "gated camera (/dev/video7)");

  owned.reset();  // the thread waits inside the device for a fifth frame
  gate->close();
  for (int i = 0; i < 10000 && gate.use_count() > 1; ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(gate.use_count(), 1);
}

// A size change waits for the read in progress, then drops the frame that read gave at the old size.
TEST(ThreadedSource, SizeChangeDropsTheFrameReadBeforeIt) {
  auto gate = std::make_shared<Gate>();
  // A file at 0.2 frames per second: after a frame the thread rests, leaving the source to the change.
  ThreadedSource source(std::make_unique<GatedSource>(gate, 64, 48, 0.2, 100), kFast);
  ASSERT_TRUE(gate->waitFor(reads(1)));
  auto change = std::async(std::launch::async, [&] { return source.setFrameSize(32, 24); });
  EXPECT_EQ(change.wait_for(milliseconds(50)), std::future_status::timeout);
  gate->allow(1);
  ASSERT_TRUE(change.get());
  EXPECT_EQ(source.width(), 32);
  EXPECT_EQ(source.height(), 24);
  std::vector<uint8_t> packed;
  EXPECT_FALSE(source.read(packed));
  EXPECT_FALSE(source.setFrameSize(8, 8));
  EXPECT_FALSE(source.setMode(32, 24, "MJPG", 0.0));  // only cameras take a pixel format
  EXPECT_EQ(source.width(), 32);
  gate->close();
}

// An unplugged camera: reads fail, the source is restarted now and then, and once the device is back
// and delivers, frames flow again.
TEST(ThreadedSource, FailingReadsRestartTheSourceUntilItDeliversAgain) {
  auto gate = std::make_shared<Gate>();
  gate->setDeviceBack(false);
  gate->setFailing(true);
  ThreadedSource source(std::make_unique<GatedSource>(gate, 64, 48), kFast);
  ASSERT_TRUE(gate->waitFor([](int, int, int restarts) { return restarts >= 2; }));
  EXPECT_TRUE(source.failing());
  std::vector<uint8_t> packed;
  EXPECT_FALSE(source.read(packed));
  gate->setDeviceBack(true);
  gate->setFailing(false);
  gate->allow(1);
  EXPECT_EQ(nextFrame(source), 1);
  EXPECT_FALSE(source.failing());
  gate->close();
}

// Files and sequences are read at their own frame rate (one frame per 33 ms when they state none),
// never faster; cameras as fast as they deliver.
TEST(ThreadedSource, FilesAreReadNoFasterThanTheirRate) {
  for (const double fps : {100.0, 0.0}) {
    auto gate = std::make_shared<Gate>();
    gate->allow(100000);
    const auto start = std::chrono::steady_clock::now();
    {
      ThreadedSource source(std::make_unique<GatedSource>(gate, 64, 48, fps, 500), kFast);
      std::this_thread::sleep_for(milliseconds(300));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int count = 0;
    gate->waitFor([&](int r, int, int) { return (count = r) >= 0; });
    EXPECT_GE(count, 2) << fps;
    EXPECT_LE(count, 1 + seconds * (fps > 0.0 ? fps : 1000.0 / 33.0)) << fps;
  }
}

}  // namespace
}  // namespace quorl
