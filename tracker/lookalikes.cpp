#include "tracker/lookalikes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace quorl {
namespace {

// Thumbnails are compared in fixed point: unit vectors scaled by kThumbnailOne, so that a dot product, at most
// kThumbnailOne squared, fits 32 bits and vectorises (a tenth of the time of a float matrix product at 1000 pictures).
constexpr double kThumbnailOne = 4096.0;
// Within this many grey levels the two pictures agree: the pixels that measure the view's noise.
constexpr float kAgreeing = 8.0f;
// Their difference must stand this many times above the view's noise (t's own noise then stays under 0.2).
constexpr double kDifferenceOverNoise = 10.0;
// The blur (sigma, level pixels) the pictures are compared with: about what sampling a camera's frame adds. Measured on
// the deck scene with 10 and 100 pictures (cards sharing a photo, covers sharing a layout): unblurred, the contrast of
// true views spread from 0.3 to 1 and that of lookalike views from -1 to -0.2; blurred by 0.7 to 0.9, each gathered
// about 1 and -1 and none fell between -0.3 and 0.3 (blurred by 1.2, both overshoot to 1.3 and -2).
constexpr double kLookalikeBlur = 0.8;
// The largest shift (level pixels) between a picture and its half turn taken as the drawing's own offset.
constexpr double kHalfTurnShift = 2.0;
// The share of the picture's samples that must fall inside the frame.
constexpr double kMinInside = 0.5;

double AspectOf(const cv::Mat& picture) { return static_cast<double>(picture.cols) / std::max(1, picture.rows); }

// The picture squeezed to kThumbnailSide square, zero mean and norm kThumbnailOne (all zero for a flat picture).
std::vector<int16_t> Thumbnail(const cv::Mat& picture) {
  cv::Mat small, row;
  cv::resize(picture, small, cv::Size(kThumbnailSide, kThumbnailSide), 0, 0, cv::INTER_AREA);
  small.convertTo(row, CV_64F);
  row = row.reshape(1, 1);
  row -= cv::mean(row)[0];
  const double norm = cv::norm(row);
  std::vector<int16_t> out(kThumbnailSide * kThumbnailSide, 0);
  if (norm > 1e-3)
    for (int k = 0; k < row.cols; ++k)
      out[k] = static_cast<int16_t>(std::lround(row.at<double>(k) / norm * kThumbnailOne));
  return out;
}

double LevelScale(int level) { return std::pow(2.0, -0.5 * level); }

bool ThumbnailAlikeTurned(const std::vector<int16_t>& t) {
  // Turned half a turn, a thumbnail reads backwards.
  int32_t dot = 0;
  for (std::size_t k = 0; k < t.size(); ++k) dot += int32_t{t[k]} * t[t.size() - 1 - k];
  return dot >= static_cast<int32_t>(kHalfTurnCorrelation * kThumbnailOne * kThumbnailOne);
}

// The view against `own` and `other` (the same size, as Level gives them).
LookalikeContrast ContrastOf(const cv::Mat& own, const cv::Mat& other, const cv::Mat& view, const cv::Mat& inside,
                             int count) {
  // Gain and offset of the view against the mean of the two, fitted inside the frame.
  // With the view's correlation with the lookalike alone, over the same pixels.
  double sm = 0, sv = 0, smm = 0, smv = 0, sb = 0, sbb = 0, sbv = 0, svv = 0;
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x) {
      if (!inside.at<uint8_t>(y, x)) continue;
      const double b = other.at<float>(y, x), m = 0.5 * (own.at<float>(y, x) + b), v = view.at<float>(y, x);
      sm += m;
      sv += v;
      smm += m * m;
      smv += m * v;
      sb += b;
      sbb += b * b;
      sbv += b * v;
      svv += v * v;
    }
  const double varM = smm - sm * sm / count, cov = smv - sm * sv / count;
  const double varB = sbb - sb * sb / count, varV = svv - sv * sv / count;
  LookalikeContrast result;
  result.correlation = varB > 1e-6 && varV > 1e-6 ? (sbv - sb * sv / count) / std::sqrt(varB * varV) : 0.0;
  const double gain = varM > 1e-6 ? cov / varM : 0.0;
  if (!(gain > 1e-3)) return result;
  const double offset = (sv - gain * sm) / count;
  double along = 0, difference = 0, noise = 0;
  int agreeing = 0;
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x) {
      if (!inside.at<uint8_t>(y, x)) continue;
      const float a = own.at<float>(y, x), b = other.at<float>(y, x);
      const double v = (view.at<float>(y, x) - offset) / gain, d = a - b;
      along += d * (2.0 * v - a - b);
      difference += d * d;
      if (std::fabs(d) < kAgreeing) {
        noise += (v - a) * (v - a);
        ++agreeing;
      }
    }
  const double sigma = agreeing > 0 ? std::sqrt(noise / agreeing) : 0.0;
  const bool tellable = difference > 0.0 && std::sqrt(difference) >= kDifferenceOverNoise * std::max(sigma, 1.0);
  result.contrast = tellable ? along / difference : 0.0;
  return result;
}

// What shifting `level` (CV_32F) by a pixel changes at each pixel: its gradient's magnitude.
cv::Mat ShiftSlack(const cv::Mat& level) {
  cv::Mat gx, gy, slack;
  cv::Sobel(level, gx, CV_32F, 1, 0, 3, 1.0 / 8.0);
  cv::Sobel(level, gy, CV_32F, 0, 1, 3, 1.0 / 8.0);
  cv::magnitude(gx, gy, slack);
  return slack;
}

}  // namespace

cv::Mat Miniature(const cv::Mat& picture) {
  const double scale = std::min(1.0, static_cast<double>(kJudgedSide) / std::max({picture.cols, picture.rows, 1}));
  if (scale == 1.0 || picture.empty()) return picture.clone();
  cv::Mat small;
  cv::resize(picture, small,
             cv::Size(std::max(1, cvRound(picture.cols * scale)), std::max(1, cvRound(picture.rows * scale))), 0, 0,
             cv::INTER_AREA);
  return small;
}

bool AlikeTurned(const cv::Mat& miniature) { return ThumbnailAlikeTurned(Thumbnail(miniature)); }

void LookalikeJudge::Build(std::vector<LookalikePicture> pictures) {
  pictures_ = std::move(pictures);
  const int n = static_cast<int>(pictures_.size());
  lookalikes_.assign(pictures_.size(), {});
  levels_.assign(pictures_.size(), {});
  alikeTurned_.assign(pictures_.size(), 0);
  constexpr int kLength = kThumbnailSide * kThumbnailSide;
  std::vector<int16_t> thumbnails;
  thumbnails.reserve(static_cast<std::size_t>(n) * kLength);
  for (int i = 0; i < n; ++i) {
    const std::vector<int16_t> t = Thumbnail(*pictures_[i].miniature);
    alikeTurned_[i] = ThumbnailAlikeTurned(t) ? 1 : 0;
    thumbnails.insert(thumbnails.end(), t.begin(), t.end());
  }
  const auto bar = static_cast<int32_t>(kLookalikeCorrelation * kThumbnailOne * kThumbnailOne);
  for (int i = 0; i < n; ++i) {
    const int16_t* a = thumbnails.data() + static_cast<std::size_t>(i) * kLength;
    const double aspect = AspectOf(*pictures_[i].miniature);
    for (int j = i + 1; j < n; ++j) {
      const int16_t* b = thumbnails.data() + static_cast<std::size_t>(j) * kLength;
      int32_t dot = 0;
      for (int k = 0; k < kLength; ++k) dot += int32_t{a[k]} * b[k];
      if (dot >= bar && std::fabs(AspectOf(*pictures_[j].miniature) / aspect - 1.0) <= kLookalikeAspect) {
        lookalikes_[i].push_back(static_cast<std::size_t>(j));
        lookalikes_[j].push_back(static_cast<std::size_t>(i));
      }
    }
  }
}

void LookalikeJudge::Clear() {
  pictures_.clear();
  lookalikes_.clear();
  levels_.clear();
  alikeTurned_.clear();
}

cv::Mat LookalikeJudge::Level(std::size_t i, int level, cv::Size size) {
  std::vector<Levels>& levels = levels_[i];
  const cv::Mat& miniature = *pictures_[i].miniature;
  if (levels.size() <= static_cast<std::size_t>(level)) levels.resize(static_cast<std::size_t>(level) + 1);
  Levels& own = levels[static_cast<std::size_t>(level)];
  const auto compared = [](const cv::Mat& gray) {
    cv::Mat values;
    gray.convertTo(values, CV_32F);
    cv::GaussianBlur(values, values, cv::Size(), kLookalikeBlur);
    return values;
  };
  if (own.gray.empty()) {
    const double scale = LevelScale(level);
    if (level == 0) own.gray = miniature;
    else
      cv::resize(miniature, own.gray,
                 cv::Size(std::max(1, cvRound(miniature.cols * scale)), std::max(1, cvRound(miniature.rows * scale))),
                 0, 0, cv::INTER_AREA);
    own.compared = compared(own.gray);
  }
  if (size.empty() || own.gray.size() == size) return own.compared;
  cv::Mat sized;
  cv::resize(own.gray, sized, size, 0, 0, cv::INTER_AREA);
  return compared(sized);
}

bool LookalikeJudge::Sample(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                            const FrameLens* lens, View& out) {
  const LookalikePicture& picture = pictures_[i];
  if (pyramid.empty() || picture.miniature->empty() || !(picture.scale > 0.0)) return false;
  // The scale the view shows picture i at, and the level of its miniature no finer than that.
  const double width = picture.miniature->cols / picture.scale, height = picture.miniature->rows / picture.scale;
  const cv::Point2d model[4] = {{0, 0}, {width - 1.0, 0}, {width - 1.0, height - 1.0}, {0, height - 1.0}};
  std::vector<cv::Point2f> shown;
  for (const cv::Point2d& m : model) {
    const cv::Vec3d p = modelToFrame * cv::Vec3d(m.x, m.y, 1.0);
    if (p[2] <= 1e-9) return false;
    shown.emplace_back(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
  }
  const double modelArea = std::max(1.0, (width - 1.0) * (height - 1.0));
  const double scale = std::sqrt(std::fabs(cv::contourArea(shown)) / modelArea);
  if (!(scale > 0.0)) return false;
  const int level = std::max(0, static_cast<int>(std::ceil(2.0 * std::log2(picture.scale / scale) - 1e-9)));
  const cv::Mat own = Level(i, level, cv::Size());
  if (std::max(own.cols, own.rows) < kMinJudgedSide) return false;
  // Level pixels per picture pixel, along each axis as rounded.
  const double sx = own.cols / width, sy = own.rows / height;
  const int frameLevel = std::clamp(static_cast<int>(std::floor(std::log2(scale / std::max(sx, sy)))), 0,
                                    static_cast<int>(pyramid.size()) - 1);
  const cv::Mat& image = pyramid[static_cast<std::size_t>(frameLevel)];
  const double toLevel = 1.0 / (1 << frameLevel);

  // The view over picture i's level pixels (pixel centres kept), and which of them fell inside the frame.
  cv::Mat view(own.size(), CV_32F, cv::Scalar(0)), inside(own.size(), CV_8U, cv::Scalar(0));
  int count = 0;
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x) {
      const cv::Vec3d p = modelToFrame * cv::Vec3d((x + 0.5) / sx - 0.5, (y + 0.5) / sy - 0.5, 1.0);
      if (p[2] <= 1e-9) continue;
      cv::Point2d f(p[0] / p[2], p[1] / p[2]);
      if (lens != nullptr) f = lens->Distort(f);
      const double fx = f.x * toLevel, fy = f.y * toLevel;  // the pyramid's levels halve (pyrDown)
      if (!(fx >= 0.0 && fy >= 0.0 && fx < image.cols - 1 && fy < image.rows - 1)) continue;
      const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
      const double ax = fx - x0, ay = fy - y0;
      const uint8_t* r0 = image.ptr<uint8_t>(y0) + x0;
      const uint8_t* r1 = image.ptr<uint8_t>(y0 + 1) + x0;
      view.at<float>(y, x) = static_cast<float>((1 - ay) * ((1 - ax) * r0[0] + ax * r0[1]) +
                                                ay * ((1 - ax) * r1[0] + ax * r1[1]));
      inside.at<uint8_t>(y, x) = 1;
      ++count;
    }
  if (count < kMinInside * own.total()) return false;
  out = View{own, view, inside, count, level, width, height};
  return true;
}

std::vector<LookalikeContrast> LookalikeJudge::Contrasts(std::size_t i, const cv::Matx33d& modelToFrame,
                                                         const std::vector<cv::Mat>& pyramid, const FrameLens* lens) {
  std::vector<LookalikeContrast> contrasts;
  View view;
  if (!Sample(i, modelToFrame, pyramid, lens, view)) return contrasts;
  for (const std::size_t c : lookalikes_[i])
    contrasts.push_back(
        ContrastOf(view.own, Level(c, view.level, view.own.size()), view.pixels, view.inside, view.count));
  return contrasts;
}

HalfTurnView LookalikeJudge::HalfTurn(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                                      const FrameLens* lens) {
  HalfTurnView result;
  const LookalikePicture& picture = pictures_[i];
  const auto turnAbout = [&](double width, double height, cv::Point2d shift) {
    result.turn = cv::Matx33d(-1, 0, width - 1.0 + shift.x, 0, -1, height - 1.0 + shift.y, 0, 0, 1);
  };
  turnAbout(picture.miniature->cols / picture.scale, picture.miniature->rows / picture.scale, {});
  View view;
  if (!Sample(i, modelToFrame, pyramid, lens, view)) return result;
  cv::Mat turned;
  cv::rotate(view.own, turned, cv::ROTATE_180);
  // A picture drawn a fraction of a pixel off its centre differs from its turn by a shift, which the find's refinement
  // (made against the picture) would settle in favour of the way the find put it: the turn is moved onto the picture
  // first; then only the pixels where the two differ by more than a level pixel's shift would explain tell them apart
  // (elsewhere the turn is taken as the picture itself).
  const cv::Point2d shift = cv::phaseCorrelate(turned, view.own);
  if (std::hypot(shift.x, shift.y) <= kHalfTurnShift) {
    cv::warpAffine(turned, turned, cv::Matx23d(1, 0, shift.x, 0, 1, shift.y), turned.size(), cv::INTER_LINEAR,
                   cv::BORDER_REPLICATE);
    turnAbout(view.width, view.height,
              {shift.x * view.width / view.own.cols, shift.y * view.height / view.own.rows});
  }
  const cv::Mat slack = ShiftSlack(view.own);
  view.own.copyTo(turned, cv::abs(view.own - turned) < slack + kAgreeing);
  const double contrast = ContrastOf(view.own, turned, view.pixels, view.inside, view.count).contrast;
  if (contrast >= kTellApart) result.verdict = HalfTurnVerdict::Kept;
  else if (contrast <= -kTellApart) result.verdict = HalfTurnVerdict::Turned;
  return result;
}

double LookalikeJudge::Departure(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                                 const FrameLens* lens, int& level) {
  View view;
  if (!Sample(i, modelToFrame, pyramid, lens, view)) return -1.0;
  level = view.level;
  const cv::Mat& own = view.own;
  double sa = 0, sv = 0, saa = 0, sav = 0;
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x) {
      if (!view.inside.at<uint8_t>(y, x)) continue;
      const double a = own.at<float>(y, x), v = view.pixels.at<float>(y, x);
      sa += a;
      sv += v;
      saa += a * a;
      sav += a * v;
    }
  const double varA = saa - sa * sa / view.count;
  const double gain = varA > 1e-6 ? (sav - sa * sv / view.count) / varA : 0.0;
  if (!(gain > 1e-3)) return -1.0;
  const double offset = (sv - gain * sa) / view.count;
  cv::Mat residual(own.size(), CV_32F, cv::Scalar(0)), counted(own.size(), CV_32F, cv::Scalar(0));
  for (int y = kDepartureBorder; y + kDepartureBorder < own.rows; ++y)
    for (int x = kDepartureBorder; x + kDepartureBorder < own.cols; ++x)
      if (view.inside.at<uint8_t>(y, x)) {
        residual.at<float>(y, x) =
            static_cast<float>((view.pixels.at<float>(y, x) - offset) / gain - own.at<float>(y, x));
        counted.at<float>(y, x) = 1.0f;
      }
  const auto windowSums = [](const cv::Mat& values, int side) {
    cv::Mat sums;
    cv::boxFilter(values, sums, CV_32F, cv::Size(side, side), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    return sums;
  };
  cv::Mat shifted, median;
  residual.convertTo(shifted, CV_8U, 1.0, 128.0);
  cv::medianBlur(shifted, median, 2 * kDepartureWindow + 1);
  const cv::Mat slack = ShiftSlack(own);
  cv::Mat squares(own.size(), CV_32F, cv::Scalar(0));
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x)
      if (counted.at<float>(y, x) > 0.0f) {
        const float r = residual.at<float>(y, x) - (median.at<uint8_t>(y, x) - 128.0f);
        const float e = std::max(0.0f, std::fabs(r) - slack.at<float>(y, x) - kAgreeing);
        squares.at<float>(y, x) = e * e;
      }
  // Windows at least half inside the frame and off the border.
  const cv::Mat sums = windowSums(squares, kDepartureWindow);
  const cv::Mat counts = windowSums(counted, kDepartureWindow);
  const float half = 0.5f * kDepartureWindow * kDepartureWindow;
  float worst = 0.0f;
  for (int y = 0; y < own.rows; ++y)
    for (int x = 0; x < own.cols; ++x)
      if (counts.at<float>(y, x) >= half) worst = std::max(worst, sums.at<float>(y, x) / counts.at<float>(y, x));
  return std::sqrt(worst);
}

bool LookalikeJudge::Departs(std::size_t i, const cv::Matx33d& modelToFrame, const std::vector<cv::Mat>& pyramid,
                             const FrameLens* lens, std::span<const double> bars) {
  int level = 0;
  const double departure = Departure(i, modelToFrame, pyramid, lens, level);
  return departure >= 0.0 && level < static_cast<int>(bars.size()) && departure > bars[static_cast<std::size_t>(level)];
}

LookalikeVerdict LookalikeJudge::Judge(std::size_t i, const cv::Matx33d& modelToFrame,
                                       const std::vector<cv::Mat>& pyramid, const FrameLens* lens) {
  LookalikeVerdict verdict;
  if (!Has(i)) return verdict;
  const std::vector<LookalikeContrast> contrasts = Contrasts(i, modelToFrame, pyramid, lens);
  if (contrasts.empty()) {
    verdict.kind = LookalikeVerdict::Kind::Ambiguous;
    return verdict;
  }
  // Of the lookalikes told from i, the one the view correlates with best.
  const LookalikeContrast* shown = nullptr;
  bool distinct = true;
  for (const LookalikeContrast& c : contrasts) {
    distinct = distinct && c.contrast >= kTellApart;
    if (c.contrast <= -kTellApart && (shown == nullptr || c.correlation > shown->correlation)) shown = &c;
  }
  if (shown != nullptr) {
    verdict.kind = LookalikeVerdict::Kind::Other;
    verdict.other = lookalikes_[i][static_cast<std::size_t>(shown - contrasts.data())];
  } else if (!distinct) {
    verdict.kind = LookalikeVerdict::Kind::Ambiguous;
  }
  return verdict;
}

}  // namespace quorl
