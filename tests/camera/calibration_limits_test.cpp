// Damaged and hostile calibration files: each is refused with a reason instead of crashing the importer or
// making it allocate gigabytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <string>

#include "camera/opencv_calibration.h"
#include "temp_dir.h"

namespace quorl {
namespace {

using test::TempDir;

const std::string kYaml =
    "%YAML:1.0\n---\nimage_width: 640\nimage_height: 480\n"
    "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n"
    "  data: [ 600., 0., 320., 0., 600., 240., 0., 0., 1. ]\n";

std::string withShape(const std::string& rows, const std::string& cols, const std::string& data) {
  return "%YAML:1.0\n---\ncamera_matrix: !!opencv-matrix\n  rows: " + rows + "\n  cols: " + cols +
         "\n  dt: d\n  data: [ " + data + " ]\n";
}

std::string refusal(const std::string& text) {
  std::string error;
  EXPECT_FALSE(importOpenCVCalibrationText(text, error)) << text;
  return error;
}

TEST(CalibrationLimits, DeclaredShapeMustMatchTheDataBeforeAnythingIsAllocated) {
  const std::string nine = "600., 0., 320., 0., 600., 240., 0., 0., 1.";
  // A column count that is not a number reads as INT_MAX in OpenCV: 3 x INT_MAX doubles were asked for.
  EXPECT_NE(refusal(withShape("3", "s", nine)).find("3 x 3"), std::string::npos);
  EXPECT_NE(refusal(withShape("100000000", "3", nine)).find("3 x 3"), std::string::npos);
  EXPECT_NE(refusal(withShape("3", "3", "600., 0., 320., 0., 600., 240., 0., 0.")).find("3 x 3"), std::string::npos);
  EXPECT_NE(refusal(withShape("-3", "-3", nine)).find("3 x 3"), std::string::npos);
  std::string error;
  EXPECT_TRUE(importOpenCVCalibrationText(withShape("3", "3", nine), error)) << error;
  // Distortion vectors go through the same check.
  EXPECT_NE(refusal(kYaml + "distortion_coefficients: !!opencv-matrix\n  rows: 2000000000\n  cols: 1\n  dt: d\n"
                            "  data: [ 0.1, 0., 0., 0. ]\n")
                .find("coefficients"),
            std::string::npos);
}

TEST(CalibrationLimits, NulBytesAndTextsEndingInsideAnXmlTagAreRefused) {
  EXPECT_NE(refusal(std::string("<?xml version=\0\0\"1.0\"?>\n", 24)).find("NUL"), std::string::npos);
  EXPECT_NE(refusal(kYaml + std::string(1, '\0')).find("NUL"), std::string::npos);
  for (const char* cut : {"<?xml v=", "<?xml version=\"1.0\"?>\n<opencv_storage>\n<M1 type_id=  ",
                          "<?xml version=\"1.0\"?>\n<opencv_storage>\n<M1 type_id=\"opencv-"}) {
    EXPECT_NE(refusal(cut).find("ends inside a tag"), std::string::npos) << cut;
  }
  // A lone carriage return ends a line for OpenCV, which then ran off the end of the text.
  std::string error;
  EXPECT_FALSE(importOpenCVCalibrationText("<?xml ve=\r\r\r\"1.0\"?>", error));
  EXPECT_FALSE(error.empty());
  // Quotes and '>' inside comments and attribute values do not confuse the check.
  const std::string xml =
      "<?xml version=\"1.0\"?>\n<!-- it's a 'test' > -->\n<opencv_storage>\n"
      "<camera_matrix type_id=\"opencv-matrix\" note='a > b'>\n<rows>3</rows><cols>3</cols><dt>d</dt>\n"
      "<data>600. 0. 320. 0. 600. 240. 0. 0. 1.</data></camera_matrix>\n</opencv_storage>\n";
  const auto imported = importOpenCVCalibrationText(xml, error);
  ASSERT_TRUE(imported) << error;
  EXPECT_EQ(imported->param.mat[0][0], 600.0);
}

TEST(CalibrationLimits, TextsThatStallTheParserAreRefused) {
  // OpenCV's YAML parser never returns on this text (a dash ends a value, a shallower line follows).
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(refusal("%YAML:1.0\n i: c\nj: -\n!").find("did not finish"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  // The parse after it works as before.
  std::string error;
  EXPECT_TRUE(importOpenCVCalibrationText(kYaml, error)) << error;
}

TEST(CalibrationLimits, WindowsAndOldMacLineEndsImport) {
  for (const char* end : {"\r\n", "\r"}) {
    std::string text;
    for (char c : kYaml) text += c == '\n' ? std::string(end) : std::string(1, c);
    std::string error;
    const auto imported = importOpenCVCalibrationText(text, error);
    ASSERT_TRUE(imported) << error;
    EXPECT_EQ(imported->param.mat[1][2], 240.0);
    EXPECT_EQ(imported->param.ysize, 480);
  }
}

TEST(CalibrationLimits, FilesGoThroughTheSameChecksCompressedOrNot) {
  TempDir dir;
  const std::string plain = dir.write("calib.yml", std::vector<unsigned char>(kYaml.begin(), kYaml.end()));
  const std::string packed = dir.file("calib.yml.gz");
  gzFile gz = gzopen(packed.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, kYaml.data(), static_cast<unsigned>(kYaml.size())), static_cast<int>(kYaml.size()));
  gzclose(gz);
  std::string error;
  const auto fromPlain = importOpenCVCalibration(plain, error);
  const auto fromPacked = importOpenCVCalibration(packed, error);
  ASSERT_TRUE(fromPlain && fromPacked) << error;
  EXPECT_EQ(encodeCameraParam(fromPlain->param), encodeCameraParam(fromPacked->param));
  EXPECT_EQ(fromPacked->param.xsize, 640);

  const std::string cut = dir.write("cut.xml", {'<', '?', 'x', 'm', 'l', ' ', 'v', '='});
  EXPECT_FALSE(importOpenCVCalibration(cut, error));
  EXPECT_NE(error.find("ends inside a tag"), std::string::npos) << error;

  std::vector<unsigned char> huge(kYaml.begin(), kYaml.end());
  huge.insert(huge.end(), (std::size_t{1} << 20) + 1, '#');
  EXPECT_FALSE(importOpenCVCalibration(dir.write("huge.yml", huge), error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;

  const std::string broken = dir.write("broken.yml.gz", {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 0xff, 0xff, 0xff});
  EXPECT_FALSE(importOpenCVCalibration(broken, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace quorl
