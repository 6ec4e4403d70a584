#pragma once
// Several targets given as pictures, followed at once beside the clicked target. Each picture is a robust
// target whose model covers a wide range of scales; one search structure over all of their points (for many
// pictures, a vocabulary of their descriptors) finds any of them in a frame, so a known picture that is absent
// costs little. Each target has its own state
// (detecting until first found, then tracking / holding / lost) and pose.

#include <array>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/camera_setup.h"
#include "features/model.h"
#include "features/picture_search.h"
#include "features/picture_target.h"
#include "geometry/pose.h"
#include "image/corners.h"
#include "image/dib_image.h"
#include "tracker/lookalikes.h"
#include "tracker/robust_tracker.h"

namespace quorl {

enum class TrackingState;

// A picture found by the global search needs this correlation (RobustParams::foundCorrelation): a real
// photo of a printed picture under other light correlates less than a frame of the clicked target does
// (measured: opencv-doc's box photo in its cluttered scene 0.73; decoys on the picture scenes under 0.5).
inline constexpr double kPictureFoundCorrelation = 0.65;

// The share of a picture's refinement samples that must fall inside the frame (RobustParams::minCoverage):
// a picture seen at one and a half times its size in a 640x480 frame shows a fifth of itself.
inline constexpr double kPictureMinCoverage = 0.1;

// Frame pixels per followed point of a picture (RobustParams::flowPointArea).
inline constexpr double kPictureFlowPointArea = 400.0;
// Refinement samples per level of a picture's templates (RobustParams::templateSamples): its views are
// mostly small; measured at 640x480, 800 keep the error under a pixel at half the time of 1500.
inline constexpr int kPictureTemplateSamples = 800;

// While some pictures are followed, those absent are searched for on every kAbsentSearchPeriod-th frame
// only (a picture lost moments ago, on every frame): measured at 640x480, one global search over ten
// pictures costs about 6 ms; every 8th frame keeps an absent picture's cost under 0.2 ms a frame, and a
// picture coming back into view is found within a third of a second.
inline constexpr long long kAbsentSearchPeriod = 8;

// From kSearchedPictures pictures on, the exact kd-tree over all their points gives way to a PictureSearch (a
// forest searched with a fixed number of comparisons per corner) on every frame with a picture absent. Its
// approximate matches only choose candidates: of the absent pictures, those lost moments ago and the
// kVerifiedPictures whose candidates hold the largest pose-vote clusters (of at least kCandidateCluster) are
// matched again on their own (MatchGlobally), then estimated and verified as before, with the same pose votes and
// correlation. A frame's search so costs about the same on every frame and whatever the number of pictures.
// Measured at 640x480 on one core, three of 100 or 1000 procedural pictures in view, on the table and return scenes
// (bench_library, BM_SearchFrame): with 2 verified, the third picture was first found 150 frames late at 100
// pictures; with 3, on the first frame (at 1000, one of the three waited 151 frames, 191 with the exact tree; the
// set's barrier, risen once two are followed, leaves it few corners). A shown picture's candidate cluster was 3
// to 30, a few other pictures' 3: a cluster of 4 took the median from 13.7 to 9.9 ms per frame at 100 pictures
// and found as often; no false find in either.
// kSearchedPictures is set between 10 pictures, where the exact tree takes 6 ms a frame and finds all three at
// once, and 100, where it found the third only after 191 frames and its searches every 8th frame put the 95th
// percentile at 39 ms (150 ms at 1000 pictures; 17 and 14 ms with the forest).
inline constexpr std::size_t kSearchedPictures = 32;
// Points of pictures outside a library, put into the leaves of the library's forest, at most this share of its own
// (the leaves then hold more than kForestLeafSize points, and a frame's comparisons reach fewer of them). Measured on
// the deck scene at 640x480, one thread, against a forest built over all (1.2 s at 1000 pictures): 100 library
// pictures and one more, 10.4 ms a frame and 97.0 % success (10.6 ms, 99.9 %; the library alone 98.6 %); 1000 and ten
// more, 12.2 ms and 94.2 % (12.3 ms, 92.3 %; alone 94.2 %). Not measured near the bar.
inline constexpr double kForestAddedShare = 0.25;
inline constexpr int kCandidateCluster = 4;
inline constexpr std::size_t kVerifiedPictures = 3;

// A find that shows a lookalike of the picture sought is handed to that lookalike; at most this many times in a row,
// each judged anew (a view of one card of a deck may first be judged nearer another than itself).
inline constexpr int kLookalikeHandoffs = 3;

// While no picture is followed, the global search describes the frame's corners at most at this barrier,
// so that small and soft views of a picture keep their corners when the set's barrier has risen over a
// busy background (measured at 320x240: first finds half as late as at the set's barrier).
inline constexpr int kPictureSearchBarrier = 20;

// One picture target. The model's pixels are the working picture's (see PrepareTargetPicture).
struct PictureTarget {
  std::string name;
  double width = 0.0;           // printed width in metres; 0: model units (the picture 200 wide)
  cv::Size fileSize;            // of the picture as given, pixels
  double workingScale = 1.0;    // working pixels per given pixel
  Trackability trackability;
  cv::Mat miniature;            // the working picture as lookalikes are told apart (Miniature)
  RobustTracker robust;
  TrackingState state{};        // Detecting until first found
  bool everFound = false;
  Quad currentQuad{};
  Quad lastValidQuad{};
  int32_t missCount = 0;
  // Tracking: the estimate; holding: the last valid one; otherwise -1 each.
  std::array<cv::Point2d, 4> corners{};
  // Given-picture pixels to frame pixels while tracking or holding, else zero.
  cv::Matx33d homography = cv::Matx33d::zeros();
  // Drawn on: the pose of the picture modelled 200 wide (as the clicked target's square), centred.
  PoseEstimate pose;
  int matches = 0;  // as FrameReport counts them
  int inliers = 0;

  // The picture's corners in model units (200 wide), clockwise from the top-left, centred on the origin.
  CornerSet ModelRectangle() const;
};

// Writes `pose` of a target shown at `corners` (frame pixels) whose corners in its own plane are `model`: the
// homography from `model` to the corners re-centred on the frame centre, and with a calibration the modelview. Through
// a `lens` (for the frame's size) the modelview comes from PlanarPose on the undistorted corners with the lens's
// intrinsics (NaN when that fails); otherwise it is split from the homography with the focal lengths of `camera`,
// taking the frame centre as the principal point.
void ComputeTargetPose(const CameraSetup& camera, const FrameLens* lens, int frameWidth, int frameHeight,
                       const CornerSet& model, const std::array<cv::Point2d, 4>& corners, PoseEstimate& pose);

// A target with the pictures' tracking parameters and its starting state (detecting), without a model.
PictureTarget NewPictureTarget();
// The target of `picture` as TargetSet::Add builds it, on its own: independent builds may run on several threads
// at once.
PictureTarget BuildPictureTarget(const std::string& name, const cv::Mat& picture, cv::Size fileSize, double width,
                                 int arc);

// Ownership: the set owns its targets and their search structure; frames are processed one at a time.
class TargetSet {
 public:
  // Adds `picture` (gray at its working size, from PrepareTargetPicture; `fileSize`
  // the size it was given at) under `name`, with FAST-`arc` corners. `width` in metres, 0 for model
  // units. Returns the new target. The target is built whole first: when that throws, the set is unchanged.
  const PictureTarget& Add(const std::string& name, const cv::Mat& picture, cv::Size fileSize, double width, int arc);
  // Adds targets already built (BuildPictureTarget, or read from a picture library), each under its name made
  // unique (UniqueName). `forest`, a PictureSearch's trees over exactly `prepared` (as a library keeps them), spares
  // Index building them: the set searches with the largest forest given, the other targets' points put into its
  // trees while they are at most kForestAddedShare of its own (else it builds one forest over all).
  void AddPrepared(std::vector<PictureTarget> prepared, std::vector<PictureSearch::Tree> forest = {});
  // `name`, or the first of name-2, name-3, ... that no target and not the clicked target (kClickedTargetName) has.
  std::string UniqueName(const std::string& name) const;
  void Clear();
  // Called with each new target once it is built, before it joins the set: a test seam that can make the build
  // fail by throwing.
  std::function<void(const PictureTarget&)> built;
  bool empty() const { return targets_.empty(); }
  const std::vector<PictureTarget>& targets() const { return targets_; }
  // Targets tracking in the last frame.
  int found() const;

  // Follows every target into `gray`: those tracked in the last frame by their own motion, the others by
  // one global search over all pictures at once. Draws each shown target's outline and name into
  // `display` and computes its pose with `camera` (when calibrated; see ComputeTargetPose). The set adapts
  // its own detector barrier as tracked frames do. Through a `lens` (for the frame's size) the estimates and
  // homographies are in ideal pixels; corners and outlines stay in frame pixels.
  void Track(const GrayImage& gray, DibImage& display, const CameraSetup& camera, const FrameLens* lens = nullptr);
  // Forgets every target's motion (after a frame size change or an error); models stay.
  void RestartMotion();
  // Builds the search structure over the targets; Track does when they have changed since it was built.
  void Index();

 private:
  // Target i's model with its kd-tree, built on first use (a library's pictures come without).
  const RobustModel& Matchable(std::size_t i);
  // search_'s candidate matches of every wanted target, in the set's order.
  std::vector<std::vector<PointMatch>> Candidates(const FrameFeatures& features, const std::vector<uint8_t>& wanted,
                                                  const RobustParams& params) const;

  std::vector<PictureTarget> targets_;
  // Trees given with targets first..first+count-1, until Index adopts them.
  struct GivenForest {
    std::size_t first = 0, count = 0;
    std::vector<PictureSearch::Tree> trees;
  };

  std::vector<const RobustModel*> models_;  // of targets_, in order; rebuilt with index_ or search_
  TargetIndex index_;       // under kSearchedPictures pictures
  PictureSearch search_;    // from kSearchedPictures pictures on
  std::vector<std::size_t> searchOrder_;          // the target of each of search_'s models
  std::vector<const RobustModel*> searchModels_;  // search_'s models, in its order
  std::size_t adoptedFirst_ = 0, adoptedCount_ = 0;  // the targets whose given forest search_ holds (0: none)
  std::vector<GivenForest> forests_;
  LookalikeJudge lookalikes_;  // over the targets' pictures; rebuilt with index_ or search_
  TrackerSettings detector_;  // the set's barrier
  long long frames_ = 0;      // frames tracked
  bool indexed_ = true;       // the search structure is over targets_ as they are
};

}  // namespace quorl
