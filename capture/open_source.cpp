#include "capture/open_source.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "capture/v4l2_devices.h"
#include "capture/video_sources.h"

namespace quorl {
namespace {

constexpr std::string_view kSyntheticWord = "synthetic";
constexpr std::string_view kPicturesWord = "pictures:";
constexpr std::string_view kCameraWord = "camera";
constexpr std::string_view kBoardWord = "board";

std::string inQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '\'').append(text).append(1, '\'');
  return out;
}


// True for exactly one conversion %d, %Nd or %0Nd (N one or two digits) and no other '%'.
bool isValidPattern(std::string_view text) {
  const std::size_t at = text.find('%');
  if (at == std::string_view::npos || text.find('%', at + 1) != std::string_view::npos) return false;
  std::size_t i = at + 1;
  if (i < text.size() && text[i] == '0') ++i;
  int digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) ++i, ++digits;
  return digits <= 2 && i < text.size() && text[i] == 'd';
}

std::unique_ptr<FrameSource> openSynthetic(MotionProfile profile, const FrameSourceOptions& options,
                                           std::string& error) {
  SceneSettings settings;
  settings.width = options.width;
  settings.height = options.height;
  settings.intrinsics = options.intrinsics;
  settings.profile = profile;
  settings.seed = options.seed;
  settings.effects = options.effects;
  settings.targetImage = options.targetImage;
  settings.lens = options.lens;
  return SyntheticScene::Create(settings, error);
}

std::unique_ptr<FrameSource> openFile(const std::string& path, const FrameSourceOptions& options,
                                      std::string& error) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    error = "Cannot find the file " + inQuotes(path) + ".";
    return nullptr;
  }
  if (std::filesystem::is_directory(status)) {
    error = inQuotes(path) + " is a folder, not a video or image file.";
    return nullptr;
  }
  bool isImage = false;
  try {
    isImage = cv::haveImageReader(path);
  } catch (const cv::Exception&) {
    isImage = false;
  }
  if (isImage) return StillImageSource::Open(path, options.loop, error);
  return VideoFileSource::Open(path, false, options.loop, error);
}

}  // namespace

std::vector<std::string> PictureFilesIn(const std::string& folder, std::error_code& ec) {
  static const std::string kExtensions[] = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".pgm", ".ppm"};
  std::vector<std::string> files;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string extension = it->path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::error_code type;
    if (it->is_regular_file(type) &&
        std::find(std::begin(kExtensions), std::end(kExtensions), extension) != std::end(kExtensions))
      files.push_back(it->path().string());
  }
  if (ec) return {};
  std::sort(files.begin(), files.end());
  return files;
}

std::optional<SourceRequest> ParseSourceName(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "No source given: use synthetic[:PROFILE], camera:N, auto, a video file or an image pattern such "
            "as frames/%04d.png.";
    return std::nullopt;
  }
  if (text.size() > kMaxSourceNameLength) {
    error = "The source name is too long (over " + std::to_string(kMaxSourceNameLength) + " bytes).";
    return std::nullopt;
  }
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      error = "The source name contains control characters.";
      return std::nullopt;
    }
  }

  SourceRequest request;
  if (text == "auto") {
    request.kind = SourceRequest::Kind::kAuto;
    return request;
  }
  if (text == kSyntheticWord) return request;
  if (text.size() > kSyntheticWord.size() && text.substr(0, kSyntheticWord.size()) == kSyntheticWord &&
      text[kSyntheticWord.size()] == ':') {
    const std::string_view name = text.substr(kSyntheticWord.size() + 1);
    const auto profile = ParseMotionProfile(name);
    if (!profile) {
      error = "Unknown synthetic profile " + inQuotes(name) + ": use one of " + MotionProfileList() + ".";
      return std::nullopt;
    }
    request.profile = *profile;
    return request;
  }
  if (text.substr(0, kPicturesWord.size()) == kPicturesWord) {
    std::string_view name = text.substr(kPicturesWord.size());
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
      request.pictureFolder = std::string(name.substr(colon + 1));
      name = name.substr(0, colon);
      if (request.pictureFolder.empty()) {
        error = "The picture scene " + inQuotes(text) + " names no folder after its profile.";
        return std::nullopt;
      }
    }
    const auto profile = ParsePictureProfile(name);
    if (!profile) {
      error = "Unknown picture scene profile " + inQuotes(name) + ": use one of " + PictureProfileList() + ".";
      return std::nullopt;
    }
    request.kind = SourceRequest::Kind::kPictures;
    request.pictureProfile = *profile;
    return request;
  }
  if (text == kBoardWord || text == "board:chessboard" || text == "board:charuco") {
    request.kind = SourceRequest::Kind::kBoard;
    request.boardKind = text == "board:charuco" ? BoardLayout::Kind::kCharuco : BoardLayout::Kind::kChessboard;
    return request;
  }
  if (text.substr(0, kBoardWord.size() + 1) == "board:") {
    error = "Unknown board scene " + inQuotes(text.substr(kBoardWord.size() + 1)) + ": use board:chessboard or board:charuco.";
    return std::nullopt;
  }
  if (text.substr(0, kCameraWord.size()) == kCameraWord &&
      (text.size() == kCameraWord.size() || text[kCameraWord.size()] == ':')) {
    const std::string_view number = text.size() > kCameraWord.size() ? text.substr(kCameraWord.size() + 1) : "";
    int index = -1;
    const char* last = number.data() + number.size();
    const auto [stop, ec] = std::from_chars(number.data(), last, index);
    const bool digitsOnly = !number.empty() && number.front() >= '0' && number.front() <= '9';
    if (!digitsOnly || ec != std::errc() || stop != last || index < 0 || index > kMaxCameraIndex) {
      error = "Bad camera index " + inQuotes(number) + ": use camera:N with N from 0 to " +
              std::to_string(kMaxCameraIndex) + ".";
      return std::nullopt;
    }
    request.kind = SourceRequest::Kind::kCamera;
    request.cameraIndex = index;
    return request;
  }
  request.path = std::string(text);
  if (text.find('%') != std::string_view::npos) {
    if (!isValidPattern(text)) {
      error = "Bad image pattern " + inQuotes(text) + ": use exactly one number field such as %04d and no other '%'.";
      return std::nullopt;
    }
    request.kind = SourceRequest::Kind::kImageSequence;
    return request;
  }
  request.kind = SourceRequest::Kind::kFile;
  return request;
}

std::unique_ptr<FrameSource> OpenFrameSource(std::string_view text, const FrameSourceOptions& options,
                                             std::string& error) {
  // A file that exists is a file, even if its name looks like a pattern.
  std::optional<SourceRequest> request;
  std::string parseError;
  request = ParseSourceName(text, parseError);
  if (text.find('%') != std::string_view::npos && text.size() <= kMaxSourceNameLength &&
      (!request || request->kind == SourceRequest::Kind::kImageSequence)) {
    std::error_code ec;
    const std::string path(text);
    if (path.find('\0') == std::string::npos && std::filesystem::is_regular_file(path, ec)) {
      request = SourceRequest{};
      request->kind = SourceRequest::Kind::kFile;
      request->path = path;
    }
  }
  if (!request) {
    error = parseError;
    return nullptr;
  }

  switch (request->kind) {
    case SourceRequest::Kind::kSynthetic:
      return openSynthetic(request->profile, options, error);
    case SourceRequest::Kind::kCamera:
      return CameraSource::Open(request->cameraIndex, options.width, options.height, error);
    case SourceRequest::Kind::kAuto: {
      for (const VideoDevice& device : ListVideoDevices()) {
        std::string ignored;
        if (auto camera = CameraSource::Open(device.index, options.width, options.height, ignored)) return camera;
      }
      return openSynthetic(MotionProfile::kOrbit, options, error);
    }
    case SourceRequest::Kind::kFile:
      return openFile(request->path, options, error);
    case SourceRequest::Kind::kImageSequence:
      return VideoFileSource::Open(request->path, true, options.loop, error);
    case SourceRequest::Kind::kBoard: {
      BoardSceneSettings settings;
      settings.width = options.width;
      settings.height = options.height;
      settings.board = DefaultSceneBoard(request->boardKind);
      settings.intrinsics = options.intrinsics;
      settings.seed = options.seed;
      return BoardScene::Create(settings, error);
    }
    case SourceRequest::Kind::kPictures: {
      std::vector<cv::Mat> pictures;
      std::vector<std::string> names;
      std::vector<std::string> files = options.pictures;
      if (!request->pictureFolder.empty()) {
        std::error_code ec;
        files = PictureFilesIn(request->pictureFolder, ec);
        if (ec) {
          error = "Can't list the picture folder " + inQuotes(request->pictureFolder) + ": " + ec.message() + ".";
          return nullptr;
        }
        if (files.empty()) {
          error = "The picture folder " + inQuotes(request->pictureFolder) + " holds no pictures.";
          return nullptr;
        }
      }
      for (const std::string& file : files) {
        cv::Mat picture = cv::imread(file, cv::IMREAD_COLOR);
        if (picture.empty()) {
          error = "Can't read the picture " + inQuotes(file) + ".";
          return nullptr;
        }
        pictures.push_back(std::move(picture));
        names.push_back(std::filesystem::path(file).stem().string());
      }
      auto scene = PictureScene::Create(options.width, options.height, request->pictureProfile, options.seed,
                                        std::move(pictures), std::move(names), error);
      if (scene && options.lens && !scene->setLens(*options.lens, error)) return nullptr;
      return scene;
    }
  }
  return nullptr;
}

}  // namespace quorl
