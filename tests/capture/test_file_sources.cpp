// Video files, image sequences and still images: round trips through real files, the end of a pass with
// and without looping, scaling, and the errors for files that cannot be read.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/open_source.h"

namespace quorl {
namespace {

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    path = std::filesystem::temp_directory_path() /
           ("quorl_files_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// Frame i: a flat grey level 20 + 40 i with a black square whose position encodes i.
cv::Mat numberedFrame(int i, cv::Size size) {
  cv::Mat m(size, CV_8UC3, cv::Scalar::all(20 + 40 * i));
  cv::rectangle(m, cv::Rect(8 + 12 * i, 8, 10, 10), cv::Scalar::all(0), cv::FILLED);
  return m;
}

// Index of the numbered frame `frame` looks most like.
int whichFrame(const cv::Mat& frame, int count) {
  int best = -1;
  double bestErr = 1e18;
  for (int i = 0; i < count; ++i) {
    const cv::Mat ref = numberedFrame(i, frame.size());
    const double err = cv::norm(frame, ref, cv::NORM_L1);
    if (err < bestErr) bestErr = err, best = i;
  }
  return best;
}

std::unique_ptr<FrameSource> open(const std::string& sourceName, bool loop, std::string& error) {
  FrameSourceOptions options;
  options.loop = loop;
  return OpenFrameSource(sourceName, options, error);
}

TEST(FileSources, VideoFileRoundTripReadOnceThenLooping) {
  TempDir dir;
  const std::string file = dir / "clip.avi";
  const cv::Size size(96, 64);
  {
    cv::VideoWriter writer(file, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size);
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 5; ++i) writer.write(numberedFrame(i, size));
  }

  std::string error;
  auto once = open(file, false, error);
  ASSERT_TRUE(once) << error;
  EXPECT_EQ(once->width(), 96);
  EXPECT_EQ(once->height(), 64);
  EXPECT_EQ(once->frameCount(), 5);
  EXPECT_NEAR(once->frameRate(), 25.0, 0.01);
  EXPECT_FALSE(once->trueCorners().has_value());
  EXPECT_NE(once->description().find("clip.avi"), std::string::npos);
  std::vector<uint8_t> packed;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(once->read(packed)) << "frame " << i;
    const cv::Mat frame = UnpackFrame(packed);
    ASSERT_EQ(frame.size(), size);
    EXPECT_EQ(whichFrame(frame, 5), i);
    EXPECT_LT(cv::norm(frame, numberedFrame(i, size), cv::NORM_L1) / frame.total() / 3, 4.0);  // lossy codec
  }
  const std::vector<uint8_t> last = packed;
  EXPECT_FALSE(once->read(packed));
  EXPECT_FALSE(once->read(packed));
  EXPECT_EQ(packed, last);

  auto looping = open(file, true, error);
  ASSERT_TRUE(looping) << error;
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(looping->read(packed)) << "read " << i;
    EXPECT_EQ(whichFrame(UnpackFrame(packed), 5), i % 5);
  }
}

TEST(FileSources, ImageSequencePatternFromZeroAndFromOne) {
  TempDir dir;
  const cv::Size size(40, 30);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(cv::imwrite(dir / cv::format("a%04d.png", i), numberedFrame(i, size)));
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(cv::imwrite(dir / cv::format("b_%d.png", i), numberedFrame(i, size)));

  std::string error;
  auto a = open(dir / "a%04d.png", false, error);
  ASSERT_TRUE(a) << error;
  EXPECT_EQ(a->frameCount(), 4);
  EXPECT_EQ(a->frameRate(), 0.0);
  std::vector<uint8_t> packed;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(a->read(packed));
    EXPECT_EQ(cv::norm(UnpackFrame(packed), numberedFrame(i, size), cv::NORM_INF), 0.0);  // lossless
  }
  EXPECT_FALSE(a->read(packed));

  auto b = open(dir / "b_%d.png", true, error);
  ASSERT_TRUE(b) << error;
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(b->read(packed));
    EXPECT_EQ(whichFrame(UnpackFrame(packed), 4), 1 + i % 3);
  }
}

TEST(FileSources, StillImageOnceOrForeverAndScaled) {
  TempDir dir;
  const std::string file = dir / "still.png";
  ASSERT_TRUE(cv::imwrite(file, numberedFrame(2, cv::Size(50, 34))));
  std::string error;
  auto once = open(file, false, error);
  ASSERT_TRUE(once) << error;
  EXPECT_EQ(once->frameCount(), 1);
  std::vector<uint8_t> packed;
  EXPECT_TRUE(once->read(packed));
  EXPECT_FALSE(once->read(packed));

  auto still = open(file, true, error);
  ASSERT_TRUE(still) << error;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(still->read(packed));
  EXPECT_EQ(UnpackFrame(packed).size(), cv::Size(50, 34));
  ASSERT_TRUE(still->setFrameSize(101, 67));
  ASSERT_TRUE(still->read(packed));
  EXPECT_EQ(UnpackFrame(packed).size(), cv::Size(101, 67));
  EXPECT_EQ(still->width(), 101);
  EXPECT_FALSE(still->setFrameSize(5000, 67));
  ASSERT_TRUE(still->setFrameSize(0, 0));
  ASSERT_TRUE(still->read(packed));
  EXPECT_EQ(UnpackFrame(packed).size(), cv::Size(50, 34));
}

TEST(FileSources, VideoFramesScaleToTheAskedSize) {
  TempDir dir;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(cv::imwrite(dir / cv::format("s%02d.png", i), numberedFrame(i, {64, 48})));
  std::string error;
  auto seq = open(dir / "s%02d.png", false, error);
  ASSERT_TRUE(seq) << error;
  ASSERT_TRUE(seq->setFrameSize(33, 17));
  EXPECT_EQ(seq->width(), 33);
  EXPECT_EQ(seq->height(), 17);
  std::vector<uint8_t> packed;
  ASSERT_TRUE(seq->read(packed));
  EXPECT_EQ(packed.size(), PackedFrameSize(33, 17));
  EXPECT_EQ(UnpackFrame(packed).size(), cv::Size(33, 17));
}

TEST(FileSources, ClearErrorsForFilesThatCannotBeRead) {
  TempDir dir;
  std::string error;

  EXPECT_FALSE(open(dir / "missing.avi", false, error));
  EXPECT_NE(error.find("Cannot find the file"), std::string::npos) << error;
  EXPECT_NE(error.find("missing.avi"), std::string::npos);

  EXPECT_FALSE(open(dir.path.string(), false, error));
  EXPECT_NE(error.find("folder"), std::string::npos) << error;

  {
    std::ofstream junk(dir / "junk.avi", std::ios::binary);
    for (int i = 0; i < 4096; ++i) junk.put(static_cast<char>((i * 7919) & 0xff));
  }
  EXPECT_FALSE(open(dir / "junk.avi", false, error));
  EXPECT_NE(error.find("Cannot read the video"), std::string::npos) << error;

  {
    std::ofstream broken(dir / "broken.png", std::ios::binary);
    broken << "\x89PNG\r\n\x1a\n-- not really a picture --";
  }
  EXPECT_FALSE(open(dir / "broken.png", false, error));
  EXPECT_NE(error.find("broken.png"), std::string::npos) << error;

  EXPECT_FALSE(open(dir / "none%03d.png", false, error));
  EXPECT_NE(error.find("No readable image matches the pattern"), std::string::npos) << error;

  ASSERT_TRUE(cv::imwrite(dir / "tiny.png", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(9))));
  EXPECT_FALSE(open(dir / "tiny.png", false, error));
  EXPECT_NE(error.find("Unsupported frame size 8x8"), std::string::npos) << error;
}

TEST(FileSources, AnExistingFileWithAPercentSignIsAFile) {
  TempDir dir;
  const std::string file = dir / "100%.png";
  ASSERT_TRUE(cv::imwrite(file, numberedFrame(1, cv::Size(32, 32))));
  std::string error;
  auto still = open(file, false, error);
  ASSERT_TRUE(still) << error;
  std::vector<uint8_t> packed;
  EXPECT_TRUE(still->read(packed));
}

}  // namespace
}  // namespace quorl
