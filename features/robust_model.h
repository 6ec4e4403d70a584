#pragma once
// The model of the robust tracking mode: oriented keypoints of the registered target over a wide range
// of scales, the points followed from frame to frame, and the registration that builds them.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "features/descriptor.h"
#include "features/keypoint_index.h"
#include "features/robust_params.h"
#include "image/quib_image.h"

namespace quorl {

// Scales at which the target region is searched for keypoints (a keypoint of scale s is what the target
// shows when it appears s times its registered size).
inline constexpr std::array<double, 7> kRobustScales = {0.35, 0.5, 0.7, 1.0, 1.4, 2.0, 2.8};

// A model keypoint: its registered-frame position (pixel centres at integers), its scale slot, the Z_11 phase of
// its patch where it was found and the view it was found in (0: the target straight on at its slot's scale;
// k > 0: RobustModel::tilts[k - 1]).
struct ModelPoint {
  cv::Point2f position;
  int slot = 0;
  float orientation = 0.0f;
  int view = 0;
};

// A view of the target tilted away from the camera: `map` takes registered-frame offsets to the view's pixels
// (scale, rotation and foreshortening); a point's slot is the scale nearest the view's area scale.
struct TiltView {
  cv::Matx22f map = cv::Matx22f::eye();
};

// Ownership: the model owns everything it holds; rebuilt whole by RegisterRobustModel.
struct RobustModel {
  cv::Mat image;                          // the registered frame, CV_8UC1
  std::array<cv::Point2f, 4> quad{};      // clicked corners, registered-frame pixels
  std::vector<ModelPoint> points;
  // The straight points (view 0) first, then the tilted views' points.
  std::vector<KeypointDescriptor> descriptors;  // descriptor i belongs to points[i]
  // Kd-trees over the straight points' descriptors and over the tilted ones' (apart, so that a tilted view's points
  // do not compete with the straight ones in the ratio rule), and the count of straight points; made by BuildTrees.
  ExactKdTree tree, tiltTree;
  std::size_t straightPoints = 0;
  std::vector<double> scales;             // the scale of each slot, ascending
  std::vector<TiltView> tilts;            // the views of points with view > 0
  std::vector<cv::Point2f> trackPoints;   // registered-frame positions followed by optical flow
  int barrier = 0;                        // the registration barrier chosen
  int arc = 10;                           // FAST arc length used

  bool empty() const { return points.size() < 2; }
  void BuildTrees();
  cv::Point2f centre() const { return (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25f; }
  // Half the longer diagonal of the quad, in registered-frame pixels.
  double radius() const;
};

// Builds `model` from `gray` (CV_8UC1) inside `quad` (registered-frame pixels, click order) with FAST-`arc` corners, at
// every one of `scales` (ascending) with the barrier ChooseModelBarrier picks (a `picture`: each scale softened
// by params.pictureBlur, with its own barrier for params.pictureCornerGoal corners, `barrier` the lowest), and the
// points followed by optical flow. A picture is also seen tilted as params.pictureTilts describes, those points
// after all the straight ones. Only the quad's surroundings are resampled, so the cost follows the quad's size. A
// quad with no area inside the picture leaves a model with no points.
void RegisterRobustModel(RobustModel& model, const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, int arc,
                         const RobustParams& params, std::span<const double> scales = kRobustScales,
                         bool picture = false);

// Scale slot of `model` nearest to `scale` (by ratio).
int NearestScaleSlot(const RobustModel& model, double scale);

// The registration barrier: the smallest in params.minModelBarrier..maxModelBarrier that leaves at most
// params.modelCornerGoal corners of `gray` inside `quad` at scale 1, chosen on the quad alone so that a busy background
// does not push it up (params.minModelBarrier when there are none).
int ChooseModelBarrier(const cv::Mat& gray, const std::array<cv::Point2f, 4>& quad, int arc,
                       const RobustParams& params);

// A CV_8UC1 header over the pixels of `gray` (no copy; valid while `gray` lives unchanged), and a copy of
// a CV_8UC1 picture as a GrayImage (empty for an empty picture).
cv::Mat GrayMatView(const GrayImage& gray);
GrayImage ToGrayImage(const cv::Mat& gray);

// Registered-frame position of pixel `p` of a copy of the region starting at `origin` resized by `scale`
// (pixel centres kept: x = origin + (p + 0.5) / scale - 0.5).
cv::Point2f ScaledToRegistered(cv::Point2f p, cv::Point origin, double scale);

}  // namespace quorl
