// Source names: what each form means, the messages for bad ones, robustness against arbitrary bytes,
// opening synthetic, auto and missing cameras, and V4L2 enumeration where there are no devices.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "capture/open_source.h"
#include "capture/v4l2_devices.h"

namespace quorl {
namespace {

using Kind = SourceRequest::Kind;

std::optional<SourceRequest> parse(std::string_view text) {
  std::string error;
  auto request = ParseSourceName(text, error);
  EXPECT_EQ(request.has_value(), error.empty()) << text;
  return request;
}

std::string parseError(std::string_view text) {
  std::string error;
  EXPECT_FALSE(ParseSourceName(text, error).has_value()) << text;
  return error;
}

TEST(SourceRequest, EachFormMeansWhatItSays) {
  EXPECT_EQ(parse("synthetic")->kind, Kind::kSynthetic);
  EXPECT_EQ(parse("synthetic")->profile, MotionProfile::kOrbit);
  const std::pair<const char*, MotionProfile> profiles[] = {
      {"orbit", MotionProfile::kOrbit}, {"zoom", MotionProfile::kZoom},       {"spin", MotionProfile::kSpin},
      {"shake", MotionProfile::kShake}, {"occlude", MotionProfile::kOcclude}, {"leave", MotionProfile::kLeave}};
  for (const auto& [name, profile] : profiles) {
    const auto request = parse(std::string("synthetic:") + name);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->profile, profile);
    EXPECT_STREQ(MotionProfileName(profile), name);
  }
  EXPECT_EQ(parse("auto")->kind, Kind::kAuto);
  EXPECT_EQ(parse("camera:0")->cameraIndex, 0);
  EXPECT_EQ(parse("camera:7")->kind, Kind::kCamera);
  EXPECT_EQ(parse("camera:255")->cameraIndex, 255);
  EXPECT_EQ(parse("clip.avi")->kind, Kind::kFile);
  EXPECT_EQ(parse("cameraman.avi")->kind, Kind::kFile);
  EXPECT_EQ(parse("synthetics.mp4")->kind, Kind::kFile);
  EXPECT_EQ(parse("pictures:deck")->pictureProfile, PictureProfile::kDeck);
  EXPECT_EQ(parse("pictures:deck")->pictureFolder, "");
  EXPECT_EQ(parse("pictures:table:cards/a:b")->pictureFolder, "cards/a:b");  // the folder is the rest
  for (const char* pattern : {"frames/%04d.png", "f%d.jpg", "x_%2d.png", "%012d.bmp"}) {
    const auto request = parse(pattern);
    ASSERT_TRUE(request) << pattern;
    EXPECT_EQ(request->kind, Kind::kImageSequence);
    EXPECT_EQ(request->path, pattern);
  }
}

TEST(SourceRequest, BadNamesGetClearMessages) {
  EXPECT_NE(parseError("").find("No source given"), std::string::npos);
  const std::string profile = parseError("synthetic:wobble");
  EXPECT_NE(profile.find("Unknown synthetic profile 'wobble'"), std::string::npos) << profile;
  EXPECT_NE(profile.find("orbit, zoom, spin, shake, occlude, leave"), std::string::npos) << profile;
  EXPECT_NE(parseError("synthetic:").find("Unknown synthetic profile ''"), std::string::npos);
  EXPECT_NE(parseError("synthetic:Orbit").find("Unknown synthetic profile"), std::string::npos);
  for (const char* camera : {"camera", "camera:", "camera:-1", "camera:256", "camera:1x", "camera: 1", "camera:+1",
                             "camera:99999999999999999999", "camera:0x10"}) {
    EXPECT_NE(parseError(camera).find("Bad camera index"), std::string::npos) << camera;
  }
  for (const char* pattern : {"f%s.png", "f%04d_%d.png", "100%", "f%123d.png", "f%-4d.png", "%%d.png", "a%n"}) {
    EXPECT_NE(parseError(pattern).find("Bad image pattern"), std::string::npos) << pattern;
  }
  EXPECT_NE(parseError("pictures:deck:").find("names no folder"), std::string::npos);
  EXPECT_NE(parseError("pictures:dek:cards").find("Unknown picture scene profile 'dek'"), std::string::npos);
  EXPECT_NE(parseError(std::string("clip\n.avi")).find("control characters"), std::string::npos);
  EXPECT_NE(parseError(std::string("clip\0.avi", 9)).find("control characters"), std::string::npos);
  EXPECT_NE(parseError(std::string(kMaxSourceNameLength + 1, 'a')).find("too long"), std::string::npos);
}

// Arbitrary bytes, and mutations of valid names, either parse or give a message; nothing else happens.
TEST(SourceRequest, SurvivesArbitraryInput) {
  std::mt19937 gen(20240607);
  const std::string seeds[] = {"synthetic:orbit", "camera:12", "auto", "frames/%04d.png", "clip.avi"};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      text.resize(std::uniform_int_distribution<std::size_t>(0, 40)(gen));
      for (char& c : text) c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(gen));
    } else {
      text = seeds[gen() % 5];
      const int edits = 1 + static_cast<int>(gen() % 3);
      for (int e = 0; e < edits && !text.empty(); ++e) {
        const std::size_t at = gen() % text.size();
        switch (gen() % 3) {
          case 0: text[at] = "%:0123456789abcdz-\x7f"[gen() % 19]; break;
          case 1: text.erase(at, 1); break;
          default: text.insert(at, 1, "%d:90"[gen() % 5]); break;
        }
      }
    }
    std::string error;
    const auto request = ParseSourceName(text, error);
    ASSERT_NE(request.has_value(), !error.empty()) << text;
    if (request && request->kind == Kind::kCamera) {
      ASSERT_GE(request->cameraIndex, 0);
      ASSERT_LE(request->cameraIndex, kMaxCameraIndex);
    }
  }
}

TEST(OpenFrameSource, SyntheticWithOptions) {
  FrameSourceOptions options;
  options.width = 200;
  options.height = 150;
  options.seed = 4;
  options.intrinsics = PinholeIntrinsics{250.0, 250.0, 100.0, 75.0};
  std::string error;
  auto source = OpenFrameSource("synthetic:spin", options, error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->width(), 200);
  EXPECT_EQ(source->frameRate(), 30.0);
  EXPECT_NE(source->description().find("spin"), std::string::npos);
  std::vector<uint8_t> packed;
  ASSERT_TRUE(source->read(packed));
  EXPECT_EQ(packed.size(), PackedFrameSize(200, 150));
  ASSERT_TRUE(source->trueCorners().has_value());

  options.width = 10;
  EXPECT_FALSE(OpenFrameSource("synthetic", options, error));
  EXPECT_NE(error.find("Bad frame size 10x150"), std::string::npos) << error;
  options.width = 320;
  options.effects.blurSigma = 50;
  EXPECT_FALSE(OpenFrameSource("synthetic", options, error));
  EXPECT_NE(error.find("Bad scene effects"), std::string::npos) << error;
}

// A picture folder gives the scene its pictures in name order, each named by its stem; one without pictures is refused.
TEST(OpenFrameSource, APictureFolderLaysItsPicturesInNameOrder) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quorl-pictures-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string error;
  FrameSourceOptions options;
  options.pictures = {"ignored.png"};  // the folder's pictures replace them
  EXPECT_EQ(OpenFrameSource("pictures:table:" + dir.string(), options, error), nullptr);
  EXPECT_NE(error.find("holds no pictures"), std::string::npos) << error;
  for (const char* name : {"b.png", "a.PNG", "notes.txt"}) {
    std::ofstream(dir / name) << "x";
  }
  cv::Mat texture(60, 80, CV_8UC3, cv::Scalar(10, 200, 40));
  cv::imwrite((dir / "b.png").string(), texture);
  cv::imwrite((dir / "a.PNG").string(), texture);
  auto source = OpenFrameSource("pictures:table:" + dir.string(), options, error);
  ASSERT_NE(source, nullptr) << error;
  std::vector<uint8_t> frame;
  ASSERT_TRUE(source->read(frame));
  std::vector<std::string> names;
  for (const TargetTruth& t : source->trueTargets()) names.push_back(t.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  std::filesystem::remove_all(dir);
}

TEST(OpenFrameSource, MissingCameraIsReportedWithItsDevice) {
  std::string error;
  // /dev/video213 does not exist on any ordinary machine.
  EXPECT_FALSE(OpenFrameSource("camera:213", {}, error));
  EXPECT_NE(error.find("Cannot open camera 213 (/dev/video213)"), std::string::npos) << error;
  EXPECT_FALSE(OpenFrameSource("camera:abc", {}, error));
  EXPECT_NE(error.find("Bad camera index 'abc'"), std::string::npos) << error;
}

TEST(OpenFrameSource, AutoFallsBackToTheSyntheticSceneWithoutCameras) {
  std::string error;
  auto source = OpenFrameSource("auto", {}, error);
  ASSERT_TRUE(source) << error;
  std::vector<uint8_t> packed;
  ASSERT_TRUE(source->read(packed));
  if (ListVideoDevices().empty()) {
    EXPECT_EQ(source->description().rfind("synthetic scene", 0), 0u) << source->description();
    EXPECT_EQ(source->width(), 320);
    EXPECT_TRUE(source->trueCorners().has_value());
  }
}

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    path = std::filesystem::temp_directory_path() / ("quorl_v4l2_" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

TEST(V4l2Devices, NoDevicesWhereThereAreNone) {
  EXPECT_TRUE(ListVideoDevices("/nonexistent/dev").empty());
  TempDir dir;
  EXPECT_TRUE(ListVideoDevices(dir.path.string()).empty());
  // Files named like devices that are not devices are left out.
  for (const char* name : {"video0", "video12", "videoX", "video"}) std::ofstream(dir.path / name) << "x";
  std::filesystem::create_directory(dir.path / "video3");
  EXPECT_TRUE(ListVideoDevices(dir.path.string()).empty());

  std::string error;
  EXPECT_FALSE(QueryVideoDevice((dir.path / "video0").string(), error));
  EXPECT_NE(error.find("is not a video device"), std::string::npos) << error;
}

TEST(V4l2Devices, FormatListingExplainsWhyItFails) {
  std::vector<PixelFormat> formats{PixelFormat{}};
  std::string error;
  EXPECT_FALSE(ListDeviceFormats("/nonexistent/video0", formats, error));
  EXPECT_TRUE(formats.empty());
  EXPECT_NE(error.find("Cannot open /nonexistent/video0"), std::string::npos) << error;
  // A character device that is not a V4L2 device.
  EXPECT_FALSE(ListDeviceFormats("/dev/null", formats, error));
  EXPECT_NE(error.find("/dev/null is not a V4L2 device"), std::string::npos) << error;
}

TEST(V4l2Devices, FourccAndRates) {
  EXPECT_EQ(FourccCode(0x47504a4d), "MJPG");
  EXPECT_EQ(FourccCode(0x56595559), "YUYV");
  EXPECT_EQ(FourccCode(0x00000001), "????");
  EXPECT_DOUBLE_EQ(FramesPerSecond({1, 30}), 30.0);
  EXPECT_DOUBLE_EQ(FramesPerSecond({1001, 30000}), 30000.0 / 1001.0);
  EXPECT_EQ(FramesPerSecond({0, 30}), 0.0);
  EXPECT_EQ(FramesPerSecond({1, 0}), 0.0);
}

}  // namespace
}  // namespace quorl
