#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "capture/synthetic_scene.h"
#include "session/session_reader.h"
#include "session/session_writer.h"

namespace quorl {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<FrameSource> MakeScene(MotionProfile profile, int width, int height, uint32_t seed) {
  SceneSettings settings;
  settings.profile = profile;
  settings.width = width;
  settings.height = height;
  settings.seed = seed;
  std::string error;
  return SyntheticScene::Create(settings, error);
}

class SessionFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quorl_session_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string path(const std::string& name) const { return (root_ / name).string(); }

  static std::string readText(const std::string& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void writeText(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

  // Records `frames` frames of the synthetic scene into `dir`, registered on frame 1, with the packed frames.
  std::vector<std::vector<uint8_t>> record(const std::string& dir, int frames) {
    std::unique_ptr<FrameSource> scene = MakeScene(MotionProfile::kOrbit, 160, 120, 7);
    SessionWriter writer;
    std::string error;
    EXPECT_TRUE(writer.Open(dir, "test", error)) << error;
    writer.SetSource(scene->description(), scene->frameRate());
    EngineOptions options;
    options.robust = true;
    options.barrier = -12;
    options.stages.vote = false;
    writer.SetOptions(options);
    writeText(path("my_camera.dat"), std::string(136, '\0'));
    EXPECT_TRUE(writer.AddCameraParams(path("my_camera.dat"), error)) << error;
    writeText(path("poster.jpg"), "picture bytes");
    EXPECT_TRUE(writer.AddPicture(path("poster.jpg"), "poster-2", 0.42, error)) << error;
    std::vector<std::vector<uint8_t>> packed(static_cast<std::size_t>(frames));
    for (auto& frame : packed) {
      EXPECT_TRUE(scene->read(frame));
      EXPECT_TRUE(writer.AddFrame(frame.data(), frame.size(), *scene, error)) << error;
    }
    writer.AddRegistration(1, Quad{{{{10, 11}, {90, 12}, {88, 80}, {12, 79}}}});
    EXPECT_TRUE(writer.Finish(error)) << error;
    return packed;
  }

  fs::path root_;
};

// What is recorded comes back: the frames bit for bit, the truth exactly, every field of session.json; the
// source ends after the last frame and takes only the recorded size.
TEST_F(SessionFolder, RecordsAndReadsBackExactly) {
  const std::string dir = path("run");
  const auto packed = record(dir, 5);
  std::unique_ptr<FrameSource> scene = MakeScene(MotionProfile::kOrbit, 160, 120, 7);

  std::string error;
  const std::optional<SessionInfo> info = ReadSession(dir, error);
  ASSERT_TRUE(info.has_value()) << error;
  EXPECT_EQ(info->program, "test");
  EXPECT_FALSE(info->programVersion.empty());
  EXPECT_EQ(info->source, scene->description());
  EXPECT_EQ(info->width, 160);
  EXPECT_EQ(info->height, 120);
  EXPECT_EQ(info->frameCount, 5);
  EXPECT_EQ(info->cameraParams, "my_camera.dat");
  EXPECT_TRUE(fs::exists(SessionPath(dir, "my_camera.dat")));
  EXPECT_TRUE(info->calibration.empty());
  EXPECT_TRUE(info->options.robust);
  EXPECT_EQ(info->options.barrier, -12);
  EXPECT_FALSE(info->options.stages.vote);
  EXPECT_TRUE(info->options.stages.refine);
  ASSERT_EQ(info->registrations.size(), 1u);
  EXPECT_EQ(info->registrations[0], (SessionRegistration{1, Quad{{{{10, 11}, {90, 12}, {88, 80}, {12, 79}}}}}));
  ASSERT_EQ(info->pictures.size(), 1u);
  EXPECT_EQ(info->pictures[0], (SessionPicture{"poster-2", "pictures/poster-2.jpg", 0.42}));
  EXPECT_EQ(readText(SessionPath(dir, info->pictures[0].file)), "picture bytes");
  EXPECT_TRUE(info->targetTruth.empty());

  SessionSource source(dir, *info);
  EXPECT_FALSE(source.setFrameSize(320, 240));
  EXPECT_TRUE(source.setFrameSize(160, 120));
  EXPECT_EQ(source.frameCount(), 5);
  std::vector<uint8_t> frame, truthFrame;
  for (const auto& recorded : packed) {
    ASSERT_TRUE(source.read(frame)) << source.error();
    ASSERT_TRUE(scene->read(truthFrame));
    EXPECT_EQ(frame, recorded);
    ASSERT_TRUE(source.trueCorners().has_value());
    for (int i = 0; i < 4; ++i) EXPECT_EQ((*source.trueCorners())[i], (*scene->trueCorners())[i]);
  }
  EXPECT_FALSE(source.read(frame));
  EXPECT_TRUE(source.error().empty());
}

// Whatever is wrong is refused with the file and the reason.
TEST_F(SessionFolder, RefusesBrokenSessionsNamingFileAndReason) {
  const std::string dir = path("run");
  record(dir, 3);
  const std::string json = SessionPath(dir, kSessionFile);
  const std::string good = readText(json);
  auto refusal = [&](const std::string& text) {
    writeText(json, text);
    std::string error;
    EXPECT_FALSE(ReadSession(dir, error).has_value());
    return error;
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  std::string error;
  EXPECT_FALSE(ReadSession(path("nothing"), error).has_value());
  EXPECT_EQ(error, path("nothing") + ": no such folder");
  EXPECT_EQ(refusal(good.substr(0, good.size() / 2)), json + ": not valid JSON (cut short or damaged)");
  EXPECT_EQ(refusal("[1, 2]"), json + ": the text is not a JSON object");
  EXPECT_EQ(refusal(replaced("\"version\": 1", "\"version\": 2")),
            json + ": version 2 is not supported (this program reads version 1)");
  EXPECT_EQ(refusal(replaced("\"quorl-session\"", "\"other\"")), json + ": format is 'other', not 'quorl-session'");
  EXPECT_EQ(refusal(replaced("\"frame_count\": 3", "\"frame_count\": \"3\"")),
            json + ": frame_count must be an integer 0..1099511627776");
  EXPECT_EQ(refusal(replaced("\"barrier\":-12", "\"barrier\":300")), json + ": options.barrier must be an integer -255..255");
  EXPECT_EQ(refusal(replaced("\"corner_type\":1,", "")), json + ": options.corner_type is missing");
  EXPECT_EQ(refusal(replaced("\"frame\":1", "\"frame\":3")), json + ": registrations[0].frame must be an integer 0..2");
  EXPECT_EQ(refusal(replaced("\"pictures/poster-2.jpg\"", "\"../poster.jpg\"")),
            json + ": pictures[0].file must name a file inside the session's folder, not '../poster.jpg'");
  EXPECT_EQ(refusal(replaced("\"width\":0.42", "\"width\":-1")), json + ": pictures[0].width must be a number from 0 to 100");
  EXPECT_EQ(refusal(replaced("\"frame_count\": 3", "\"frame_count\": 4")), json + ": truth must be an array of 4 entries");

  writeText(json, good);
  fs::remove(SessionFramePath(dir, 1));
  EXPECT_EQ(refusal(good), SessionFramePath(dir, 1) + ": missing; session.json lists 3 frames");
  fs::remove(json);
  EXPECT_FALSE(ReadSession(dir, error).has_value());
  EXPECT_EQ(error, json + ": missing; " + dir + " holds no recorded session");

  // A frame damaged after the folder was checked ends the source with its name and reason.
  const std::string other = path("other");
  record(other, 2);
  const auto info = ReadSession(other, error);
  ASSERT_TRUE(info.has_value()) << error;
  writeText(SessionFramePath(other, 1), "not a picture");
  SessionSource source(other, *info);
  std::vector<uint8_t> frame;
  EXPECT_TRUE(source.read(frame));
  EXPECT_FALSE(source.read(frame));
  EXPECT_EQ(source.error(), SessionFramePath(other, 1) + ": not a readable picture");
}

// The writer refuses a folder holding files, a folder it cannot create and a frame of another size; a frame
// that cannot be written is reported with its file, and the session keeps the frames before it.
TEST_F(SessionFolder, WriterReportsEveryFailedWrite) {
  SessionWriter busy;
  std::string error;
  writeText(path("notes.txt"), "keep me");
  EXPECT_FALSE(busy.Open(root_.string(), "test", error));
  EXPECT_EQ(error, root_.string() + ": the folder is not empty; record into a new or empty folder");
  EXPECT_FALSE(busy.Open(path("notes.txt") + "/run", "test", error));
  EXPECT_EQ(error.rfind(path("notes.txt") + "/run: ", 0), 0u) << error;
  EXPECT_EQ(readText(path("notes.txt")), "keep me");

  const std::string dir = path("run");
  SessionWriter writer;
  ASSERT_TRUE(writer.Open(dir, "test", error)) << error;
  EXPECT_FALSE(writer.AddCameraParams(path("missing.dat"), error));
  EXPECT_EQ(error.rfind(path("missing.dat") + ": cannot copy it to " + dir + "/missing.dat: ", 0), 0u) << error;
  std::unique_ptr<FrameSource> small = MakeScene(MotionProfile::kStill, 160, 120, 1);
  std::unique_ptr<FrameSource> large = MakeScene(MotionProfile::kStill, 320, 240, 1);
  std::vector<uint8_t> frame;
  ASSERT_TRUE(small->read(frame));
  ASSERT_TRUE(writer.AddFrame(frame.data(), frame.size(), *small, error)) << error;
  ASSERT_TRUE(large->read(frame));
  EXPECT_FALSE(writer.AddFrame(frame.data(), frame.size(), *large, error));
  EXPECT_EQ(error, "frame 1 is 320x240; the session's frames are 160x120");
  EXPECT_FALSE(writer.AddFrame(frame.data(), 10, *large, error));
  EXPECT_EQ(error, "frame 1 is not a packed 24-bit bitmap");
  // The frames folder replaced by a file: the next frame cannot be written.
  ASSERT_TRUE(small->read(frame));
  for (int tries = 0; tries < 100 && fs::exists(SessionFramePath(dir, 0)) == false; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(SessionFramePath(dir, 0)));
  fs::rename(fs::path(dir) / "frames", fs::path(dir) / "frames.kept");
  writeText((fs::path(dir) / "frames").string(), "");
  ASSERT_TRUE(writer.AddFrame(frame.data(), frame.size(), *small, error)) << error;
  EXPECT_FALSE(writer.Finish(error));
  EXPECT_EQ(error, SessionFramePath(dir, 1) + ": Not a directory");
  // session.json was still written, for the one frame on disk.
  const auto text = readText(SessionPath(dir, kSessionFile));
  EXPECT_NE(text.find("\"frame_count\": 1"), std::string::npos) << text;
}

}  // namespace
}  // namespace quorl
