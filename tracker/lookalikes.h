#pragma once
// Pictures that look alike, and telling them apart in a frame. A deck of cards that share one photo and differ in a
// printed number, or covers that share a layout, all pass the correlation a find needs when any one of them is in
// view; so a picture verified where one of its lookalikes may be is compared with each of them on the pixels where
// the two differ.
//
// Lookalikes: two pictures whose aspect ratios differ by at most kLookalikeAspect and whose thumbnails (each squeezed
// to kThumbnailSide x kThumbnailSide and normalised) correlate at least kLookalikeCorrelation. Both are taken to show
// the same layout over their whole rectangle, so a view of one lies where the other would.
//
// Telling picture i from its lookalike c in a view: the frame is sampled over picture i's rectangle at the view's own
// resolution (at most kJudgedSide pixels along the longer side), its gain and offset fitted to the mean of the two,
// and projected onto their difference D (both slightly blurred): t = sum D (2 view - i - c) / sum D^2, 1 when the view
// is i, -1 when it is c.
// i is told from c when t >= kTellApart; c is shown when t <= -kTellApart; otherwise the view cannot tell them apart
// (too small, blurred or covered where they differ).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/lens.h"

namespace quorl {

inline constexpr int kThumbnailSide = 16;
inline constexpr double kLookalikeAspect = 0.05;    // relative difference of width / height
// Measured over the 1000 pictures of the compare library and opencv-doc's 91 samples: unrelated pictures' thumbnails
// correlate under 0.28 (99.9th percentile; 0.91 for opencv-doc, whose chessboard shots and consecutive video frames are
// alike), cards sharing a photo 0.99 or more, covers sharing a layout 0.65. Lookalikes are only compared, so a low
// bar costs a little time, never a find.
inline constexpr double kLookalikeCorrelation = 0.5;
inline constexpr int kJudgedSide = 128;       // pixels
inline constexpr int kMinJudgedSide = 16;     // a view smaller than this tells nothing apart
// Measured on the deck scene (about 3000 judgements with 10 and 100 pictures): views of the picture gave 0.4 to 1.3,
// views of a lookalike -2 to -0.3.
inline constexpr double kTellApart = 0.4;
// A picture whose thumbnail correlates with its own half turn at least this much looks alike turned half a turn: a
// find of it may hold its corners half a turn off. Measured: the 52 cards of a standard deck 0.73 to 1 (but the ace of
// spades), the 1000 procedural pictures of the compare library at most 0.57 (99th percentile 0.26), opencv-doc's
// samples under 0.7 but for its symmetric patterns (chessboard, mask and templates: 0.84 to 1).
inline constexpr double kHalfTurnCorrelation = 0.7;

// A picture outside the set can look like pictures inside it (the card of a deck the set left out), and none of its
// lookalikes is then there to compare with; so a find of a picture with lookalikes must also show the picture itself
// everywhere. The view, sampled as above and fitted for gain and offset, is compared with the picture pixel by
// pixel: less the median departure over the 2 kDepartureWindow + 1 level pixels around (light falling unevenly, a
// margin clipped white; a median, so that a badge of another colour stays whole), beyond what a level pixel's shift
// of the picture explains (its gradient) and kAgreeing grey levels more, kept off kDepartureBorder level pixels
// along the picture's border. The root mean square of that over the worst kDepartureWindow-square window must stay
// within the bar for the level the view was judged at (one per level, the miniature itself first); coarser views are
// not judged. Measured at 640x480 on the deck scene's cards and covers (libraries of 1 to 1000 pictures, the real
// deck of 52), the picture scenes table, return, swap, far and steep (through the lens too) and the wall; finds
// refined once more (PolishFind). Level 0: 112 true finds departed at most 22.5, 931 finds of a card the set left
// out at least 24.3; of 11055 true followed views 2 departed more than 24. Level 1: 28 true finds at most 11.9, 5 of
// left-out cards at least 25.4; 1 of 4437 true followed views more than 24. Followed pictures are judged on every
// kAbsentSearchPeriod-th frame only. Light falling a fifth darker across a card departs up to 9; a third darker, up
// to 20. Real photos depart far more (opencv-doc's box in box_in_scene 100, graf1 in graf3 113: other light, another
// camera's softness, things in front), so pictures without lookalikes are never judged so.
inline constexpr int kDepartureWindow = 8;
inline constexpr int kDepartureBorder = 2;
inline constexpr double kFindDepartureBars[] = {23.5, 18.0};
inline constexpr double kFollowDepartureBars[] = {24.0, 24.0};

// `picture` (CV_8UC1) at most kJudgedSide pixels along its longer side, as the judge compares pictures.
cv::Mat Miniature(const cv::Mat& picture);
// Whether a picture, given by its Miniature, looks alike turned half a turn (kHalfTurnCorrelation).
bool AlikeTurned(const cv::Mat& miniature);
inline constexpr const char* kAlikeTurnedWarning =
    "looks the same turned half a turn: where a view cannot tell which way up, it is reported the way up nearer the "
    "frame's";

// A picture as the judge knows it: its miniature, and the miniature's pixels per pixel of the picture the
// homographies map from.
struct LookalikePicture {
  const cv::Mat* miniature = nullptr;
  double scale = 1.0;
};

// The view against picture i and its lookalike c: t above (0 when the view cannot tell them apart), and the view's
// correlation with c.
struct LookalikeContrast {
  double contrast = 0.0;
  double correlation = 0.0;
};

// Other names the lookalike told from i that the view correlates with best.
struct LookalikeVerdict {
  enum class Kind { Distinct, Ambiguous, Other };
  Kind kind = Kind::Distinct;
  std::size_t other = 0;  // Other: the lookalike the view shows
};

// Which way up a view shows a picture that looks alike turned half a turn: as its homography puts it, turned half a
// turn from that, or either (the view cannot tell them apart).
enum class HalfTurnVerdict { Kept, Turned, Either };
struct HalfTurnView {
  HalfTurnVerdict verdict = HalfTurnVerdict::Either;
  // The picture's pixels onto themselves turned half a turn about its centre of symmetry (which a drawing rendered to
  // pixels may hold a fraction of a pixel off the picture's centre): the picture turned is shown by modelToFrame * turn.
  cv::Matx33d turn = cv::Matx33d::eye();
};

// Ownership: keeps pointers to the miniatures given to Build, which must outlive it unchanged; Judge keeps smaller
// copies of those it has compared.
class LookalikeJudge {
 public:
  // Finds the lookalikes among `pictures`.
  void Build(std::vector<LookalikePicture> pictures);
  void Clear();
  const std::vector<std::size_t>& Of(std::size_t i) const { return lookalikes_[i]; }
  bool Has(std::size_t i) const { return i < lookalikes_.size() && !lookalikes_[i].empty(); }
  // Whether picture i looks alike turned half a turn (kHalfTurnCorrelation).
  bool AlikeTurned(std::size_t i) const { return i < alikeTurned_.size() && alikeTurned_[i] != 0; }

  // Which of picture i and its lookalikes a view shows, where `modelToFrame` (picture i's pixels to frame pixels;
  // ideal ones through `lens`) puts picture i in `pyramid` (the frame, level 0 first, each half the size of the one
  // before). Distinct: told from every lookalike; Other: `other` is told from i; Ambiguous otherwise.
  LookalikeVerdict Judge(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                         const FrameLens* lens);
  // Picture i against each of its lookalikes, in the order of Of(i); empty when the view is too small or too little of
  // it lies inside the frame.
  std::vector<LookalikeContrast> Contrasts(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                                const FrameLens* lens);
  // Picture i against itself turned half a turn, as Judge tells a lookalike; Either when the view is too small (then
  // the turn is about the picture's centre).
  HalfTurnView HalfTurn(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                           const FrameLens* lens);
  // Whether the view departs from picture i somewhere more than `bars` allow (one per level, the finest first);
  // false when it cannot be judged (too small, too coarse, too little of it in the frame).
  bool Departs(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
               const FrameLens* lens, std::span<const double> bars);
  // The worst window's departure and the level it was judged at; -1 when the view cannot be sampled.
  double Departure(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                   const FrameLens* lens, int& level);

 private:
  // The view of picture i sampled over the pixels of its miniature's level no finer than the view.
  struct View {
    cv::Mat own;     // the level, as Level gives it
    cv::Mat pixels;  // the view, CV_32F
    cv::Mat inside;  // CV_8U: 1 where the view fell inside the frame
    int count = 0;   // of inside
    int level = 0;   // own's half-octave level
    double width = 0.0, height = 0.0;  // picture i's, in the pixels the homographies map from
  };
  // False when the view is too small or too little of it lies inside the frame.
  bool Sample(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid, const FrameLens* lens,
              View& view);
  // Picture `i`'s miniature at half-octave level `level` (0: itself), resized to `size` unless that is empty, as it is
  // compared (CV_32F, blurred). Read only: the level at its own size is shared with the cache.
  cv::Mat Level(std::size_t i, int level, cv::Size size);

  struct Levels {
    cv::Mat gray;      // CV_8UC1
    cv::Mat compared;  // as Level returns it at its own size
  };

  std::vector<LookalikePicture> pictures_;
  std::vector<std::vector<std::size_t>> lookalikes_;
  std::vector<uint8_t> alikeTurned_;
  std::vector<std::vector<Levels>> levels_;  // per picture, made when first compared
};

}  // namespace quorl
