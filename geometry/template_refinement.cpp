#include "geometry/template_refinement.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "geometry/bilinear.h"

namespace quorl {
namespace {

// Normalised template coordinates from registered-frame pixels, and back.
cv::Matx33d Normaliser(const RefinementTemplate& t) {
  return cv::Matx33d(1.0 / t.scale, 0.0, -t.centre.x / t.scale, 0.0, 1.0 / t.scale, -t.centre.y / t.scale, 0.0, 0.0,
                     1.0);
}

cv::Matx33d LevelScale(int level) {
  const double s = std::ldexp(1.0, -level);
  return cv::Matx33d(s, 0.0, 0.0, 0.0, s, 0.0, 0.0, 0.0, 1.0);
}

TemplateLevel BuildLevel(const cv::Mat& image, int level, const std::array<cv::Point2f, 4>& corners,
                         const RefinementTemplate& t, const RobustParams& params) {
  TemplateLevel out;
  out.level = level;
  const float down = static_cast<float>(std::ldexp(1.0, -level));
  std::vector<cv::Point> polygon;
  for (const cv::Point2f& c : corners) polygon.emplace_back(cvRound(c.x * down), cvRound(c.y * down));
  cv::Mat mask = cv::Mat::zeros(image.size(), CV_8UC1);
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
  const int margin = static_cast<int>(std::ceil(params.templateEdgeMargin));
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * margin + 1, 2 * margin + 1)));
  const cv::Rect box = cv::boundingRect(mask);
  if (box.area() == 0) return out;

  cv::Mat gx, gy;
  cv::Sobel(image, gx, CV_32F, 1, 0, 3, 1.0 / 8.0);
  cv::Sobel(image, gy, CV_32F, 0, 1, 3, 1.0 / 8.0);
  const int inside = cv::countNonZero(mask(box));
  const int cell = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(inside) / params.templateSamples)));
  // Per cell the pixel of strongest gradient.
  for (int cy = box.y; cy < box.y + box.height; cy += cell) {
    for (int cx = box.x; cx < box.x + box.width; cx += cell) {
      float best = params.minSampleGradient * params.minSampleGradient;
      cv::Point at(-1, -1);
      for (int y = cy; y < std::min(cy + cell, box.y + box.height); ++y) {
        for (int x = cx; x < std::min(cx + cell, box.x + box.width); ++x) {
          if (mask.at<uint8_t>(y, x) == 0) continue;
          const float a = gx.at<float>(y, x), b = gy.at<float>(y, x);
          if (a * a + b * b > best) {
            best = a * a + b * b;
            at = {x, y};
          }
        }
      }
      if (at.x < 0) continue;
      AddTemplateSample(out, t, at, image.at<uint8_t>(at), gx.at<float>(at), gy.at<float>(at));
    }
  }
  return out;
}

}  // namespace

void AddTemplateSample(TemplateLevel& lvl, const RefinementTemplate& t, cv::Point at, uint8_t value, float gx, float gy) {
  // The warp Jacobian is taken at the normalised position. Powers of two are exact either way: 2^level as a shift
  // spares a library's millions of samples their ldexp.
  const double up = static_cast<double>(1 << lvl.level);
  const double toUnit = up / t.scale;
  const float gradientScale = static_cast<float>(t.scale * (1.0 / up));
  const double px = at.x * up, py = at.y * up;
  const double u = at.x * toUnit - t.centre.x / t.scale, v = at.y * toUnit - t.centre.y / t.scale;
  const float du = gx * gradientScale, dv = gy * gradientScale;
  lvl.points.emplace_back(static_cast<float>(px), static_cast<float>(py));
  lvl.values.push_back(value);
  const float fu = static_cast<float>(u), fv = static_cast<float>(v);
  lvl.steepest.push_back(cv::Vec<float, 8>(du * fu, dv * fu, du * fv, dv * fv, du, dv, -fu * (du * fu + dv * fv),
                                           -fv * (du * fu + dv * fv)));
}

cv::Point LevelPixel(const TemplateLevel& lvl, std::size_t i) {
  const double down = std::ldexp(1.0, -lvl.level);
  return {cvRound(lvl.points[i].x * down), cvRound(lvl.points[i].y * down)};
}

cv::Point2f LevelGradient(const TemplateLevel& lvl, const RefinementTemplate& t, std::size_t i) {
  // The steepest row's last-but-two entries are the gradient times the level's gradient scale; Sobel gradients
  // are in eighths of a grey level, so the division is rounded back to them.
  const float gradientScale = static_cast<float>(t.scale * std::ldexp(1.0, -lvl.level));
  const auto eighths = [&](float d) { return static_cast<float>(std::round(8.0 * d / gradientScale)) / 8.0f; };
  return {eighths(lvl.steepest[i][4]), eighths(lvl.steepest[i][5])};
}

namespace {

// Warped frame values at the samples of `lvl` under `a` (normalised template to frame-level pixels);
// `inside` marks the samples that fell where the frame can be sampled.
// Through a `lens`, `a` maps to ideal pixels of the level, which the lens carries to frame pixels.
int WarpSamples(const TemplateLevel& lvl, const RefinementTemplate& t, const cv::Mat& image, const cv::Matx33d& a,
                const FrameLens* lens, std::vector<float>& warped, std::vector<uint8_t>& inside) {
  const double s = std::ldexp(1.0, -lvl.level);
  const std::size_t n = lvl.points.size();
  warped.assign(n, 0.0f);
  inside.assign(n, 0);
  int count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = (lvl.points[i].x - t.centre.x) / t.scale, v = (lvl.points[i].y - t.centre.y) / t.scale;
    const double w = a(2, 0) * u + a(2, 1) * v + a(2, 2);
    if (!(w > 1e-9)) continue;
    double x = (a(0, 0) * u + a(0, 1) * v + a(0, 2)) / w;
    double y = (a(1, 0) * u + a(1, 1) * v + a(1, 2)) / w;
    if (lens != nullptr) {
      const cv::Point2d d = lens->Distort(cv::Point2d(x / s, y / s));
      x = d.x * s;
      y = d.y * s;
    }
    if (SampleBilinear(image, x, y, warped[i])) {
      inside[i] = 1;
      ++count;
    }
  }
  return count;
}

// Residuals of the warped values of the `inside` samples against the template (0 elsewhere), with the gain and offset
// that match the warped values of the `use` samples to the template's, and the cutoff beyond which a residual counts as
// an outlier: `sigmas` robust standard deviations.
float Residuals(const TemplateLevel& lvl, const std::vector<float>& warped, const std::vector<uint8_t>& use,
                const std::vector<uint8_t>& inside, double sigmas, std::vector<float>& residual) {
  double n = 0, si = 0, st = 0, sii = 0, stt = 0;
  for (std::size_t i = 0; i < warped.size(); ++i) {
    if (!use[i]) continue;
    n += 1;
    si += warped[i];
    st += lvl.values[i];
    sii += double{warped[i]} * warped[i];
    stt += double{lvl.values[i]} * lvl.values[i];
  }
  n = std::max(n, 1.0);
  const double meanI = si / n, meanT = st / n;
  const double sdI = std::sqrt(std::max(1e-6, sii / n - meanI * meanI));
  const double sdT = std::sqrt(std::max(1e-6, stt / n - meanT * meanT));
  const double gain = sdT / sdI;
  residual.assign(warped.size(), 0.0f);
  std::vector<float> magnitudes;
  for (std::size_t i = 0; i < warped.size(); ++i) {
    if (!inside[i]) continue;
    residual[i] = static_cast<float>((warped[i] - meanI) * gain + meanT - lvl.values[i]);
    magnitudes.push_back(std::fabs(residual[i]));
  }
  if (magnitudes.empty()) return 0.0f;
  auto middle = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
  std::nth_element(magnitudes.begin(), middle, magnitudes.end());
  return static_cast<float>(sigmas * 1.4826 * std::max(1.0f, *middle));
}

// Normalised correlation of the warped values with the template over the samples inside the frame.
double Correlation(const TemplateLevel& lvl, const std::vector<float>& warped, const std::vector<uint8_t>& inside) {
  double n = 0, si = 0, st = 0, sii = 0, stt = 0, sit = 0;
  for (std::size_t i = 0; i < warped.size(); ++i) {
    if (!inside[i]) continue;
    const double a = warped[i], b = lvl.values[i];
    n += 1;
    si += a;
    st += b;
    sii += a * a;
    stt += b * b;
    sit += a * b;
  }
  if (n < 2) return -1.0;
  const double vi = sii - si * si / n, vt = stt - st * st / n;
  if (vi <= 1e-9 || vt <= 1e-9) return 0.0;
  return (sit - si * st / n) / std::sqrt(vi * vt);
}

// Largest shift, in frame-level pixels, of the normalised unit square's corners under the step warp.
double StepShift(const cv::Matx33d& a, const cv::Matx33d& step) {
  double shift = 0.0;
  for (const auto& [u, v] : {std::pair{-0.7, -0.7}, {0.7, -0.7}, {0.7, 0.7}, {-0.7, 0.7}}) {
    const cv::Vec3d p = a * cv::Vec3d(u, v, 1.0), q = a * (step * cv::Vec3d(u, v, 1.0));
    if (std::fabs(p[2]) < 1e-12 || std::fabs(q[2]) < 1e-12) return 1e9;
    shift = std::max(shift, std::hypot(p[0] / p[2] - q[0] / q[2], p[1] / p[2] - q[1] / q[2]));
  }
  return shift;
}

// The correlation and coverage of `homography` (model to frame pixels) at `level`.
void Measure(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid, int level,
             const cv::Matx33d& homography, const FrameLens* lens, RefinementResult& result) {
  const TemplateLevel& lvl = tmpl.levels[level];
  std::vector<float> warped;
  std::vector<uint8_t> inside;
  WarpSamples(lvl, tmpl, pyramid[level], LevelScale(level) * homography * Normaliser(tmpl).inv(), lens, warped,
              inside);
  result.homography = homography;
  result.correlation = Correlation(lvl, warped, inside);
  result.coverage =
      static_cast<double>(std::count(inside.begin(), inside.end(), uint8_t{1})) / static_cast<double>(inside.size());
}

}  // namespace

RefinementTemplate BuildRefinementTemplate(const cv::Mat& gray, const std::array<cv::Point2f, 4>& corners,
                                           const RobustParams& params) {
  RefinementTemplate t;
  cv::Point2d sum(0, 0);
  for (const cv::Point2f& c : corners) sum += cv::Point2d(c);
  t.centre = sum * 0.25;
  t.scale = 0.5 * std::max(cv::norm(corners[2] - corners[0]), cv::norm(corners[3] - corners[1]));
  if (gray.empty() || !(t.scale >= 1.0)) return {};
  cv::Mat image = gray;
  for (int level = 0; level < kTemplateLevels; ++level) {
    if (level > 0) cv::pyrDown(image, image);
    if (image.cols < 8 || image.rows < 8) break;
    t.levels[level] = BuildLevel(image, level, corners, t, params);
  }
  return t;
}

RefinementResult RefineHomography(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int coarsest, int finest, const RobustParams& params,
                                  bool affineOnly, const FrameLens* lens) {
  // `result` always pairs a homography with the correlation measured for it.
  RefinementResult result;
  result.homography = modelToFrame;
  const cv::Matx33d normaliser = Normaliser(tmpl);
  cv::Matx33d current = modelToFrame;
  std::vector<float> warped, residual;
  std::vector<uint8_t> inside, agree;
  for (int level = std::min(coarsest, static_cast<int>(pyramid.size()) - 1); level >= finest; --level) {
    const TemplateLevel& lvl = tmpl.levels[level];
    if (lvl.points.size() < static_cast<std::size_t>(params.minLevelSamples)) continue;
    const cv::Mat& image = pyramid[level];
    cv::Matx33d a = LevelScale(level) * current * normaliser.inv();
    bool converged = false, stopped = false;
    for (int iteration = 0; iteration < params.refineIterations && !converged; ++iteration) {
      const int count = WarpSamples(lvl, tmpl, image, a, lens, warped, inside);
      if (count < params.minLevelSamples) return result;
      agree.resize(inside.size());
      // The frame's gain and offset are matched to the template's, first over the samples inside the frame, then again
      // over those that agree, so that an occluder does not skew them.
      float cutoff = Residuals(lvl, warped, inside, inside, params.refineOutlierSigmas, residual);
      for (std::size_t i = 0; i < warped.size(); ++i) agree[i] = inside[i] && std::fabs(residual[i]) <= cutoff;
      cutoff = Residuals(lvl, warped, agree, inside, params.refineOutlierSigmas, residual);
      cv::Matx<double, 8, 8> hessian = cv::Matx<double, 8, 8>::zeros();
      cv::Matx<double, 8, 1> gradient = cv::Matx<double, 8, 1>::zeros();
      for (std::size_t i = 0; i < warped.size(); ++i) {
        if (!inside[i] || std::fabs(residual[i]) > cutoff) continue;
        const cv::Vec<float, 8>& sd = lvl.steepest[i];
        for (int r = 0; r < 8; ++r) {
          gradient(r) += double{sd[r]} * residual[i];
          for (int c = r; c < 8; ++c) hessian(r, c) += double{sd[r]} * sd[c];
        }
      }
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < r; ++c) hessian(r, c) = hessian(c, r);
      cv::Matx<double, 8, 1> dp = cv::Matx<double, 8, 1>::zeros();
      if (affineOnly) {
        cv::Matx<double, 6, 1> affine;
        stopped =
            !cv::solve(hessian.get_minor<6, 6>(0, 0), gradient.get_minor<6, 1>(0, 0), affine, cv::DECOMP_CHOLESKY);
        for (int r = 0; r < 6 && !stopped; ++r) dp(r) = affine(r);
      } else {
        stopped = !cv::solve(hessian, gradient, dp, cv::DECOMP_CHOLESKY);
      }
      if (stopped) break;
      const cv::Matx33d step(1.0 + dp(0), dp(2), dp(4), dp(1), 1.0 + dp(3), dp(5), dp(6), dp(7), 1.0);
      const cv::Matx33d stepInverse = step.inv();
      converged = StepShift(a, stepInverse) < params.refineConvergence;
      a = a * stepInverse;
      current = LevelScale(level).inv() * a * normaliser;
    }
    Measure(tmpl, pyramid, level, current, lens, result);
    result.converged = converged;
    if (stopped) return result;
  }
  return result;
}

RefinementResult MeasureAgreement(const RefinementTemplate& tmpl, const std::vector<cv::Mat>& pyramid,
                                  const cv::Matx33d& modelToFrame, int level, const FrameLens* lens) {
  RefinementResult result;
  result.homography = modelToFrame;
  if (level >= 0 && level < static_cast<int>(pyramid.size()) && !tmpl.levels[level].points.empty())
    Measure(tmpl, pyramid, level, modelToFrame, lens, result);
  return result;
}

}  // namespace quorl
