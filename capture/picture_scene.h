#pragma once
// The picture scene: several pictures lying on a table, filmed by a moving camera under webcam-like light
// (vignetting, a slow gain change, defocus, sensor noise, JPEG blocks), with the true corners of each.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/lens.h"
#include "capture/frame_source.h"
#include "capture/lens_view.h"
#include "capture/synthetic_scene.h"

namespace quorl {

// Camera paths over the pictures, 30 frames per second. The pictures lie side by side, 0.25 units wide
// each (their aspect ratios kept), turned a little on the table.
//  kTable:  the camera circles above them at 0.5 to 1.6 units, tilted 10 to 45 degrees: every picture
//           in view, from about a third of the picture height down to a tenth.
//  kReturn: as kTable at 0.8 units, panning so that the first picture leaves the view and comes back
//           every 8 seconds.
//  kSwap:   as kTable, while the second picture is replaced by another picture (not one of the targets)
//           for the middle 2 of every 6 seconds.
//  kFar:    the camera backs away to 3 units and comes back (10 s cycle): the pictures down to a few
//           percent of their pixels.
//  kDeck:   a few of many pictures at a time, as cards dealt from a deck: kDeckSlots places side by side, each
//           showing the next picture every kDeckPeriod seconds (the places in turn), empty for the first
//           kDeckGap seconds of each; the camera circles above them at 0.7 to 1.1 units. Place j shows the
//           pictures j, j + kDeckSlots, ... in turn, so the given order decides which lookalikes meet.
//  kWall:   pictures hung in rows of kWallRow (20 make four rows), the camera 2 to 2.4 units before them, swaying
//           10 to 30 degrees off their axis: every picture in view at once, about 70 pixels wide at 640x480.
//  kSteep:  the pictures seen from the side: the camera 0.7 to 0.9 units away, 50 to 65 degrees off their axis and
//           turning around them; for the last kSteepAway of every kSteepPeriod seconds it looks away, so that each
//           picture comes into view again, steeply, every period.
enum class PictureProfile { kTable, kReturn, kSwap, kFar, kDeck, kWall, kSteep };
inline constexpr int kDeckSlots = 3;
inline constexpr double kDeckPeriod = 4.0;
inline constexpr double kDeckGap = 0.3;
inline constexpr int kWallRow = 5;
inline constexpr double kSteepPeriod = 5.0;
inline constexpr double kSteepAway = 1.0;
std::span<const PictureProfile> AllPictureProfiles();
std::optional<PictureProfile> ParsePictureProfile(std::string_view name);
const char* PictureProfileName(PictureProfile profile);
std::string PictureProfileList();

class PictureScene final : public FrameSource {
 public:
  // `pictures` (8-bit BGR) under `names`, at least one. Nothing, with `error`, for an invalid size or no
  // pictures.
  static std::unique_ptr<PictureScene> Create(int width, int height, PictureProfile profile, uint32_t seed,
                                              std::vector<cv::Mat> pictures, std::vector<std::string> names,
                                              std::string& error);

  bool read(std::vector<uint8_t>& packed) override;
  int width() const override { return width_; }
  int height() const override { return height_; }
  std::string description() const override;
  double frameRate() const override { return 30.0; }
  bool setFrameSize(int width, int height) override;
  // Films through `lens` (rescaled to the frame size, and again at every frame size; its intrinsics replace the
  // default camera's) from the next frame on. False, changing nothing, for a lens the scene cannot use.
  bool setLens(const CameraLens& lens, std::string& error);
  std::vector<TargetTruth> trueTargets() const override { return truth_; }
  bool knowsTargets() const override { return true; }

  // Renders frame `index` into `bgr` and gives each picture's truth, without advancing.
  void render(int index, cv::Mat& bgr, std::vector<TargetTruth>& truth) const;

 private:
  PictureScene() = default;
  struct Placed;

  int width_ = 0, height_ = 0;
  PictureProfile profile_ = PictureProfile::kTable;
  uint32_t seed_ = 1;
  std::vector<std::vector<cv::Mat>> levels_;  // per picture: mip levels, each half the one before
  std::vector<std::string> names_;
  std::vector<cv::Mat> decoyLevels_;
  cv::Mat table_;
  mutable cv::Mat vignette_;  // the lens's fall-off for the frame size, 3 channels; made on first use
  std::vector<TargetTruth> truth_;
  int next_ = 0;
  std::optional<CameraLens> lens_;            // as given
  std::shared_ptr<const LensView> lensView_;  // at the frame size
};

}  // namespace quorl
