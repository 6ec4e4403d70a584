// Picture files: sizes from the headers of PNG, JPEG, TIFF and WebP files, and a file that would decode to
// gigabytes refused before it is decoded.
#include "image/picture_header.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "tracker/tracker.h"

namespace quorl {
namespace {

class PictureHeaders : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("quorl-headers-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

std::vector<unsigned char> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

long MaxResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(PictureHeaders, SizesComeFromTheHeaderOfEachFormat) {
  cv::Mat picture(37, 53, CV_8UC3);
  cv::randu(picture, 0, 255);
  for (const char* name : {"p.png", "p.jpg", "p.tif", "p.webp"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(cv::imwrite(File(name), picture));
    std::string error;
    const std::optional<PictureHeader> header = ReadPictureHeader(File(name), error);
    ASSERT_TRUE(header) << error;
    EXPECT_EQ(header->width, 53);
    EXPECT_EQ(header->height, 37);
  }
  // Another format is left to the decoder; a damaged header and a missing file are named.
  ASSERT_TRUE(cv::imwrite(File("p.bmp"), picture));
  std::string error;
  EXPECT_FALSE(ReadPictureHeader(File("p.bmp"), error));
  EXPECT_TRUE(error.empty()) << error;
  std::vector<unsigned char> png = Bytes(File("p.png"));
  png.resize(20);
  Write(File("cut.png"), png);
  EXPECT_FALSE(ReadPictureHeader(File("cut.png"), error));
  EXPECT_EQ(error, "its header is damaged");
  EXPECT_FALSE(ReadPictureHeader(File("missing.png"), error));
  EXPECT_FALSE(error.empty());
}

TEST_F(PictureHeaders, APictureThatWouldDecodeToGigabytesIsRefusedBeforeDecoding) {
  // A small PNG whose header says 30000 x 30000 (2.7 GB of pixels once decoded), its header's checksum made good.
  ASSERT_TRUE(cv::imwrite(File("small.png"), cv::Mat(40, 40, CV_8UC3, cv::Scalar(90, 120, 30))));
  std::vector<unsigned char> png = Bytes(File("small.png"));
  ASSERT_GT(png.size(), 33u);
  for (const int offset : {16, 20}) {
    png[offset] = 0, png[offset + 1] = 0, png[offset + 2] = 0x75, png[offset + 3] = 0x30;  // 30000, big-endian
  }
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), png.data() + 12, 17);
  for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  Write(File("bomb.png"), png);

  const long before = MaxResidentKiB();
  TrackerState state;
  std::string error;
  EXPECT_EQ(addPictureFile(state, File("bomb.png"), 0.0, 10, error), nullptr);
  EXPECT_EQ(error, File("bomb.png") + ": 30000x30000 pixels; a target picture may have at most 16384 on each side "
                                      "and 64 million in all");
  EXPECT_LT(MaxResidentKiB() - before, 64 * 1024);  // nothing near the decoded size was allocated
  EXPECT_TRUE(state.pictures.empty());
}

}  // namespace
}  // namespace quorl
