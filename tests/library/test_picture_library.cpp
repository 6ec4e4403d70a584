// Picture libraries: a library read back tracks the picture scene as its pictures given one by one do, and
// files that are damaged, cut short, of another version or not libraries at all are refused with their reason,
// the set unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>
#include <zlib.h>

#include "capture/picture_scene.h"
#include "library/picture_library.h"
#include "tests/library/sample_pictures.h"
#include "tracker/engine.h"

namespace quorl {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("quorl-library-" + std::to_string(::getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Three pictures of different sizes and shapes, written as PNG files.
std::vector<std::string> WritePictures(const fs::path& dir, std::vector<cv::Mat>& pictures) {
  std::vector<std::string> paths;
  const cv::Size sizes[] = {{320, 240}, {200, 260}, {360, 200}};
  for (uint32_t i = 0; i < 3; ++i) {
    pictures.push_back(MakeSamplePicture(i + 1, sizes[i]));
    paths.push_back((dir / ("card" + std::to_string(i) + ".png")).string());
    cv::imwrite(paths.back(), pictures.back());
  }
  return paths;
}

std::vector<std::vector<TargetReport>> TrackScene(const std::vector<cv::Mat>& pictures,
                                                  const std::vector<std::string>& names, TrackingEngine& engine,
                                                  int frames) {
  std::string error;
  auto scene = PictureScene::Create(640, 480, PictureProfile::kTable, 1, pictures, names, error);
  EXPECT_NE(scene, nullptr) << error;
  std::vector<std::vector<TargetReport>> rows;
  for (int f = 0; f < frames && scene && scene->read(engine.frameBuffer()); ++f) {
    EXPECT_TRUE(engine.Track());
    rows.push_back(engine.Report().targets);
  }
  return rows;
}

TEST(PictureLibrary, ReadBackItTracksAsItsPicturesGivenOneByOne) {
  TempDir dir;
  std::vector<cv::Mat> pictures;
  const std::vector<std::string> paths = WritePictures(dir.path, pictures);
  std::vector<LibraryInput> inputs;
  for (const std::string& p : paths) inputs.push_back({p, fs::path(p).stem().string(), 0.0});
  inputs[1].width = 0.3;
  inputs.push_back({(dir.path / "missing.png").string(), "missing", 0.0});
  std::vector<std::string> errors(inputs.size());
  std::vector<PictureTarget> built = BuildLibraryTargets(
      inputs, 10, 2, [&](std::size_t i, const PictureTarget*, const std::string& e) { errors[i] = e; });
  EXPECT_EQ(errors[3], inputs[3].path + ": no such file");
  built.pop_back();
  const std::string library = (dir.path / "cards.qlib").string();
  std::string error;
  ASSERT_TRUE(WritePictureLibrary(library, built, error)) << error;
  EXPECT_LE(ReadBytes(library).size(), 3u * 300 * 1024);
  // Nothing but the library is left in the folder: the temporary file was renamed.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 4);

  // Built on two threads and read back, each picture is what adding its file builds.
  std::optional<PictureLibrary> read = ReadPictureLibrary(library, error);
  ASSERT_TRUE(read) << error;
  ASSERT_EQ(read->targets.size(), 3u);
  EXPECT_TRUE(read->forest.empty());  // too few pictures for the search
  TrackingEngine one(EngineOptions{}, "test", std::nullopt), all(EngineOptions{}, "test", std::nullopt);
  for (std::size_t i = 0; i < 3; ++i) {
    const PictureTarget* given = one.AddPicture(paths[i], inputs[i].width, error);
    ASSERT_NE(given, nullptr) << error;
    const PictureTarget& got = read->targets[i];
    SCOPED_TRACE(got.name);
    EXPECT_EQ(got.name, given->name);
    EXPECT_EQ(got.width, given->width);
    EXPECT_EQ(got.fileSize, given->fileSize);
    EXPECT_EQ(got.trackability.score, given->trackability.score);
    ASSERT_EQ(got.miniature.size(), given->miniature.size());
    EXPECT_EQ(cv::norm(got.miniature, given->miniature, cv::NORM_INF), 0.0);
    const RobustModel &a = got.robust.model, &b = given->robust.model;
    ASSERT_EQ(a.points.size(), b.points.size());
    for (std::size_t k = 0; k < a.points.size(); ++k)
      EXPECT_TRUE(a.points[k].view == b.points[k].view && a.points[k].slot == b.points[k].slot &&
                  a.points[k].position == b.points[k].position);
    ASSERT_EQ(a.tilts.size(), b.tilts.size());
    EXPECT_FALSE(a.tilts.empty());
    for (std::size_t k = 0; k < a.tilts.size(); ++k) EXPECT_EQ(cv::norm(a.tilts[k].map, b.tilts[k].map), 0.0);
    EXPECT_TRUE(a.descriptors == b.descriptors);
    EXPECT_TRUE(a.trackPoints == b.trackPoints && a.scales == b.scales && a.quad == b.quad);
    ASSERT_EQ(got.robust.refinements.size(), given->robust.refinements.size());
    for (std::size_t s = 0; s < got.robust.refinements.size(); ++s)
      for (int l = 0; l < kTemplateLevels; ++l) {
        const TemplateLevel &x = got.robust.refinements[s].tmpl.levels[l], &y = given->robust.refinements[s].tmpl.levels[l];
        EXPECT_TRUE(x.points == y.points && x.values == y.values);
        ASSERT_EQ(x.steepest.size(), y.steepest.size());
        EXPECT_EQ(std::memcmp(x.steepest.data(), y.steepest.data(), x.steepest.size() * sizeof(x.steepest[0])), 0);
      }
  }
  all.state().pictures.AddPrepared(std::move(read->targets));

  // The same rows through the engine on the picture scene, and the pictures are found.
  const std::vector<std::string> names = {"card0", "card1", "card2"};
  const auto expected = TrackScene(pictures, names, one, 60);
  const auto got = TrackScene(pictures, names, all, 60);
  ASSERT_EQ(got.size(), expected.size());
  int tracked = 0;
  for (std::size_t f = 0; f < got.size(); ++f) {
    ASSERT_EQ(got[f].size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      const TargetReport &g = got[f][k], &e = expected[f][k];
      SCOPED_TRACE("frame " + std::to_string(f) + " " + e.name);
      EXPECT_EQ(g.name, e.name);
      EXPECT_EQ(g.state, e.state);
      EXPECT_EQ(g.corners, e.corners);
      EXPECT_EQ(g.matches, e.matches);
      EXPECT_EQ(g.inliers, e.inliers);
      EXPECT_EQ(cv::norm(g.homography - e.homography), 0.0);
      tracked += g.state == TrackingState::Tracking;
    }
  }
  EXPECT_GT(tracked, 60);

  // Added beside pictures of the same names, the library's are named as added pictures are.
  ASSERT_TRUE(AddPictureLibrary(one.state().pictures, library, error)) << error;
  EXPECT_EQ(one.state().pictures.targets()[3].name, "card0-2");

  // A template whose smallest scale stopped short of its last level (left as built, its level field 0) reads back.
  std::vector<PictureTarget> shortLevels(built.begin(), built.begin() + 1);
  shortLevels[0].robust.refinements.back().tmpl.levels[kTemplateLevels - 1] = TemplateLevel{};
  ASSERT_TRUE(DecodePictureLibrary(EncodePictureLibrary(shortLevels), "short", error)) << error;
}

TEST(PictureLibrary, RefusedFilesLeaveTheSetAsItWas) {
  TempDir dir;
  std::vector<cv::Mat> pictures;
  const std::vector<std::string> paths = WritePictures(dir.path, pictures);
  std::string error;
  std::vector<PictureTarget> built =
      BuildLibraryTargets({{paths[0], "card0", 0.0}, {paths[1], "card1", 0.0}}, 10, 1, nullptr);
  const std::string bytes = EncodePictureLibrary(built);
  TargetSet set;
  set.AddPrepared({built[0]});

  const auto refused = [&](const std::string& content, const std::string& reason) {
    SCOPED_TRACE(reason);
    const fs::path file = dir.path / "bad.qlib";
    WriteBytes(file, content);
    std::string why;
    EXPECT_FALSE(AddPictureLibrary(set, file.string(), why));
    EXPECT_EQ(why, file.string() + ": " + reason);
    EXPECT_EQ(set.targets().size(), 1u);
  };
  // The checksum again over bytes changed on purpose, so that only the record's own checks can refuse them.
  const auto resealed = [](std::string b) {
    const uint32_t crc = static_cast<uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(b.data()), b.size() - 4));
    std::memcpy(b.data() + b.size() - 4, &crc, 4);
    return b;
  };
  refused(bytes.substr(0, bytes.size() / 2), "truncated");
  refused(bytes.substr(0, 20), "truncated");
  std::string flipped = bytes;
  flipped[bytes.size() / 3] ^= 0x10;
  refused(flipped, "damaged (checksum mismatch)");
  std::string version = bytes;
  version[8] = 2;
  refused(version, "version 2, this program reads version 6");
  refused(ReadBytes(paths[0]), "not a Quorl picture library");
  refused("", "not a Quorl picture library");
  // A hostile count: four billion descriptors claimed, refused before anything is allocated for them.
  const std::size_t name = 8 + 4 + 8 + 4 + 8;
  std::string counted = bytes;
  const uint32_t huge = 0xFFFFFFFFu;
  const std::size_t pointsCount = name + 4 + 5 + 8 + 8 + 8 + (4 + 3 * 8) + (8 + built[0].miniature.total()) + 32;
  std::memcpy(counted.data() + pointsCount, &huge, 4);
  refused(resealed(counted), "damaged (picture 1: a count of 4294967295 past the end of the file)");
  // A model point whose scale slot is past the model's scales.
  std::string slot = bytes;
  const uint8_t far = 200;
  std::memcpy(slot.data() + pointsCount + 4 + 8, &far, 1);
  refused(resealed(slot), "damaged (picture 1: a model point outside its scales)");
  // Or of a tilted view the model does not have.
  std::string view = bytes;
  std::memcpy(view.data() + pointsCount + 4 + 8 + 1 + 4, &far, 1);
  refused(resealed(view), "damaged (picture 1: a model point outside its scales)");

  EXPECT_FALSE(AddPictureLibrary(set, (dir.path / "none.qlib").string(), error));
  EXPECT_EQ(error, (dir.path / "none.qlib").string() + ": no such file");
  // Writing into a folder that does not exist fails with the reason and leaves nothing.
  EXPECT_FALSE(WritePictureLibrary((dir.path / "no" / "x.qlib").string(), built, error));
  EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
  // Nor is a pipe replaced by the library (as a device would be).
  const fs::path pipe = dir.path / "pipe.qlib";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(WritePictureLibrary(pipe.string(), built, error));
  EXPECT_EQ(error, pipe.string() + ": not a file: a picture library only replaces a file");
  EXPECT_TRUE(fs::is_fifo(pipe));
  // A point the format cannot hold is refused, not stored cut to a byte.
  std::vector<PictureTarget> unstorable = {built[0]};
  unstorable[0].robust.model.points[0].view = 300;
  EXPECT_FALSE(WritePictureLibrary((dir.path / "cut.qlib").string(), unstorable, error));
  EXPECT_EQ(error, (dir.path / "cut.qlib").string() + ": a point's scale or view past what a picture library holds");
  EXPECT_FALSE(fs::exists(dir.path / "cut.qlib"));
  ASSERT_TRUE(AddPictureLibrary(set, (WriteBytes(dir.path / "ok.qlib", bytes), dir.path / "ok.qlib").string(), error))
      << error;
  EXPECT_EQ(set.targets().size(), 3u);
  EXPECT_EQ(set.targets()[1].name, "card0-2");
}

}  // namespace
}  // namespace quorl
