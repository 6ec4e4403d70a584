#include "camera/camera_param.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "tests/camera/temp_dir.h"

namespace quorl {
namespace {

using test::readAll;
using test::TempDir;

std::vector<unsigned char> bytesOf(const CameraParam& p) {
  const CameraParamBytes b = encodeCameraParam(p);
  return {b.begin(), b.end()};
}

CameraParam sample() {
  CameraParam p = makePinholeCameraParam(640, 480, 600.0);
  p.mat[0][1] = 0.25;
  p.mat[2][3] = -7.5;
  p.dist_factor[2] = 1e-7;
  return p;
}

TEST(CameraParamFile, KnownBytesAtSpecifiedOffsets) {
  const std::vector<unsigned char> b = bytesOf(sample());
  ASSERT_EQ(b.size(), 136u);
  EXPECT_EQ(std::vector<unsigned char>(b.begin(), b.begin() + 8),
            (std::vector<unsigned char>{0x80, 0x02, 0, 0, 0xe0, 0x01, 0, 0}));
  // 600.0 = 0x4082C00000000000, little-endian, at mat[0][0] (offset 8) and mat[1][1] (offset 8 + 8 * 5).
  const std::vector<unsigned char> f600 = {0, 0, 0, 0, 0, 0xc0, 0x82, 0x40};
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 8, b.begin() + 16), f600);
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 48, b.begin() + 56), f600);
  // -7.5 = 0xC01E000000000000 at mat[2][3] (offset 96); 1.0 = 0x3FF0... at dist_factor[3] (offset 128).
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 96, b.begin() + 104),
            (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0x1e, 0xc0}));
  EXPECT_EQ(std::vector<unsigned char>(b.begin() + 128, b.end()),
            (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
}

TEST(CameraParamFile, SizesOf136And200LoadAnd135Fails) {
  TempDir dir;
  std::vector<unsigned char> bytes = bytesOf(sample());
  CameraParam out;
  CameraFileDetail detail;
  ASSERT_EQ(readCameraParamPath(dir.write("exact.dat", bytes), out, &detail), CameraFileStatus::Ok);
  EXPECT_EQ(bytesOf(out), bytes);
  EXPECT_EQ(detail.fileSize, 136);
  EXPECT_EQ(detail.reason, "");

  std::vector<unsigned char> longer = bytes;
  longer.resize(200, 0xAB);
  CameraParam fromLonger;
  ASSERT_EQ(readCameraParamPath(dir.write("long.dat", longer), fromLonger, &detail), CameraFileStatus::Ok);
  EXPECT_EQ(bytesOf(fromLonger), bytes);
  EXPECT_EQ(detail.fileSize, 200);  // loaded, but the caller can tell that the size is wrong

  for (std::size_t size : {std::size_t{0}, std::size_t{60}, std::size_t{135}}) {
    std::vector<unsigned char> shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    CameraParam untouched = makePinholeCameraParam(320, 240, 1.0);
    EXPECT_EQ(readCameraParamPath(dir.write("short.dat", shorter), untouched, &detail), CameraFileStatus::ReadError);
    EXPECT_EQ(bytesOf(untouched), bytesOf(makePinholeCameraParam(320, 240, 1.0)));
    EXPECT_EQ(detail.reason, std::to_string(size) + " of 136 bytes");
    EXPECT_EQ(detail.fileSize, static_cast<long long>(size));
  }
}

TEST(CameraParamFile, FailuresMapToTheirMessages) {
  TempDir dir;
  CameraParam p;
  CameraFileDetail detail;
  EXPECT_EQ(readCameraParamPath(dir.file("missing.dat"), p, &detail), CameraFileStatus::NotFound);
  EXPECT_EQ(detail.reason, "No such file or directory");
  EXPECT_STREQ(cameraFileMessage(CameraFileStatus::NotFound), "Can't find the camera parameter file!!!");
  // A directory opens for reading but yields no bytes.
  EXPECT_EQ(readCameraParamPath(dir.file(""), p, &detail), CameraFileStatus::ReadError);
  EXPECT_EQ(detail.reason, "Is a directory");
  EXPECT_STREQ(cameraFileMessage(CameraFileStatus::ReadError), "File read error!!!");
  EXPECT_EQ(writeCameraParamPath(dir.file("no/such/dir.dat"), p), CameraFileStatus::NotCreated);
  EXPECT_STREQ(cameraFileMessage(CameraFileStatus::NotCreated), "Can't open the camera parameter file!!!");
  EXPECT_FALSE(readCameraParamFile(nullptr).has_value());
  EXPECT_FALSE(writeCameraParamFile(nullptr, p));
}

TEST(CameraParamFile, WriteFailureSurfacingAtCloseIsReported) {
  // /dev/full accepts the buffered write and fails when the data is flushed on close.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(writeCameraParamPath("/dev/full", sample()), CameraFileStatus::WriteError);
  EXPECT_STREQ(cameraFileMessage(CameraFileStatus::WriteError), "File write error!!!");
}

TEST(CameraParamFile, SpecialValuesRoundTripBitForBit) {
  CameraParam p;
  p.xsize = std::numeric_limits<int32_t>::min();
  p.ysize = -1;
  const double values[] = {-0.0,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::bit_cast<double>(uint64_t{0x7ff0000000000001}),  // signalling NaN
                           std::bit_cast<double>(uint64_t{0xfff8dead00beef00}),  // negative NaN, payload
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max(),
                           0.1};
  int i = 0;
  for (auto& row : p.mat)
    for (double& v : row) v = values[i++ % 8];
  for (double& v : p.dist_factor) v = values[i++ % 8];

  TempDir dir;
  const std::string path = dir.file("special.dat");
  ASSERT_EQ(writeCameraParamPath(path, p), CameraFileStatus::Ok);
  EXPECT_EQ(readAll(path), bytesOf(p));
  CameraParam back;
  ASSERT_EQ(readCameraParamPath(path, back), CameraFileStatus::Ok);
  EXPECT_EQ(bytesOf(back), bytesOf(p));
  EXPECT_EQ(std::bit_cast<uint64_t>(back.mat[0][0]), std::bit_cast<uint64_t>(-0.0));
}

TEST(CameraParamFile, EveryByteImageDecodesAndEncodesUnchanged) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int trial = 0; trial < 500; ++trial) {
    CameraParamBytes raw;
    for (auto& b : raw) b = static_cast<uint8_t>(byte(rng));
    EXPECT_EQ(encodeCameraParam(decodeCameraParam(raw)), raw) << "trial " << trial;
  }
}

TEST(CameraParamFile, BigEndianFileLoadsAsMeaninglessValues) {
  std::vector<unsigned char> bytes = bytesOf(makePinholeCameraParam(640, 480, 600.0));
  std::reverse(bytes.begin(), bytes.begin() + 4);
  std::reverse(bytes.begin() + 4, bytes.begin() + 8);
  for (std::size_t off = 8; off < 136; off += 8) std::reverse(bytes.begin() + off, bytes.begin() + off + 8);
  TempDir dir;
  CameraParam p;
  ASSERT_EQ(readCameraParamPath(dir.write("big.dat", bytes), p), CameraFileStatus::Ok);
  EXPECT_EQ(p.xsize, static_cast<int32_t>(0x80020000u));
  EXPECT_EQ(p.ysize, static_cast<int32_t>(0xe0010000u));
  EXPECT_NE(p.mat[0][0], 600.0);
  EXPECT_NE(p.mat[2][2], 1.0);
}

TEST(CameraParamFile, ShippedCalibrationIsTheGeneratorsDefault) {
  const std::string path = std::string(QUORL_SOURCE_DIR) + "/Data/camera_param.dat";
  EXPECT_EQ(readAll(path), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  const CameraParam p = makePinholeCameraParam(640, 480, 600.0);
  EXPECT_EQ(p.mat[0][2], 320.0);
  EXPECT_EQ(p.mat[1][2], 240.0);
  EXPECT_EQ(p.dist_factor[3], 1.0);
}

}  // namespace
}  // namespace quorl
