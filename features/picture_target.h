#pragma once
// Targets given as picture files: the whole picture is the target. Reading and checking the file, the
// scales its model covers (a picture is seen from a small part of its pixel size to larger than it), and
// how well it will track.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "features/robust_model.h"
#include "features/robust_params.h"

namespace quorl {

// A picture file is refused when a side is under kMinPictureSide pixels (too few corners to track) or over
// kMaxPictureSide, it has more than kMaxPicturePixels pixels, or its shorter side would be under
// kMinPictureSide at its working size.
inline constexpr int kMinPictureSide = 32;
inline constexpr int kMaxPictureSide = 16384;
inline constexpr long long kMaxPicturePixels = 64LL * 1000 * 1000;
// Pictures are worked on with their longer side at most this long (larger ones are reduced first); the
// model's pixels are those of the reduced picture.
inline constexpr int kPictureWorkingSide = 1024;

// Model scales of a picture of `longerSide` working pixels, ascending: from 1.5 down by steps of sqrt(2)
// to where the picture would be under 48 pixels long, at most 12 scales. A camera sees a poster or a box
// from far (a few percent of its pixels) to near (larger than the picture itself).
std::vector<double> PictureScales(int longerSide);
// Refinement template scales of a picture: 1 and each half of the one before while the picture stays
// over 48 pixels long.
std::vector<double> PictureTemplateScales(int longerSide);

// Empty for a picture of width x height within the side and pixel limits above; otherwise the reason
// ("40000x40000 pixels; a target picture may have at most ...").
std::string PictureSizeProblem(int width, int height);

// A picture (8-bit gray or BGR, as read from its file) checked and made ready to be a target: gray at its
// working size. Empty, with `error` ("<name>: <reason>"), for an empty picture (a file that could not be
// read), another pixel type, or a size outside the limits.
cv::Mat PrepareTargetPicture(const cv::Mat& picture, const std::string& name, std::string& error);

// How well a picture will track, from its model's points at scale 1: how many there are (`corners`), how
// evenly they cover the picture (`spread`: the share of an 8 x 8 grid's cells holding one), and how
// distinct they are (`distinctness`: the share with no other point of the picture, a patch or more away,
// nearly alike, so that repeated patterns count against it). `score`, 0..1, is the distinctness times the
// square root of the spread times the count's share of kGoodCorners (at most 1); below kPoorTrackability the picture is poor and `warning`
// says so ("few distinct corners: this picture will track poorly").
inline constexpr int kGoodCorners = 150;
inline constexpr double kPoorTrackability = 0.2;
inline constexpr const char* kPoorPictureWarning = "few distinct corners: this picture will track poorly";
struct Trackability {
  int corners = 0;
  double spread = 0.0;
  double distinctness = 0.0;
  double score = 0.0;
  bool poor() const { return score < kPoorTrackability; }
};
Trackability RateTrackability(const RobustModel& model);

}  // namespace quorl
