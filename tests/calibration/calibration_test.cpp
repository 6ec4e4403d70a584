#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/board.h"
#include "calibration/calibration_files.h"
#include "calibration/session.h"
#include "camera/opencv_calibration.h"
#include "capture/board_scene.h"
#include "capture/open_source.h"
#include "tests/camera/temp_dir.h"

namespace quorl {
namespace {

std::string sample(const std::string& name) { return std::string(QUORL_OPENCV_SAMPLES_DIR) + "/data/" + name; }

BoardLayout parse(const std::string& text) {
  std::string error;
  const std::optional<BoardLayout> board = ParseBoardLayout(text, error);
  EXPECT_TRUE(board) << text << ": " << error;
  return board.value_or(BoardLayout{});
}

TEST(Boards, TextParsedSafelyWithClearMessages) {
  const BoardLayout chess = parse("chessboard:9x6:0.025");
  EXPECT_EQ(chess.kind, BoardLayout::Kind::kChessboard);
  EXPECT_EQ(InnerCorners(chess), cv::Size(9, 6));
  EXPECT_EQ(BoardPoints(chess)[10], cv::Point3f(0.025f, 0.025f, 0.0f));
  const BoardLayout charuco = parse("charuco:7x5:0.03:0.022");
  EXPECT_EQ(InnerCorners(charuco), cv::Size(6, 4));
  EXPECT_EQ(BoardLayoutText(charuco), "charuco:7x5:0.03:0.022:4X4_50");  // the smallest dictionary that fits
  EXPECT_EQ(BoardLayoutText(parse("charuco:20x20:0.01:0.008:dict_5x5_250")), "charuco:20x20:0.01:0.008:5X5_250");
  EXPECT_EQ(BoardLayoutText(parse(BoardLayoutText(chess))), "chessboard:9x6:0.025");

  const std::pair<std::string, std::string> bad[] = {
      {"", "starts with chessboard: or charuco:"},
      {"chess:9x6:0.025", "starts with"},
      {"chessboard:1x6:0.025", "inner corners COLSxROWS, each 2 to 64, not '1x6'"},
      {"chessboard:9x6", "use chessboard:COLSxROWS:SQUARE_M"},
      {"chessboard:9x6:-0.025", "square side is a length in metres"},
      {"chessboard:9x6:inf", "not 'inf'"},
      {"chessboard:9x6:2", "from 0.001 to 1"},
      {"charuco:7x5:0.03:0.04", "less than the square side"},
      {"charuco:7x5:0.03:0.02:9X9_1", "unknown dictionary '9X9_1'"},
      {"charuco:64x64:0.01:0.005:4X4_50", "2048 markers, the dictionary 4X4_50 only 50"},
      {std::string("chessboard:9x6:0.0\xff\x01", 20), "'chessboard:9x6:0.0\\xFF\\x01'"},
  };
  for (const auto& [text, message] : bad) {
    std::string error;
    EXPECT_FALSE(ParseBoardLayout(text, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << " -> " << error;
  }
}

// opencv-doc's left01..left14 (left10 is missing from the package): a 9 x 6 chessboard of 25 mm squares.
TEST(LeftPhotos, CalibrationMatchesTheSampleAndItsFilesReadBack) {
  if (!std::filesystem::exists(sample("left01.jpg"))) GTEST_SKIP() << "opencv-doc is not installed";
  const BoardLayout board = parse("chessboard:9x6:0.025");
  const BoardDetector detector(board);
  CalibrationSession session(board, cv::Size(640, 480));
  for (int i = 1; i <= 14; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "left%02d.jpg", i);
    if (!std::filesystem::exists(sample(name))) continue;
    const std::optional<BoardDetection> found = detector.detect(cv::imread(sample(name), cv::IMREAD_GRAYSCALE));
    ASSERT_TRUE(found) << name;
    EXPECT_EQ(found->imagePoints.size(), 54u);
    session.add(*found);
  }
  ASSERT_TRUE(session.coverage().complete());
  std::string error;
  const std::optional<CalibrationResult> result = session.calibrate(error);
  ASSERT_TRUE(result) << error;
  // left_intrinsics.yml: fx = fy = 535.916 from a fit with CALIB_FIX_ASPECT_RATIO; ours leaves the ratio
  // free, so each focal length and their geometric mean (the fixed-ratio fit's quantity) are compared.
  const cv::Matx33d& k = result->cameraMatrix;
  const double fx = k(0, 0), fy = k(1, 1), file = 535.91573396163199;
  std::printf("left photos: fx %.3f fy %.3f cx %.3f cy %.3f RMS %.4f px\n", fx, fy, k(0, 2), k(1, 2), result->rms);
  EXPECT_NEAR(fx, file, 0.01 * file);
  EXPECT_NEAR(fy, file, 0.01 * file);
  EXPECT_NEAR(std::sqrt(fx * fy), file, 0.01 * file);
  EXPECT_NEAR(k(0, 2), 342.28315473308373, 0.01 * 342.28);
  EXPECT_NEAR(k(1, 2), 235.57082909788173, 0.01 * 235.57);
  EXPECT_LE(result->rms, 0.5);
  ASSERT_EQ(result->viewErrors.size(), 13u);

  const std::optional<CameraParamFit> fit = FitCameraParam(k, result->distortion, result->imageSize, error);
  ASSERT_TRUE(fit) << error;
  std::printf("camera file fit: residual max %.3f px, RMS %.3f px\n", fit->maxResidual, fit->rmsResidual);
  // A single cubic term cannot follow this lens into the frame's corners (k1 -0.27, k3 0.16), but over
  // the frame it stays within a few pixels.
  EXPECT_LT(fit->rmsResidual, 2.5);
  EXPECT_LT(fit->maxResidual, 20.0);
  EXPECT_LT(fit->param.dist_factor[2], 0.0);  // barrel

  const test::TempDir dir;
  ASSERT_TRUE(WriteCalibrationFiles(dir.file("left.yml"), *result, board, *fit, error)) << error;
  const std::optional<ImportedCalibration> imported = importOpenCVCalibration(dir.file("left.yml"), error);
  ASSERT_TRUE(imported) << error;
  EXPECT_TRUE(imported->hasImageSize);
  EXPECT_EQ(imported->param.xsize, 640);
  EXPECT_DOUBLE_EQ(imported->param.mat[0][0], fx);
  EXPECT_DOUBLE_EQ(imported->param.mat[1][2], k(1, 2));
  ASSERT_EQ(imported->coefficients.size(), 5u);
  EXPECT_DOUBLE_EQ(imported->coefficients[4], result->distortion[4]);
  CameraParam written;
  ASSERT_EQ(readCameraParamPath(dir.file("left.dat"), written), CameraFileStatus::Ok);
  EXPECT_EQ(encodeCameraParam(written), encodeCameraParam(fit->param));
  EXPECT_EQ(written.mat[2], (std::array<double, 4>{0, 0, 1, 0}));

  // A lens without distortion gives the record's own "none".
  const std::optional<CameraParamFit> none = FitCameraParam(k, cv::Vec<double, 5>::all(0.0), result->imageSize, error);
  ASSERT_TRUE(none) << error;
  EXPECT_EQ(none->param.dist_factor, (std::array<double, 4>{k(0, 2), k(1, 2), 0.0, 1.0}));
  EXPECT_LT(none->maxResidual, 1e-6);
}

// Offers frames of the board scene as a video would: two consecutive frames in the middle of each move
// (never taken: the camera moves several pixels a frame there), then the first three of the hold.
CalibrationSession filmScene(const BoardLayout& board, BoardScene& scene, int& found) {
  const BoardDetector detector(board);
  CalibrationSession session(board, cv::Size(scene.width(), scene.height()));
  cv::Mat bgr, gray;
  found = 0;
  for (int station = 0; station < kBoardStations; ++station) {
    const int start = station * (kHoldFrames + kMoveFrames);
    for (const int i : {start - kMoveFrames / 2 - 1, start - kMoveFrames / 2, start, start + 1, start + 2}) {
      if (i < 0) continue;
      scene.render(i, bgr);
      cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
      const std::optional<BoardDetection> detection = detector.detect(gray);
      if (detection && BoardScene::holdingAt(i)) {
        const std::vector<cv::Point2d> truth = scene.cornersAt(i);
        std::vector<double> errors;
        for (std::size_t c = 0; c < detection->ids.size(); ++c)
          errors.push_back(cv::norm(cv::Point2d(detection->imagePoints[c]) - truth[static_cast<std::size_t>(detection->ids[c])]));
        std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.6) << "frame " << i;
        ++found;
      }
      const CalibrationSession::Offer offer = session.offer(detection);
      if (!BoardScene::holdingAt(i)) {
        EXPECT_NE(offer, CalibrationSession::Offer::kTaken) << "moving frame " << i;
      }
    }
  }
  return session;
}

TEST(BoardScenes, CalibrationFindsTheTrueFocalLength) {
  std::string error;
  const std::optional<SourceRequest> charuco = ParseSourceName("board:charuco", error);
  ASSERT_TRUE(charuco) << error;
  EXPECT_EQ(charuco->kind, SourceRequest::Kind::kBoard);
  EXPECT_EQ(charuco->boardKind, BoardLayout::Kind::kCharuco);
  EXPECT_EQ(ParseSourceName("board", error)->boardKind, BoardLayout::Kind::kChessboard);
  EXPECT_FALSE(ParseSourceName("board:circles", error));
  EXPECT_NE(error.find("use board:chessboard or board:charuco"), std::string::npos) << error;
  for (const BoardLayout::Kind kind : {BoardLayout::Kind::kChessboard, BoardLayout::Kind::kCharuco}) {
    BoardSceneSettings settings;
    settings.board = DefaultSceneBoard(kind);
    const std::unique_ptr<BoardScene> scene = BoardScene::Create(settings, error);
    ASSERT_TRUE(scene) << error;
    int found = 0;
    const CalibrationSession session = filmScene(settings.board, *scene, found);
    EXPECT_GE(found, kBoardStations * 3 * 3 / 4) << BoardLayoutText(settings.board);
    const std::optional<CalibrationResult> result = session.calibrate(error);
    ASSERT_TRUE(result) << BoardLayoutText(settings.board) << ": " << error;
    const double truth = scene->intrinsics().fx;
    std::printf("%s: %d views, fx %.3f fy %.3f (truth %.1f), RMS %.4f px\n", BoardLayoutText(settings.board).c_str(),
                session.viewCount(), result->cameraMatrix(0, 0), result->cameraMatrix(1, 1), truth, result->rms);
    EXPECT_NEAR(result->cameraMatrix(0, 0), truth, 0.005 * truth);
    EXPECT_NEAR(result->cameraMatrix(1, 1), truth, 0.005 * truth);
  }
}

TEST(BoardScenes, FilmedThroughALensTheDistortionIsFound) {
  BoardSceneSettings settings;
  settings.distortion = {-0.25, 0.08, 0.0, 0.0, 0.0};
  std::string error;
  const std::unique_ptr<BoardScene> scene = BoardScene::Create(settings, error);
  ASSERT_TRUE(scene) << error;
  int found = 0;
  const CalibrationSession session = filmScene(settings.board, *scene, found);
  const std::optional<CalibrationResult> result = session.calibrate(error);
  ASSERT_TRUE(result) << error;
  std::printf("through a lens: fx %.3f, k1 %.4f (truth -0.25), RMS %.4f px\n", result->cameraMatrix(0, 0),
              result->distortion[0], result->rms);
  EXPECT_NEAR(result->cameraMatrix(0, 0), scene->intrinsics().fx, 0.005 * scene->intrinsics().fx);
  EXPECT_NEAR(result->distortion[0], -0.25, 0.02);
}

// Detections made from the scene's truth at each station, without rendering.
std::vector<BoardDetection> stationViews(const BoardScene& scene) {
  std::vector<BoardDetection> views;
  for (int station = 0; station < kBoardStations; ++station) {
    BoardDetection view;
    view.boardPoints = BoardPoints(scene.board());
    for (const cv::Point2d& p : scene.cornersAt(station * (kHoldFrames + kMoveFrames)))
      view.imagePoints.emplace_back(p);
    for (std::size_t i = 0; i < view.boardPoints.size(); ++i) view.ids.push_back(static_cast<int>(i));
    views.push_back(view);
  }
  return views;
}

TEST(Sessions, TakeStillNewViewsAndRefuseTooFewOrPoorlyCovering) {
  std::string error;
  const std::unique_ptr<BoardScene> scene = BoardScene::Create(BoardSceneSettings{}, error);
  ASSERT_TRUE(scene) << error;
  const std::vector<BoardDetection> views = stationViews(*scene);
  const cv::Size frame(scene->width(), scene->height());

  CalibrationSession video(scene->board(), frame);
  BoardDetection moved = views[0];
  for (cv::Point2f& p : moved.imagePoints) p.x += 3.0f;
  using Offer = CalibrationSession::Offer;
  EXPECT_EQ(video.offer(views[0]), Offer::kMoving);  // nothing to compare with yet
  EXPECT_EQ(video.offer(views[0]), Offer::kTaken);
  EXPECT_EQ(video.offer(moved), Offer::kMoving);
  EXPECT_EQ(video.offer(moved), Offer::kSimilar);  // 3 px is no new view
  EXPECT_EQ(video.offer(std::nullopt), Offer::kNoBoard);
  EXPECT_EQ(video.offer(views[1]), Offer::kMoving);
  EXPECT_EQ(video.offer(views[1]), Offer::kTaken);
  EXPECT_EQ(video.viewCount(), 2);

  CalibrationSession few(scene->board(), frame);
  for (int i = 0; i < 3; ++i) few.add(views[static_cast<std::size_t>(i)]);
  EXPECT_FALSE(few.calibrate(error));
  EXPECT_NE(error.find("3 taken, 7 more needed"), std::string::npos) << error;

  // Every station but those reaching the top-left third of the frame.
  CalibrationSession uncovered(scene->board(), frame);
  for (const BoardDetection& view : views)
    if (!uncovered.measure(view).cells[0]) uncovered.add(view);
  ASSERT_GE(uncovered.viewCount(), 10);
  const Coverage coverage = uncovered.coverage();
  EXPECT_FALSE(coverage.cells[0]);
  EXPECT_FALSE(uncovered.calibrate(error));
  EXPECT_NE(error.find("the board was never seen in the top-left of the frame"), std::string::npos) << error;

  // Only views tilted less than 20 degrees.
  CalibrationSession flat(scene->board(), frame, SessionSettings{.minViews = 4});
  for (const BoardDetection& view : views)
    if (flat.measure(view).tiltDegrees < 20.0) flat.add(view);
  EXPECT_FALSE(flat.calibrate(error));
  EXPECT_NE(error.find("no view tilted by 20 degrees or more"), std::string::npos) << error;

  // All of them: the tilt measured with the assumed focal length is close to the scene's.
  CalibrationSession all(scene->board(), frame);
  for (const BoardDetection& view : views) all.add(view);
  EXPECT_TRUE(all.coverage().complete());
  EXPECT_NEAR(all.coverage().largestTiltDegrees, 50.0, 3.0);
}

}  // namespace
}  // namespace quorl
